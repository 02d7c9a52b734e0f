"""Structure display: AnnData trees, mapping levels and one-line value summaries."""

import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

from tests.support.workloads import recursion_headroom

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import anndata


def lines(text):
    return textwrap.dedent(text).lstrip("\n")


@pytest.fixture
def adata():
    """100 cells x 2000 genes with the usual results of a basic analysis."""
    obs = pd.DataFrame(
        {"sample": ["s1", "s2"] * 50, "celltype": ["T", "B"] * 50},
        index=[f"c{i}" for i in range(100)],
    )
    var = pd.DataFrame(
        {
            "gene_ids": ["id"] * 2000,
            "feature_types": ["Gene Expression"] * 2000,
            "highly_variable": [False] * 2000,
            "means": np.zeros(2000),
        },
        index=[f"g{i}" for i in range(2000)],
    )
    ad = anndata.AnnData(np.zeros((100, 2000), dtype=np.float32), obs=obs, var=var)
    ad.obsm["X_pca"] = np.zeros((100, 50), dtype=np.float32)
    ad.obsm["X_umap"] = np.zeros((100, 2), dtype=np.float32)
    ad.uns["pca"] = {"variance": np.zeros(50), "params": {"zero_center": True}}
    ad.uns["log"] = {"step": "pca"}
    return ad


NESTED = {"a": 1, "bb": {"x": [1, 2], "y": "hi"}, "c": np.zeros((10, 3))}


def test_anndata_tree(analyka, adata):
    axis, pairwise = type(adata.obsm).__name__, type(adata.obsp).__name__
    assert analyka.show_anndata_tree(adata) == lines(f"""
        AnnData object with n_obs × n_vars = 100 × 2000
        ├── X: array (shape=(100, 2000), dtype=float32)
        ├── obs: DataFrame (100, 2), cols=['sample', 'celltype'])
        ├── var: DataFrame (2000, 4), cols=[gene_ids, feature_types, highly_variable, ... ])
        ├── obsm: ({axis})
        │    ├── X_pca : array (shape=(100, 50), dtype=float32)
        │    └── X_umap: array (shape=(100, 2), dtype=float32)
        ├── obsp: ({pairwise})
        │    └── (empty)
        ├── varm: ({axis})
        │    └── (empty)
        ├── varp: ({pairwise})
        │    └── (empty)
        └── uns: (dict)
             └── pca: (dict)
                  ├── variance: array (shape=(50,), dtype=float64)
                  └── params  : (dict) Keys=[zero_center]
        """)
    assert analyka.show_tree is analyka.show_anndata_tree


@pytest.mark.parametrize("store", ["h5ad", "zarr"])
def test_lazily_read_anndata_tree_is_the_in_memory_one(analyka, adata, tmp_path, store):
    from tests.support import stores

    path = tmp_path / f"cells.{store}"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if store == "zarr":
            stores.write_zarr(adata, path)
            eager = anndata.read_zarr(path)
        else:
            adata.write_h5ad(path)
            eager = anndata.read_h5ad(path)
    lazy = stores.read_lazy(path)
    assert analyka.show_anndata_tree(lazy) == analyka.show_anndata_tree(eager)
    for frame in ("obs", "var"):
        shown = analyka.show_anndata_tree(getattr(lazy, frame))
        assert shown == analyka.show_anndata_tree(getattr(eager, frame))


def test_anndata_depth_and_key_options(analyka, adata):
    shallow = analyka.show_anndata_tree(adata, max_depth=1).splitlines()
    assert len(shallow) == 9
    assert shallow[-1] == "└── uns: (dict) Keys=[pca, log]"
    everything = analyka.show_anndata_tree(adata, limited_keys=[])
    assert "     ├── pca: (dict)\n" in everything
    assert everything.endswith("     └── log: (dict)\n          └── step: 'pca'\n")
    hide_obs = analyka.show_anndata_tree(adata, limited_keys=["obs"], max_depth=1)
    assert "├── obs: \n" in hide_obs
    adata.uns = {"inner": adata.copy()}
    assert analyka.show_anndata_tree(adata).endswith("└── uns: (dict)\n     └── inner: (AnnData)\n")


