"""Shared fixtures: the three modules, a fresh working directory, the analysis
module's output silenced or recorded, pandas 3's modes, and a runner for
start-up checks in a child interpreter."""

import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

from tests.support.strings import STRING_INFERENCE


def pytest_configure(config):
    # Child interpreters that start in another folder (the tour, the README's
    # blocks, the notebook's kernel) must import the pelorkit under test, not
    # one installed elsewhere: a relative PYTHONPATH (build/dev/stage) is made
    # absolute for them.
    path = os.environ.get("PYTHONPATH")
    if path:
        entries = [os.path.abspath(p) if p else p for p in path.split(os.pathsep)]
        os.environ["PYTHONPATH"] = os.pathsep.join(entries)


@pytest.fixture(scope="session")
def analyka():
    import pelorkit.analyka

    return pelorkit.analyka


@pytest.fixture(scope="session")
def fetchora():
    import pelorkit.fetchora

    return pelorkit.fetchora


@pytest.fixture(scope="session")
def readers():
    import pelorkit.readers

    return pelorkit.readers


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """Runs the test inside its own empty working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def quiet(analyka, monkeypatch):
    """Silences the analysis module's print and display (keeping nothing)."""
    monkeypatch.setattr(analyka, "print", lambda *args, **kwargs: None, raising=False)
    monkeypatch.setattr(analyka, "display", lambda *args, **kwargs: None)


@pytest.fixture
def displayed(analyka, monkeypatch):
    """The list of what the analysis module shows through display."""
    shown = []
    monkeypatch.setattr(analyka, "display", shown.append)
    return shown


@pytest.fixture(params=["pandas-default", "pandas3-strings-cow"])
def pandas_mode(request):
    """Runs a test as it is and with pandas 3's string inference and copy-on-write."""
    if request.param == "pandas-default":
        yield
        return
    if not STRING_INFERENCE:
        pytest.skip("string inference needs pandas 2.3 or pyarrow")
    with pd.option_context("future.infer_string", True, "mode.copy_on_write", True):
        yield


# Put in front of every child script: hides modules from the import system and
# replaces subprocess.check_call so pip never really runs.
CHILD_PRELUDE = """
import importlib.abc, subprocess, sys, types

HIDDEN = set(sys.argv[1].split(",")) - {""}
PIP_FAILS = sys.argv[2] == "fail"
PIP_CALLS = []

class _Hide(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in HIDDEN:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
        return None

sys.meta_path.insert(0, _Hide())
for _name in list(sys.modules):
    if _name.split(".")[0] in HIDDEN:
        del sys.modules[_name]

_fake = types.ModuleType("subprocess")
_fake.__dict__.update(subprocess.__dict__)

def _check_call(cmd, *args, **kwargs):
    PIP_CALLS.append(list(cmd))
    print("PIP", cmd[1:])
    if PIP_FAILS:
        raise subprocess.CalledProcessError(1, cmd)
    return 0

_fake.check_call = _check_call
sys.modules["subprocess"] = _fake
"""


@pytest.fixture
def run_child():
    """run_child(script, hidden=(), pip="fail") -> CompletedProcess of a fresh interpreter."""

    def run(script, hidden=(), pip="fail"):
        code = CHILD_PRELUDE + textwrap.dedent(script)
        env = dict(os.environ)
        return subprocess.run(
            [sys.executable, "-c", code, ",".join(hidden), pip],
            capture_output=True,
            text=True,
            env=env,
            timeout=300,
        )

    return run
