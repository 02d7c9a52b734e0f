"""pelorkit's test suite.

A package, so that pytest puts the repository root on sys.path and every test
imports shared code by its full name: builders and fixtures from
tests.support (and conftest.py), the plain pandas transcriptions from
tests.reference (which bench/ times too). The robustness suites (fuzzing,
reference counts, Ctrl-C, threads) are in tests/robustness.
"""
