"""Benchmarks: each bench_<topic>.py times pelorkit, the plain pandas
transcription of the algorithm (the baseline) and the peers' idioms in one
run, checks that the results agree, and prints a table of medians and ratios.

Run them as modules from the repository root, with the staged build first on
the path:

    PYTHONPATH=build/dev/stage python -m bench.bench_cci [--quick]

bench/ and tests/ are packages and `python -m` puts the current folder on
sys.path, so a benchmark imports its timing helpers (bench.common) and the
transcriptions it times (tests.reference, which the tests compare pelorkit
against) by their full names: one copy of each transcription, and no path
set up by hand.
"""
