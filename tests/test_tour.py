"""The tour runs on the shipped data, as a script and as a notebook in a real
Jupyter kernel, and shows the real numbers."""

import pathlib
import re
import subprocess
import sys

import pandas as pd
import pytest

from tests.support import ROOT

EXAMPLES = ROOT / "examples"
FIGURES = ["composition_haber2017.png", "expression_dotplot_pbmc68k.png", "cci_counts_kidney.png"]


def check_figures(folder: pathlib.Path) -> None:
    import matplotlib.image

    for name in FIGURES:
        path = folder / name
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", name
        image = matplotlib.image.imread(path)
        assert image.shape[0] > 200 and image.shape[1] > 200, name
        assert image.std() > 0.01, f"{name} is blank"


@pytest.fixture(scope="module")
def tour_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("tour")
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "tour.py"), "--out", str(out)],
        capture_output=True, text=True, timeout=600, cwd=out, stdin=subprocess.DEVNULL,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr[-4000:]
    return out, result.stdout, result.stderr


def test_tour_writes_its_figures(tour_run):
    out, _, _ = tour_run
    check_figures(out)


def test_tour_prints_the_real_haber_counts(tour_run):
    _, stdout, _ = tour_run
    counts = pd.read_csv(EXAMPLES / "data" / "haber2017_counts.csv", index_col=0)
    counts.index.name = None
    assert counts.to_string() in stdout
    assert "AnnData object with n_obs × n_vars = 3312 × 30800" in stdout
    assert "sample_diversity_index" in stdout and "1.4591479170272448" in stdout
    for step in range(1, 8):
        assert f"\n{step}. " in stdout
    # detection on the values before scaling, not "above the gene's mean" on scaled X
    assert "LYZ in CD14+ monocytes: detected in 98% of the cells (raw)" in stdout


def test_tour_makes_no_input_mistake(tour_run):
    # the library's diagnostics would point at the tour's own lines
    stderr = tour_run[2]
    assert not re.search(r"tour\.py:\d+: UserWarning", stderr), stderr[-2000:]


def test_notebook_runs_in_a_jupyter_kernel(tmp_path):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    notebook = nbformat.read(EXAMPLES / "tour.ipynb", as_version=4)
    # each figure is drawn by code shown in its own cell, not hidden in tour.py
    sources = [cell.source for cell in notebook.cells if cell.cell_type == "code"]
    assert not [s for s in sources if re.search(r"tour\.(step|plot)_", s)]
    for name in FIGURES:
        assert "plt.subplots(" in next(s for s in sources if name in s), name
    workdir = tmp_path / "examples"
    workdir.mkdir()
    (workdir / "tour.py").symlink_to(EXAMPLES / "tour.py")
    (workdir / "data").symlink_to(EXAMPLES / "data")
    client = nbclient.NotebookClient(
        notebook, timeout=600, kernel_name="python3", resources={"metadata": {"path": str(workdir)}}
    )
    client.execute()  # the kernel inherits this environment (PYTHONPATH included)
    outputs = [o for cell in notebook.cells if cell.cell_type == "code" for o in cell.outputs]
    assert not [o for o in outputs if o.output_type == "error"]
    assert not [o for o in outputs if "UserWarning" in o.get("text", "")]
    texts = "".join(
        str(o.get("data", {}).get("text/plain", "")) + o.get("text", "") for o in outputs
    )
    assert "Union of Interactions: " in texts
    assert sum("image/png" in o.get("data", {}) for o in outputs) >= 3
    check_figures(workdir / "tour_output")