def test_dictionary_tree(analyka):
    body = lines("""
        ├── a : 1
        ├── bb: (dict)
        │    ├── x: (list)
        │    └── y: 'hi'
        └── c : array (shape=(10, 3), dtype=float64)
        """)
    assert analyka.show_tree(NESTED) == "Dictionary Structure (top-level):\n" + body
    assert analyka._display_dict_or_dataframe_recursive(NESTED, 0, "", limited_keys=[]) == body
    # With c hidden, bb becomes the last entry and its children lose the bar.
    assert analyka._display_dict_or_dataframe_recursive(NESTED, 0, "", limited_keys=["c"]) == (
        lines("""
        ├── a : 1
        └── bb: (dict)
             ├── x: (list)
             └── y: 'hi'
        """)
    )
    assert analyka.show_tree(NESTED, _current_depth=1, _parent_prefix="> ").startswith("> ├── a")
    assert analyka.show_tree(NESTED, max_depth=0) == "Dictionary Structure (top-level):\n"
    assert analyka.show_tree(NESTED, ss="x").startswith("xDictionary")


@pytest.mark.parametrize(
    "ncols, shown",
    [(2, "['a', 'b']"), (3, "['a', 'b', 'c']"), (4, "['a', 'b', 'c', '...']")],
)
def test_frame_and_other_objects_at_top(analyka, ncols, shown):
    frame = pd.DataFrame(np.zeros((100, ncols)), columns=list("abcd")[:ncols])
    expected = f"DataFrame Structure (top-level): shape=(100, {ncols}), columns={shown}\n"
    assert analyka.show_tree(frame, n_to_show=1) == expected
    assert analyka.show_tree([1, 2, 3]) == "Object Type: list\nValue Info: (list)\n"
    for obj in (frame, [1, 2, 3], 5):
        assert analyka.show_tree(obj, _current_depth=1, ss="kept") == "kept"


def test_mapping_level_rules(analyka):
    draw = analyka._display_dict_or_dataframe_recursive
    assert draw({}, 1, "│    ") == "│    └── (empty)\n"
    assert draw({"a": 1}, 3, "", ss="s") == "s"
    assert draw([1, 2], 0, "", limited_keys=[]) == ""
    # All hidden: no lines, no "(empty)"; the hidden key still sets the width.
    assert draw({"a": 1, "bb": 2}, 0, "", limited_keys=["a", "bb"]) == ""
    assert draw({"a": 1, "longkey": 2}, 0, "", limited_keys=["longkey"]) == "└── a      : 1\n"
    assert draw({1: "x", (2, 3): "y"}, 0, "", limited_keys=[]) == (
        "├── 1     : 'x'\n└── (2, 3): 'y'\n"
    )
    frame = pd.DataFrame({"a": [1]})
    assert draw({"f": frame}, 0, "", limited_keys=[]) == "└── f: DataFrame (1, 1), cols=['a'])\n"
    with pytest.raises(TypeError, match="not iterable"):
        draw({"a": 1}, 0, "")
    with pytest.raises(ValueError, match="ambiguous"):
        draw(frame, 0, "", limited_keys=[])


def test_default_hidden_keys_fresh_per_call(analyka, monkeypatch):
    seen = []
    real = analyka._get_value_info

    def spy(value, **kwargs):
        seen.append(kwargs["limited_keys"])
        return real(value, **kwargs)

    monkeypatch.setattr(analyka, "_get_value_info", spy)
    analyka.show_tree({"a": 1})
    analyka.show_tree({"a": 1})
    assert seen[0] is not seen[1]
    assert seen[0] == [
        "gene_to_band_map", "Celltype_marker_DB", "Pathways_DB", "cnv", "DEG_grouping_vars",
        "DEG_stat", "DEG_vs_ref_stat", "run summary", "log", "vornal_summary",
        "cnv_neighbors_info", "Cetra_summary", "lut_sample_to_cond", "analysis_parameters",
        "usr_param", "vornal_results", "Cetra_result",
    ]  # fmt: skip


