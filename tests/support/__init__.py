"""Builders shared by the tests: seeded inputs of any size (workloads), small
hand-made inputs (inputs), archives and a fake gdown for the loading module
(fetch_data), pandas' string dtypes (strings) and the modules' own functions
(modules)."""

import pathlib

# The repository root: the README, the examples, and the folder from which
# child interpreters import tests.* as modules (python -m).
ROOT = pathlib.Path(__file__).resolve().parents[2]
