"""Expression fractions when X is not in memory: stored X (backed .h5ad
files, anndata's sparse datasets and zarr stores of each format, CSR, CSC or
dense, sharded or not, read as they are or through anndata's lazy reader)
and their views, and Dask arrays of numpy or scipy chunks on the threaded,
process and distributed schedulers. Every form gives exactly the in-memory
result, errors included."""

import pickle
import shutil
import sys
import warnings

import anndata
import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

from tests.support import stores as stores_support
from tests.support.inputs import warns_if_nan_groups

h5py = pytest.importorskip("h5py")

# Large enough for a few blocks of the file stream (at least 1 MiB each).
N_CELLS, N_GENES = 10_000, 100


def build_adata():
    """In-memory AnnData with negatives, zeros and several group columns
    (unused categories, NaN groups)."""
    rng = np.random.default_rng(5)
    values = (rng.normal(size=(N_CELLS, N_GENES)) * 3).astype(np.float32)
    values[rng.random(values.shape) < 0.7] = 0
    values[:, 7] = 0  # a gene no cell expresses
    obs = pd.DataFrame(
        {
            "sample": rng.choice(["S2", "S10", "S1"], N_CELLS),
            "categorical": pd.Categorical(rng.choice(["b", "a"], N_CELLS), categories=["c", "b", "a"]),
            "float-nan": np.where(rng.random(N_CELLS) < 0.2, np.nan, rng.integers(0, 3, N_CELLS)),
        },
        index=[f"c{i}" for i in range(N_CELLS)],
    )  # fmt: skip
    var = pd.DataFrame(index=[f"G{j}" for j in range(N_GENES)])
    return anndata.AnnData(X=values, obs=obs, var=var)


LAYOUTS = {"csr": sp.csr_matrix, "csc": sp.csc_matrix, "dense": np.asarray}
ITEMS = [[], None, ["G5", "G1", "G5"], ["G99"]]


@pytest.fixture(scope="module")
def memory():
    return build_adata()


@pytest.fixture(scope="module")
def files(memory, tmp_path_factory):
    """One .h5ad file per layout of the same X."""
    folder = tmp_path_factory.mktemp("h5ad")
    paths = {}
    for layout, convert in LAYOUTS.items():
        adata = memory.copy()
        adata.X = convert(memory.X)
        paths[layout] = folder / f"{layout}.h5ad"
        adata.write_h5ad(paths[layout])
    return paths


# Where X is stored: the .h5ad file, or a zarr store of a format.
STORES = {"h5ad": None, "zarr v2": (2, False), "zarr v3": (3, False), "zarr v3 sharded": (3, True)}


@pytest.fixture(scope="module")
def stores(memory, files, tmp_path_factory):
    """stores[store][layout]: the path of X of that layout in that store."""
    pytest.importorskip("zarr")
    folder = tmp_path_factory.mktemp("zarr")
    paths = {"h5ad": files}
    for store, (zarr_format, shard) in list(STORES.items())[1:]:
        if zarr_format not in stores_support.zarr_formats():
            continue
        paths[store] = {}
        for layout, convert in LAYOUTS.items():
            adata = memory.copy()
            adata.X = convert(memory.X)
            path = folder / f"{store.replace(' ', '-')}-{layout}.zarr"
            paths[store][layout] = stores_support.write_zarr(adata, path, zarr_format, shard)
    return paths


# How a stored X reaches the function: the AnnData of each form, built from
# the store's path and the in-memory AnnData (whose obs and var it shares).
FORMS = {
    "backed": lambda path, memory: anndata.read_h5ad(path, backed="r"),
    "dataset": lambda path, memory: anndata.AnnData(
        X=stores_support.stored_x(path), obs=memory.obs, var=memory.var
    ),
    "read_lazy": lambda path, memory: stores_support.read_lazy(path),
}
STORED = [
    (form, store)
    for form in FORMS
    for store in STORES
    if store == "h5ad" or form != "backed"  # zarr stores open lazily, not backed
]


def stored_adata(stores, memory, form, store, layout):
    if store not in stores:
        pytest.skip(f"this zarr writes no {store} stores")
    try:
        return FORMS[form](stores[store][layout], memory)
    except ValueError as refused:
        if form != "dataset":
            raise
        pytest.skip(f"this anndata takes no stored X as X: {refused!r:.80}")


class MatrixChunks:
    """Whether Dask computed any two-dimensional chunk (of X) while it was
    active: the label columns of a lazy obs are one-dimensional."""

    def __enter__(self):
        from dask.callbacks import Callback

        self.computed = False

        def posttask(key, result, *_):
            self.computed = self.computed or getattr(result, "ndim", None) == 2

        self.callback = Callback(posttask=posttask)
        self.callback.__enter__()
        return self

    def __exit__(self, *exc):
        self.callback.__exit__(*exc)