class Text(str):
    pass


def test_accumulation_text_types(analyka, monkeypatch):
    draw = analyka._display_dict_or_dataframe_recursive
    with pytest.raises(TypeError) as plain:
        draw({}, 0, "", ss=5)
    assert str(plain.value) == "Argument 'ss' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError) as sub:
        draw({}, 0, "", ss=Text("x"))
    assert str(sub.value).startswith("Argument 'ss' has incorrect type (expected str, got Text).")
    with pytest.raises(TypeError, match="expected str, got int"):
        analyka.show_tree({"a": 1}, _current_depth=1, ss=5)
    with pytest.raises(TypeError, match="unsupported operand"):
        analyka.show_tree({"a": 1}, ss=5)
    accumulated = ["a"]
    with pytest.raises(TypeError):
        analyka.show_tree([1], ss=accumulated)
    assert accumulated == ["a"]

    monkeypatch.setattr(analyka, "show_anndata_tree", lambda *a, **k: 5)
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        draw(NESTED, 0, "", limited_keys=[])


def test_names_are_looked_up_at_call_time(analyka, monkeypatch, adata):
    monkeypatch.setattr(analyka, "_get_value_info", lambda value, **kwargs: "S")
    assert analyka.show_tree({"k": 1}) == "Dictionary Structure (top-level):\n└── k: S\n"
    monkeypatch.delattr(analyka, "anndata")
    with pytest.raises(NameError, match="anndata"):
        analyka.show_tree({"k": 1})
    assert analyka.show_tree({"k": 1}, _current_depth=1) == "└── k: S\n"


def test_self_containing_dictionary_stops_cleanly(analyka):
    # Each level counts as a Python frame would, whatever the interpreter
    # version counts for native calls.
    loop = {}
    loop["again"] = loop
    with recursion_headroom(400), pytest.raises(RecursionError):
        analyka.show_tree(loop, max_depth=10**6, limited_keys=[])


def test_deep_trees_stop_at_the_recursion_limit_in_little_memory(run_child):
    # Some libraries raise the limit at import (to 3000): that many levels
    # stay within a few megabytes of text when the levels share one text
    # instead of each holding the text drawn above it (gigabytes).
    out = run_child(
        """
        import resource, sys
        import pelorkit.analyka as analyka

        def mapped():
            with open("/proc/self/status") as status:
                return next(int(s.split()[1]) * 1024 for s in status if s.startswith("VmSize"))

        cycle = {}
        cycle["again"] = cycle
        chain = node = {}
        for _ in range(10**5):
            node["next"] = node = {}
        sys.setrecursionlimit(3000)
        hard = resource.getrlimit(resource.RLIMIT_AS)[1]
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + 2**29, hard))
        for tree in (cycle, chain):
            try:
                analyka.show_tree(tree, max_depth=10**6, limited_keys=[])
            except RecursionError:
                print("RecursionError")
        """
    )
    assert out.returncode == 0, out.stderr[-3000:]
    assert out.stdout.split()[-2:] == ["RecursionError"] * 2


