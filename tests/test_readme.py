"""The README's Python blocks run as written, and its function tables name the
real parameters."""

import ast
import inspect
import json
import os
import re
import subprocess
import sys

import pytest

import pelorkit.analyka as analyka
import pelorkit.fetchora as fetchora
import pelorkit.readers as readers
from tests.support import ROOT

README = ROOT / "README.md"
# A block whose first line starts with this is an excerpt, not run.
EXCERPT = "# Excerpt"

# Runs the blocks in order in one namespace; no network: a connection attempt
# to anything but this machine (a local Dask cluster) fails the block that made it.
RUNNER = """
import json, socket, sys

LOCAL = ("127.0.0.1", "::1", "localhost")

def local_only(connect, position):
    def guarded(*args, **kwargs):
        address = args[position] if len(args) > position else kwargs.get("address")
        if not (isinstance(address, tuple) and address[0] in LOCAL):
            raise OSError("README blocks must not use the network")
        return connect(*args, **kwargs)
    return guarded

socket.socket.connect = local_only(socket.socket.connect, 1)
socket.socket.connect_ex = local_only(socket.socket.connect_ex, 1)
socket.create_connection = local_only(socket.create_connection, 0)
namespace = {"__name__": "__main__"}
for block in json.loads(sys.stdin.read()):
    print(f"--- README line {block['line']}", flush=True)
    exec(compile(block["code"], f"README.md:{block['line']}", "exec"), namespace)
"""


def fenced_blocks(text):
    """(info string, first line number of the code, code) of each fenced block."""
    pattern = re.compile(r"^```([^\n`]*)\n(.*?)^```\s*$", re.M | re.S)
    for match in pattern.finditer(text):
        line = text.count("\n", 0, match.start(2)) + 1
        yield match.group(1).strip(), line, match.group(2)


def runnable_blocks():
    return [
        {"line": line, "code": code}
        for info, line, code in fenced_blocks(README.read_text(encoding="utf-8"))
        if info.split()[:1] in (["python"], ["py"]) and not code.startswith(EXCERPT)
    ]


def test_readme_python_blocks_run_as_written(tmp_path):
    import anndata.experimental

    if not hasattr(anndata.experimental, "read_elem_lazy"):
        pytest.skip("the Dask example reads with anndata's lazy reader (anndata 0.11 or later)")
    blocks = runnable_blocks()
    assert blocks
    # Run where the README's commands run, without leaving its files there.
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    result = subprocess.run(
        [sys.executable, "-c", RUNNER],
        input=json.dumps(blocks), capture_output=True, text=True, cwd=tmp_path, timeout=600,
        env={**os.environ, "MPLBACKEND": "Agg", "MPLCONFIGDIR": str(tmp_path)},
    )  # fmt: skip
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]


def function_table_entries():
    """(module, code span) for each backticked name in the README's function tables."""
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Functions\n", 1)[1].split("\n## ", 1)[0]
    modules = {f"`{m.__name__}`": m for m in (analyka, fetchora, readers)}
    module = None
    for line in section.splitlines():
        if line.strip() in modules:
            module = modules[line.strip()]
        elif line.startswith("| `") and module is not None:
            first_cell = line.split(" | ")[0]
            for span in re.findall(r"`([^`]+)`", first_cell):
                yield pytest.param(module, span, id=span.split("(")[0])


@pytest.mark.parametrize(("module", "span"), list(function_table_entries()))
def test_function_table_matches_signatures(module, span):
    call = ast.parse(span, mode="eval").body
    name = (call.func if isinstance(call, ast.Call) else call).id
    assert callable(getattr(module, name, None)), f"{name} is not a function of {module.__name__}"
    if not isinstance(call, ast.Call):
        return
    params = inspect.signature(getattr(module, name)).parameters
    listed = [a.id for a in call.args if isinstance(a, ast.Name)] + [k.arg for k in call.keywords]
    elided = any(isinstance(a, ast.Constant) and a.value is Ellipsis for a in call.args)
    expected = list(params)[: len(listed)] if elided else list(params)
    assert listed == expected, span
    for keyword in call.keywords:
        assert ast.literal_eval(keyword.value) == params[keyword.arg].default, span