@pytest.fixture
def no_loading(monkeypatch):
    """Makes any whole-matrix read fail: the dense table of the plain path,
    and adata.X of a backed AnnData (which loads a view's subset). Lazily
    read X must not be computed by Dask either (checked by `MatrixChunks`)."""
    x_property = anndata.AnnData.X

    def x_of_memory_only(adata):
        if adata.isbacked:
            raise AssertionError("backed X was loaded")
        return x_property.fget(adata)

    def to_df(self, *args, **kwargs):
        raise AssertionError("the dense table was built")

    monkeypatch.setattr(anndata.AnnData, "X", property(x_of_memory_only, x_property.fset))
    monkeypatch.setattr(anndata.AnnData, "to_df", to_df)


def in_memory(analyka, adata, items, group_col):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return analyka.get_gene_expression(adata, items, group_col)


# ---- stored X ----------------------------------------------------------------------


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("form, store", STORED)
def test_stored_x_streams_to_the_in_memory_result(analyka, memory, stores, form, store, layout,
                                                  request):  # fmt: skip
    adata = stored_adata(stores, memory, form, store, layout)
    refs = {
        (col, repr(items)): in_memory(analyka, memory, items, col)
        for col in ("sample", "categorical", "float-nan")
        for items in ITEMS
    }
    request.getfixturevalue("no_loading")
    with MatrixChunks() as chunks:
        for (col, items), ref in refs.items():
            with warns_if_nan_groups(memory.obs[col]):
                got = analyka.get_gene_expression(adata, eval(items), col)
            pd.testing.assert_frame_equal(got, ref, check_exact=True)
    assert not chunks.computed


# (rows, columns) of views whose cells are distinct rows of the file: read
# from the file directly.
VIEWS = {
    "slice with step": (slice(5, 9000, 3), slice(None)),
    "mask and gene slice": ("mask", slice(3, 25)),
    "positions, genes in any order": ("positions", ["G20", "G2", "G9", "G2", "G7"]),
    "no cells": ("none", slice(None)),
}


def view_index(memory, which):
    rng = np.random.default_rng(8)
    if which == "mask":
        return (memory.obs["sample"] != "S1").to_numpy()
    if which == "positions":
        return rng.choice(N_CELLS, 500, replace=False)
    if which == "none":
        return np.zeros(N_CELLS, dtype=bool)
    return which


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("view", VIEWS)
@pytest.mark.parametrize(
    "form, store", [("backed", "h5ad"), ("dataset", "zarr v3 sharded"), ("read_lazy", "zarr v2")]
)
def test_stored_views_stream_simple_selections(analyka, memory, stores, form, store, layout, view,
                                               request):  # fmt: skip
    rows, cols = VIEWS[view]
    rows = view_index(memory, rows)
    ref_view = memory[rows, cols]
    adata = stored_adata(stores, memory, form, store, layout)
    items_cases = [[], [ref_view.var_names[-1], ref_view.var_names[0]]]
    if not ref_view.var_names.is_unique:  # a gene listed twice: names are ambiguous
        items_cases = [[]]
    refs = [in_memory(analyka, ref_view, items, "sample") for items in items_cases]
    request.getfixturevalue("no_loading")
    with MatrixChunks() as chunks:
        for items, ref in zip(items_cases, refs, strict=True):
            got = analyka.get_gene_expression(adata[rows, cols], items)
            pd.testing.assert_frame_equal(got, ref, check_exact=True)
    assert not chunks.computed


@pytest.mark.parametrize("layout", LAYOUTS)
def test_backed_views_repeating_cells_use_anndatas_subset(analyka, memory, files, layout):
    rows = np.random.default_rng(3).integers(0, N_CELLS, 700)
    backed = anndata.read_h5ad(files[layout], backed="r")
    try:
        backed[rows].to_memory()
    except Exception:  # h5py needs increasing indices, and older anndata passes them on
        backed.file.close()
        pytest.skip("this anndata cannot load a backed view that repeats cells")
    got = analyka.get_gene_expression(backed[rows])
    pd.testing.assert_frame_equal(got, in_memory(analyka, memory[rows], [], "sample"))
    backed.file.close()


def error_of(fn, *args):
    with pytest.raises(Exception) as info:
        fn(*args)
    return type(info.value), str(info.value)


@pytest.mark.parametrize(
    "items, group_col",
    [(["G1", "nope"], "sample"), ([], "no such column"), ("G1", "sample")],
)
@pytest.mark.parametrize("form, store", [("backed", "h5ad"), ("dataset", "zarr v2"),
                                         ("read_lazy", "zarr v2")])  # fmt: skip
