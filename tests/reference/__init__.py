"""Plain pandas transcriptions of the algorithms, one module per topic.

Each follows its algorithm step by step, as straightforward pandas, numpy and
scipy statements (sets and label lookups included). The tests compare
pelorkit against them (as sets where a set decides the order), and bench/
times them as the baseline pelorkit is measured against.
"""
