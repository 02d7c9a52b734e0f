"""Runs the property-based fuzzing of tests/fuzzing.py in a child interpreter,
so that a crash is reported as a failure. PELORKIT_FUZZ_EXAMPLES sets the
number of examples per function (the CI profile is small; see the README for a
long local run)."""

import importlib
import os
import pathlib
import subprocess
import sys

import pytest

FUZZER = pathlib.Path(__file__).with_name("fuzzing.py")


@pytest.mark.parametrize("module", ["analyka", "fetchora", "readers"])
def test_fuzz_all_functions(module):
    namespace = vars(importlib.import_module(f"pelorkit.{module}"))
    names = [
        name
        for name, f in namespace.items()
        if callable(f) and getattr(f, "__module__", None) == f"pelorkit.{module}"
    ]
    examples = os.environ.get("PELORKIT_FUZZ_EXAMPLES", "40")
    result = subprocess.run(
        [sys.executable, str(FUZZER), "--examples", examples, "--only", *names],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=1800,
    )
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-6000:]}"