def test_stored_errors_are_the_in_memory_ones(analyka, memory, stores, form, store, items,
                                              group_col):  # fmt: skip
    adata = stored_adata(stores, memory, form, store, "csr")
    got = error_of(analyka.get_gene_expression, adata, items, group_col)
    ref = error_of(analyka.get_gene_expression, memory, items, group_col)
    # A lazy obs and a lazy subset raise their own texts (xarray's KeyError).
    assert got == ref or (form == "read_lazy" and got[0] is ref[0])


# A malformed X: (layout, what is replaced, its new value from the old, the
# error). The index errors are scipy's, whose wording varies.
MALFORMED = {
    "index out of range": ("csr", "indices", lambda a: np.r_[a[:7], N_GENES + 3, a[8:]],
                           ValueError, "indices|index values"),
    "negative index": ("csc", "indices", lambda a: np.r_[a[:7], -1, a[8:]],
                       ValueError, "indices|index values"),
    "pointer past the values": ("csr", "indptr", lambda a: np.r_[a[:7], 10**9, a[8:]],
                                ValueError, "malformed: its index pointer does not delimit"),
    "pointer not from 0": ("csr", "indptr", lambda a: np.r_[7, a[1:]],
                           ValueError, "malformed: its index pointer starts at 7, not 0"),
    "pointer too long": ("csc", "indptr", lambda a: np.r_[a, a[-1]],
                         ValueError, "malformed: its index pointer has 102 entries for 100"),
    "float indices": ("csr", "indices", lambda a: a.astype(float),
                      ValueError, "malformed: its indices are of dtype float64, not integers"),
    "text values": ("csc", "data", lambda a: a.astype("S4"), TypeError, "dtype |S4, not numbers"),
    "fewer values": ("csr", "data", lambda a: a[:-5], ValueError, "malformed: it holds"),
    "shape against obs": ("csr", "shape", lambda s: (s[0] + 1, s[1]),
                          ValueError, rf"malformed: its shape is \({N_CELLS + 1}, {N_GENES}\), but"),
    "shape of one size": ("csc", "shape", lambda s: s[:1],
                          ValueError, r"malformed: its shape attribute is .*, not two sizes"),
}  # fmt: skip


@pytest.mark.parametrize("form, store", [("backed", "h5ad"), ("dataset", "zarr v2"),
                                         ("read_lazy", "h5ad")])  # fmt: skip
@pytest.mark.parametrize("case", MALFORMED)
def test_malformed_store_raises_a_clear_error(analyka, memory, stores, tmp_path, form, store,
                                              case):  # fmt: skip
    layout, name, change, error, message = MALFORMED[case]
    if store not in stores:
        pytest.skip(f"this zarr writes no {store} stores")
    source = stores[store][layout]
    path = tmp_path / source.name
    if source.is_dir():
        shutil.copytree(source, path)
    else:
        path.write_bytes(source.read_bytes())
    stores_support.replace_in_x(path, name, change)
    try:
        adata = FORMS[form](path, memory)
    except Exception as refused:  # noqa: BLE001 - anndata's own checks come first
        pytest.skip(f"anndata refuses it itself: {refused!r:.100}")
    with pytest.raises(error, match=message):
        analyka.get_gene_expression(adata)


# ---- Dask arrays --------------------------------------------------------------------

da = pytest.importorskip("dask.array")

CHUNK_FORMS = {
    "numpy": np.asarray,
    "csr_matrix": sp.csr_matrix,
    "csc_matrix": sp.csc_matrix,
    "csr_array": sp.csr_array,
    "csc_array": sp.csc_array,
}


def dask_adata(memory, form, chunks=(3000, 40)):
    adata = memory.copy()
    adata.X = da.from_array(CHUNK_FORMS[form](memory.X), chunks=chunks)
    return adata


@pytest.mark.parametrize("form", CHUNK_FORMS)
def test_dask_chunks_give_the_in_memory_result(analyka, memory, form, no_loading):
    adata = dask_adata(memory, form)
    for col in ("sample", "categorical", "float-nan"):
        for items in ITEMS:
            ref = in_memory(analyka, memory, items, col)
            with warns_if_nan_groups(adata.obs[col]):
                got = analyka.get_gene_expression(adata, items, col)
            pd.testing.assert_frame_equal(got, ref, check_exact=True)
    mask = (memory.obs["categorical"] == "a").to_numpy()
    pd.testing.assert_frame_equal(
        analyka.get_gene_expression(adata[mask, 2:20], ["G9", "G3"]),
        in_memory(analyka, memory[mask, 2:20], ["G9", "G3"], "sample"),
    )


