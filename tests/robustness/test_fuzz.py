"""Runs the property-based fuzzing of fuzzing.py in a child interpreter, so
that a crash is reported as a failure. PELORKIT_FUZZ_EXAMPLES sets the number
of examples per function (the CI profile is small; see the README for a long
local run)."""

import importlib
import os
import subprocess
import sys

import pytest

from tests.support import ROOT
from tests.support.modules import own_functions


@pytest.mark.parametrize("module", ["analyka", "fetchora", "readers"])
def test_fuzz_all_functions(module):
    names = list(own_functions(importlib.import_module(f"pelorkit.{module}")))
    examples = os.environ.get("PELORKIT_FUZZ_EXAMPLES", "40")
    result = subprocess.run(
        [sys.executable, "-m", "tests.robustness.fuzzing", "--examples", examples,
         "--only", *names],
        cwd=ROOT, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=1800,
    )  # fmt: skip
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stderr[-6000:]}"
