"""Ctrl-C during a long computation raises KeyboardInterrupt within half a
second and leaves no partial result: each workload of interrupting.py runs
in a child interpreter that interrupts itself (see there)."""

import json
import subprocess
import sys

import pytest

from tests.robustness.interrupting import REQUIRES, WORKLOADS, built
from tests.support import ROOT

# A single pandas step on millions of cells (factorize, an object column
# compared with a value) holds the interpreter lock for up to ~0.2 s on a
# quiet machine; a loop that never checks for signals takes seconds.
PROMPT = 0.5


@pytest.mark.parametrize("workload", list(WORKLOADS))
def test_ctrl_c_stops_a_long_computation_promptly(workload):
    if workload in REQUIRES:
        pytest.importorskip(REQUIRES[workload])
    if not built(workload):
        pytest.skip(f"{WORKLOADS[workload][0]} is not built yet")
    child = subprocess.run(
        [sys.executable, "-m", "tests.robustness.interrupting", workload],
        cwd=ROOT,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=1200,
    )
    assert child.returncode == 0, child.stderr[-6000:]
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["delays"], f"the computation always finished first: {report}"
    assert max(report["delays"]) <= PROMPT, report
    assert report["inputs_left_alone"], report
    assert report["same_result_after"], report