def test_lazily_read_files_give_the_in_memory_result(analyka, memory, files, tmp_path):
    import anndata.experimental

    read_elem_lazy = getattr(anndata.experimental, "read_elem_lazy", None)
    if read_elem_lazy is None:
        pytest.skip("anndata's lazy reader came with anndata 0.11")
    zarr = pytest.importorskip("zarr")
    store = zarr.open_group(tmp_path / "x.zarr", mode="w")
    anndata.io.write_elem(store, "X", sp.csc_matrix(memory.X))
    ref = in_memory(analyka, memory, [], "sample")
    with h5py.File(files["csr"]) as f:
        for X in (read_elem_lazy(f["X"], chunks=(2500, -1)), read_elem_lazy(store["X"])):
            adata = anndata.AnnData(X=X, obs=memory.obs, var=memory.var)
            pd.testing.assert_frame_equal(analyka.get_gene_expression(adata), ref, check_exact=True)


def failing_second_chunk(x):
    """The Dask array x whose second chunk raises when it is computed."""

    def fail_on_second(block, block_id=None):
        if block_id[0] == 1:
            raise RuntimeError("chunk 1 failed")
        return block

    # A local function: Dask's workers get it by value, not by module name.
    return x.map_blocks(fail_on_second, dtype=x.dtype)


def test_a_failing_chunk_raises_its_error(analyka, memory):
    adata = dask_adata(memory, "csr_matrix")
    adata.X = failing_second_chunk(adata.X)
    with pytest.raises(RuntimeError, match="chunk 1 failed"):
        analyka.get_gene_expression(adata)


@pytest.mark.parametrize(
    "codes, n_groups, error",
    [
        (np.array([0, 1, 2, 0]), 2, ValueError),  # a code beyond the groups
        (np.array([0, -2, 0, 0]), 1, ValueError),
        (np.array([0, 1, 0]), 2, ValueError),  # fewer codes than rows
        (np.array([0.0, 1.0, 0.0, 1.0]), 2, TypeError),
        (np.array([0, 1, 0, 1]), -1, ValueError),
    ],
)
def test_chunk_function_refuses_bad_codes(analyka, codes, n_groups, error):
    count = sys.modules["pelorkit.analyka._blocks"].count_positive_block
    with pytest.raises(error):
        count(sp.csr_matrix(np.ones((4, 3))), codes, n_groups)


def test_chunk_function_is_pickled_by_reference(analyka):
    blocks = sys.modules["pelorkit.analyka._blocks"]
    count = blocks.count_positive_block
    assert count.__module__ == "pelorkit.analyka._blocks" and "_blocks" not in vars(analyka)
    assert pickle.loads(pickle.dumps(count)) is count
    table = count(sp.csr_matrix([[1.0, 0.0], [2.0, -1.0], [0.0, 3.0]]), np.array([1, 1, -1]), 2)
    assert table.dtype == np.int64 and table.tolist() == [[[0, 0], [2, 0]]]


def test_fresh_interpreter_without_dask_imports_the_chunk_module(run_child, files):
    out = run_child(
        f"""
        sys.modules["dask"] = sys.modules["distributed"] = None  # as if not installed
        import pickle, anndata
        from pelorkit.analyka import _blocks  # runs the start-up, which registers it
        import pelorkit.analyka as a
        count = _blocks.count_positive_block
        print(pickle.loads(pickle.dumps(count)) is count, "_blocks" in vars(a))
        backed = anndata.read_h5ad({str(files["csc"])!r}, backed="r")
        print(a.get_gene_expression(backed, ["G3"]).shape, sys.modules["dask"])
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines()[-2:] == ["True False", "(3, 1) None"]


# ---- other schedulers ---------------------------------------------------------------


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
        )
        client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()
    cluster.close()


def test_distributed_cluster_gives_the_in_memory_result_and_chunk_errors(
    analyka, memory, cluster_client
):
    ref = in_memory(analyka, memory, ["G4", "G0", "G4"], "categorical")
    with cluster_client.as_current():
        for form in ("csr_matrix", "numpy"):
            got = analyka.get_gene_expression(
                dask_adata(memory, form), ["G4", "G0", "G4"], "categorical"
            )
            pd.testing.assert_frame_equal(got, ref, check_exact=True)
        adata = dask_adata(memory, "csc_matrix")
        adata.X = failing_second_chunk(adata.X)
        with pytest.raises(RuntimeError, match="chunk 1 failed"):
            analyka.get_gene_expression(adata)


def test_process_scheduler_gives_the_in_memory_result(analyka, memory):
    import dask

    ref = in_memory(analyka, memory, [], "sample")
    with dask.config.set(scheduler="processes", num_workers=1):
        got = analyka.get_gene_expression(dask_adata(memory, "csr_array", chunks=(5000, -1)))
    pd.testing.assert_frame_equal(got, ref, check_exact=True)