def test_deep_tree_on_a_small_stack_stops_cleanly(run_child):
    # A raised recursion limit and a thread with a small stack: each tree
    # level takes native stack the interpreter's limit does not account for.
    out = run_child(
        """
        import sys, threading
        import pelorkit.analyka as analyka
        sys.setrecursionlimit(100_000)
        threading.stack_size(256 * 1024)
        loop = {}
        loop["again"] = loop
        caught = []
        def draw():
            try:
                analyka.show_tree(loop, max_depth=10**6, limited_keys=[])
            except RecursionError as error:
                caught.append(error)
        thread = threading.Thread(target=draw)
        thread.start()
        thread.join()
        print("caught", len(caught))
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().endswith("caught 1")


class ShapeFails:
    @property
    def shape(self):
        raise ValueError("no shape today")


class ShapeMissing:
    @property
    def shape(self):
        raise AttributeError("shape")

    dtype = "f8"


@pytest.mark.parametrize(
    "value, kwargs, expected",
    [
        ({"a": 1, "b": 2}, {"level_of_value": 1}, "(dict)"),
        ({"a": 1, "b": 2}, {"level_of_value": 2}, "(dict)"),
        ({"a": 1, "b": 2}, {"level_of_value": 3}, "(dict) Keys=[a, b]"),
        ({f"k{i}": i for i in range(1, 6)}, {"level_of_value": 4}, "(dict) Keys=[k1, k2, k3, ... ]"),
        ({}, {"level_of_value": 3}, "(dict) (empty dictionary at max depth)"),
        ({"log": 1}, {"level_of_value": 3, "limited_keys": ["log"]}, "(dict) Keys=[log]"),
        (pd.DataFrame({"a": [1, 2, 3], "b": [1, 2, 3]}), {}, "DataFrame (3, 2), cols=['a', 'b'])"),
        (pd.DataFrame(np.zeros((10, 3)), columns=["x", "y", "z"]), {}, "DataFrame (10, 3), cols=['x', 'y', 'z'])"),
        (pd.DataFrame(np.zeros((10, 5)), columns=[f"c{i}" for i in range(1, 6)]), {}, "DataFrame (10, 5), cols=[c1, c2, c3, ... ])"),
        (pd.DataFrame(np.zeros((2, 5))), {}, "DataFrame (2, 5), cols=[0, 1, 2, ... ])"),
        (np.zeros((100, 20), dtype=np.float32), {}, "array (shape=(100, 20), dtype=float32)"),
        (np.array([1, 2, 3]), {}, "[1 2 3]"),
        (np.arange(5), {}, "array (shape=(5,), dtype=int64)"),
        (np.int64(7), {}, "7"),
        (sp.csr_matrix((3, 4)), {}, "array (shape=(3, 4), dtype=float64)"),
        (pd.Series([1, 2, 3]), {}, str(pd.Series([1, 2, 3]))),
        (pd.Series(range(5)), {}, "array (shape=(5,), dtype=int64)"),
        ("hello", {}, "'hello'"),
        ("é" * 79, {}, "'" + "é" * 79 + "'"),
        ("é" * 80, {}, "(str)"),
        (3.5, {}, "3.5"),
        (True, {}, "True"),
        (None, {}, "None"),
        ([1, 2], {}, "(list)"),
        (ShapeMissing(), {}, "(ShapeMissing)"),
        (5, {"key_name": "x", "limited_keys": ["x"]}, ""),
        (5, {"key_name": 0}, "5"),
        (5, {"key_name": ""}, "5"),
    ],
)  # fmt: skip
def test_value_summaries(analyka, value, kwargs, expected):
    assert analyka._get_value_info(value, **kwargs) == expected


def test_value_summary_errors_and_doc(analyka):
    info = analyka._get_value_info
    with pytest.raises(TypeError):
        info(1, key_name="k")
    with pytest.raises(ValueError, match="no shape today"):
        info(ShapeFails())
    with pytest.raises(TypeError):
        info(pd.DataFrame(np.zeros((1, 2))), n_to_show=None)
    assert info.__doc__.split("\n\n")[1] == (
        "Helper to format the value's type/shape/info for printing."
    )
    doc = analyka.show_anndata_tree.__doc__.split("\n")
    assert doc[2].startswith("Prints a tree-like structure of an AnnData object")
    assert doc[7] == "Args:" and doc[-1].startswith("    _parent_prefix (str): ")
