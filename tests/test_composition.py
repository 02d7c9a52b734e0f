"""Cell-type populations and expression fractions per sample, against the
pandas transcriptions in tests/reference/composition.py."""

import copy

import anndata
import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp

from tests.reference.composition import get_gene_expression as reference_expression
from tests.reference.composition import get_population as reference_population
from tests.support import stores
from tests.support.inputs import adata_of, warns_if_nan_groups


def assert_population_equal(got, ref):
    cnt, pct = got
    assert (cnt.dtypes == np.int64).all() and (pct.dtypes == np.float64).all()
    pd.testing.assert_frame_equal(cnt, ref[0].astype(np.int64))
    pd.testing.assert_frame_equal(pct, ref[1])
    # labels are the objects iterating the input yields (numpy scalars for arrays)
    assert [type(x) for x in cnt.index] == [type(x) for x in ref[0].index]
    assert [type(x) for x in cnt.columns] == [type(x) for x in ref[0].columns]


def outcome(fn, *args):
    try:
        return fn(*args)
    except Exception as e:  # noqa: BLE001 - errors are compared too
        return e


def assert_same_error(got, ref):
    """The library's error, or the same type saying what to fix, its text kept in parentheses."""
    assert isinstance(got, Exception) and isinstance(ref, Exception), (got, ref)
    assert type(got) is type(ref) and (str(got) == str(ref) or str(got).endswith(f" ({ref})"))


# ---- get_population ------------------------------------------------------------


def test_population_two_samples(analyka):
    cnt, pct = analyka.get_population(["S1", "S1", "S1", "S2"], ["T", "T", "B", "B"])
    assert list(cnt.columns) == ["B", "T"] and list(cnt.index) == ["S1", "S2"]
    assert cnt.to_numpy().tolist() == [[1, 2], [1, 0]]
    # count / total first, then times 100
    np.testing.assert_array_equal(pct.to_numpy(), [[1 / 3 * 100, 2 / 3 * 100], [100.0, 0.0]])
    np.testing.assert_allclose(pct.sum(axis=1), 100.0)

    cnt, pct = analyka.get_population(["S1", "S1", "S1", "S2"], ["T", "T", "B", "B"], ["T"])
    assert list(pct.index) == ["S2", "S1"] and list(cnt.index) == ["S1", "S2"]


def test_population_shared_default_is_untouched(analyka):
    default = analyka.get_population.__defaults__[0]
    assert default == [] and analyka.get_population.__defaults__[0] is default
    first = analyka.get_population(["a", "b"], ["x", "x"])
    second = analyka.get_population(["a", "b"], ["x", "x"])
    assert default == [] and analyka.get_population.__defaults__[0] is default
    for x, y in zip(first, second, strict=True):
        pd.testing.assert_frame_equal(x, y)


POOL_S = np.array([f"S{i}" for i in (3, 10, 1, 2, 7)])
POOL_C = np.array(["T", "B", "NK", "Mono"])
FORMS = {
    "list": lambda a: a.tolist(),
    "tuple": lambda a: tuple(a.tolist()),
    "str-array": lambda a: a,
    "object-array": lambda a: a.astype(object),
    "strided-array": lambda a: np.repeat(a, 2)[::2],
    "series": lambda a: pd.Series(a, dtype=object, index=np.arange(len(a))[::-1]),
    "string-dtype": lambda a: pd.Series(a, dtype="string"),
    "categorical": lambda a: pd.Series(
        pd.Categorical(a, categories=["zz", *sorted(set(a), reverse=True), "unused"])
    ),
    "index": lambda a: pd.Index(a),
    "int-array": lambda a: np.array([ord(x[-1]) % 7 - 5 for x in a], dtype=np.int16),
    "wide-int-array": lambda a: np.array([ord(x[-1]) % 7 * 10**12 for x in a]),
    "int-list": lambda a: [ord(x[-1]) % 7 for x in a],
    "float-array": lambda a: np.array([ord(x[-1]) % 7 / 4 for x in a], dtype=np.float32),
    "bool-array": lambda a: np.array([x.endswith(("1", "B")) for x in a]),
}


# Lazily held labels (read_lazy's obs columns, Dask arrays): each form and
# the in-memory values it stands for, the reference's input.
LAZY_FORMS = {
    "data-array": lambda a, tmp: (xarray().DataArray(a), pd.Series(a, dtype=object)),
    "dask-data-array": lambda a, tmp: (
        xarray().DataArray(dask_array().from_array(a, chunks=64)),
        pd.Series(a, dtype=object),
    ),
    "dask-array": lambda a, tmp: (dask_array().from_array(a, chunks=64), a),
    "lazy-categorical": lambda a, tmp: stores.lazy_column(pd.Categorical(a), tmp),
    "lazy-numbers": lambda a, tmp: stores.lazy_column(FORMS["int-array"](a), tmp, "h5ad"),
}


def xarray():
    return pytest.importorskip("xarray")


def dask_array():
    return pytest.importorskip("dask.array")


@pytest.mark.parametrize("pid_form", [*FORMS, *LAZY_FORMS])
@pytest.mark.parametrize(
    "ct_form", ["list", "categorical", "int-array", "object-array", "lazy-categorical"]
)
def test_population_input_forms(analyka, tmp_path, pid_form, ct_form):
    rng = np.random.default_rng(len(pid_form) * 7 + len(ct_form))
    labels = {}
    for form, pool in ((pid_form, POOL_S), (ct_form, POOL_C)):
        raw = pool[rng.integers(0, len(pool), 200)]
        lazy = LAZY_FORMS.get(form)
        labels[form, id(pool)] = lazy(raw, tmp_path) if lazy else (FORMS[form](raw),) * 2
    (pids, ref_pids), (cts, ref_cts) = labels.values()
    assert_population_equal(
        analyka.get_population(pids, cts), reference_population(ref_pids, ref_cts)
    )


@pytest.mark.parametrize(
    "pids",
    [
        [1, 1.0, True, 2, 2.5],  # equal under ==: one label, the first one met
        np.array([1, 1.0, True, 2, 2.5], dtype=object),
        ["a\x00", "a", "b", "a", "b"],  # numpy drops trailing NULs: both labels count both
        np.array([0.0, -0.0, 1.0, 1.0, -0.0]),
        np.array([b"x", b"y", b"x", b"y", b"y"]),
        np.array([2**70, 1, 2**70, 1, 1], dtype=object),
        np.array(["2020-01-02", "2020-01-01"] * 2 + ["2020-01-01"], dtype="datetime64[D]"),
        pd.Series(pd.Categorical([1.5, 2.5, 1.5, 1.5, 2.5])),
    ],
    ids=[
        "mixed-numbers",
        "mixed-object",
        "trailing-nul",
        "signed-zero",
        "bytes",
        "huge-int",
        "datetime",
        "float-categories",
    ],  # fmt: skip
)
def test_population_odd_labels_follow_the_plain_algorithm(analyka, pids):
    cts = ["x", "y", "x", "y", "z"]
    assert_population_equal(analyka.get_population(pids, cts), reference_population(pids, cts))


def test_population_nan_labels_count_nothing(analyka):
    # Each NaN of a float array is its own label equal to no cell: a row of
    # zeros and NaN percentages; the cells with NaN types count nowhere. (Their
    # position among the sorted rows depends on set order, as with a set.)
    pids = np.array([1.0, np.nan, 2.0, np.nan, 1.0])
    cts = np.array([0.5, 0.5, np.nan, 1.5, 1.5])
    with pytest.warns(UserWarning, match="pids holds NaN"):
        cnt, pct = analyka.get_population(pids, cts)
    assert cnt.shape == reference_population(pids, cts)[0].shape == (4, 3)
    assert cnt.loc[1.0, 0.5] == 1 and cnt.loc[1.0, 1.5] == 1 and cnt.loc[2.0].sum() == 0
    assert (cnt[cnt.index.isna()] == 0).all().all() and pct[pct.index.isna()].isna().all().all()
    assert (cnt.loc[:, cnt.columns.isna()] == 0).all().all()
    assert pct.loc[1.0, 0.5] == 50.0 and pct.loc[2.0].isna().all()


@pytest.mark.parametrize(
    "pids, cts, sort_by",
    [
        (["a", "b", "a"], ["x", "y"], []),  # numpy's boolean-index IndexError
        (np.array(["a", "b"]), np.array(["x", "y", "z"]), []),
        (pd.Series(["a", "b"], dtype="category"), ["x", "y", "z"], []),
        (["a", 1], ["x", "y"], []),  # unorderable
        (["a", "b"], [None, "x"], []),
        (pd.Series(["a", None]), ["x", "y"], []),
        (["a", "b"], ["x", "y"], ["nope"]),  # pandas' KeyError
        (["a", "b"], ["x", "y"], None),  # len(None)
        ([("a", 1), ("b", 2)], ["x", "y"], []),  # numpy makes a 2-D array of the tuples
    ],
)
def test_population_errors_are_the_plain_ones(analyka, pids, cts, sort_by):
    assert_same_error(
        outcome(analyka.get_population, pids, cts, sort_by),
        outcome(reference_population, pids, cts, sort_by),
    )


def test_population_empty_inputs(analyka):
    cnt, pct = analyka.get_population([], [])
    assert cnt.shape == pct.shape == (0, 0)
    # no sample, so no comparison raises; the cell types still make columns
    cnt, pct = analyka.get_population([], ["x", "y"])
    assert cnt.shape == (0, 2) and list(pct.columns) == ["x", "y"]


def test_population_random_against_plain(analyka):
    rng = np.random.default_rng(5)
    pids = pd.Series(pd.Categorical(rng.choice([f"P{i}" for i in range(40)], 3000)))
    cts = rng.choice([f"t{i:02d}" for i in range(25)], 3000).astype(object)
    sort_by = ["t03", "t11"]
    got = analyka.get_population(pids, cts, sort_by)
    assert_population_equal(got, reference_population(pids, cts, sort_by))


@pytest.mark.parametrize("dtype", ["U11", "S13", "U1", "int64", "object"])
def test_population_many_labels_against_crosstab(analyka, dtype):
    # Thousands of distinct labels of awkward widths: the code table grows
    # and compares records word by word plus tails.
    rng = np.random.default_rng(8)
    names = np.array([f"{i:06d}x{i % 7}"[-11:] for i in rng.permutation(3000)])
    if dtype == "U1":
        names = np.array([chr(0x41 + i % 26) + chr(0x3B1 + i % 20) for i in range(3000)], "U2")
    pids = names[rng.integers(0, 3000, 20000)].astype(dtype if dtype != "int64" else "U11")
    if dtype == "int64":
        pids = rng.integers(-(2**40), 2**40, 3000)[rng.integers(0, 3000, 20000)]
    cts = rng.integers(0, 5, 20000)
    cnt, pct = analyka.get_population(pids, cts)
    expected = pd.crosstab(pd.Series(pids.tolist()), cts)
    assert list(cnt.index) == sorted(set(pids.tolist()))
    np.testing.assert_array_equal(cnt.to_numpy(), expected.loc[list(cnt.index)].to_numpy())


def test_population_inputs_unchanged(analyka):
    pids = ["b", "a", "b"]
    cts = pd.Series(["x", "y", "x"], dtype="category")
    sort_by = ["x"]
    before = (list(pids), cts.copy(), list(sort_by))
    analyka.get_population(pids, cts, sort_by)
    assert pids == before[0] and sort_by == before[2]
    pd.testing.assert_series_equal(cts, before[1])


def test_population_uses_module_attributes(analyka, monkeypatch):
    made = []

    class Frames:
        def __getattr__(self, name):
            return getattr(pd, name)

        def DataFrame(self, *args, **kwargs):  # noqa: N802 - the pandas name
            made.append(kwargs.get("index"))
            return pd.DataFrame(*args, **kwargs)

    monkeypatch.setattr(analyka, "pd", Frames())
    analyka.get_population(["a"], ["x"])
    assert made == [["a"], ["a"]]


# ---- get_gene_expression -------------------------------------------------------


def test_expression_fraction_of_positive_cells(analyka):
    X = np.array([[0.0, 1.0], [0.0, -2.0], [1.5, 0.0], [3.0, 4.0], [5.0, 0.0]])
    adata = adata_of(X, ["s1", "s1", "s1", "s1", "s0"])
    df = analyka.get_gene_expression(adata)
    assert list(df.index) == ["s0", "s1"] and list(df.columns) == ["G0", "G1"]
    assert df.to_numpy().tolist() == [[1.0, 0.0], [0.5, 0.5]]  # -2 is not expressed
    assert (df.dtypes == np.float64).all()


def test_expression_item_selection(analyka):
    adata = adata_of(np.arange(12.0).reshape(4, 3) - 4, ["a", "b", "a", "b"])
    default = analyka.get_gene_expression.__defaults__[0]
    everything = analyka.get_gene_expression(adata)
    pd.testing.assert_frame_equal(analyka.get_gene_expression(adata, None), everything)
    assert default == [] and analyka.get_gene_expression.__defaults__[0] is default
    picked = analyka.get_gene_expression(adata, ["G2", "G1", "G2"])
    assert list(picked.columns) == ["G2", "G1", "G2"]
    pd.testing.assert_series_equal(picked["G1"], everything["G1"])


def test_expression_by_another_column(analyka):
    obs = pd.DataFrame({"sample": list("abcd"), "cond": ["ctl", "trt", "ctl", "trt"]})
    adata = adata_of(np.array([[1.0], [0.0], [0.0], [2.0]]), obs)
    df = analyka.get_gene_expression(adata, group_col="cond")
    assert list(df.index) == ["ctl", "trt"] and df["G0"].tolist() == [0.5, 0.5]


def random_values(rng, shape, dtype):
    values = rng.normal(size=shape) * 4
    values[rng.random(shape) < 0.6] = 0
    return values.astype(dtype)


DTYPES = [np.float64, np.float32, np.float16, np.int8, np.int64, np.uint16, np.uint64, bool]
MATRIX_FORMS = {
    "dense": lambda v: v,
    "dense-F": np.asfortranarray,
    "dense-strided": lambda v: np.repeat(v, 2, axis=1)[:, ::2],
    "csr": sp.csr_matrix,
    "csc": sp.csc_matrix,
    "csr-array": sp.csr_array,
    "csc-array": sp.csc_array,
    "csr-int64-indices": lambda v: wide_indices(sp.csr_matrix(v)),
}


def wide_indices(m):
    m.indices = m.indices.astype(np.int64)
    m.indptr = m.indptr.astype(np.int64)
    return m


GROUPINGS = {
    "sample": lambda rng, n: rng.choice(["S2", "S10", "S1"], n),
    "categorical": lambda rng, n: pd.Categorical(rng.choice(["b", "a"], n), categories=["c", "b", "a"]),
    "int": lambda rng, n: rng.integers(0, 3, n),
    "float-nan": lambda rng, n: np.where(rng.random(n) < 0.2, np.nan, rng.integers(0, 3, n)),
}  # fmt: skip


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("form", MATRIX_FORMS)
def test_expression_matrix_forms_against_plain(analyka, dtype, form):
    if dtype is np.float16 and not form.startswith("dense"):
        pytest.skip("scipy.sparse holds no float16")
    rng = np.random.default_rng(3)
    X = MATRIX_FORMS[form](random_values(rng, (60, 7), dtype))
    obs = pd.DataFrame({k: make(rng, 60) for k, make in GROUPINGS.items()})
    try:
        adata = adata_of(X, obs)
    except ValueError as error:  # anndata 0.10.0 takes no scipy sparse arrays
        pytest.skip(str(error)[:80])
    for group_col in GROUPINGS:
        for items in ([], ["G4", "G0", "G4"], [3, 1]):
            ref = reference_expression(adata, items, group_col)
            with warns_if_nan_groups(obs[group_col]):
                got = analyka.get_gene_expression(adata, items, group_col)
            pd.testing.assert_frame_equal(got, ref)
    view = adata[adata.obs["int"] > 0, [0, 2, 4, 6]]
    pd.testing.assert_frame_equal(analyka.get_gene_expression(view), reference_expression(view))
    pd.testing.assert_frame_equal(
        analyka.get_gene_expression(view, ["G4"]), reference_expression(view, ["G4"])
    )


def noncanonical(rng, n_rows, n_cols, fmt):
    """Compressed matrix with repeated and unordered indices, zeros, negatives, NaN."""
    nnz = n_rows * 6
    major = np.sort(rng.integers(0, n_rows if fmt == "csr" else n_cols, nnz))
    minor = rng.integers(0, n_cols if fmt == "csr" else n_rows, nnz)
    data = rng.choice([-2.0, -1.0, 0.0, 1.0, 2.0, 0.25, np.nan], nnz)
    indptr = np.searchsorted(major, np.arange((n_rows if fmt == "csr" else n_cols) + 1))
    make = sp.csr_matrix if fmt == "csr" else sp.csc_matrix
    return make((data, minor, indptr), shape=(n_rows, n_cols))


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_expression_kernel_matches_dense_numpy(analyka, fmt):
    # Repeated entries of one position count by their sum, as in X.toarray().
    rng = np.random.default_rng(11)
    X = noncanonical(rng, 80, 9, fmt)
    assert not X.has_canonical_format
    groups = rng.choice(["a", "b", "c", "d"], 80)
    dense_positive = X.toarray() > 0
    expected = np.array([dense_positive[groups == g].mean(axis=0) for g in "abcd"])
    adata = adata_of(X, groups)
    got = analyka.get_gene_expression(adata)
    np.testing.assert_array_equal(got.to_numpy(), expected)
    picked = analyka.get_gene_expression(adata, ["G8", "G2"])
    np.testing.assert_array_equal(picked.to_numpy(), expected[:, [8, 2]])


@pytest.mark.parametrize("fmt", ["csr", "csc"])
def test_expression_large_matrix_in_two_halves(analyka, fmt):
    # Past a few million entries the scan runs in two halves on two threads;
    # a repeated entry near the end lands in the second half.
    rng = np.random.default_rng(4)
    dense = rng.choice(np.array([0.0, -1.0, 1.0, 2.0], dtype=np.float32), (1500, 4000))
    X = sp.csr_matrix(dense) if fmt == "csr" else sp.csc_matrix(dense)
    assert X.nnz > 1 << 22
    X.indices[-2:] = X.indices[-1]  # one repeated position, summed
    groups = rng.choice(["a", "b", "c"], 1500)
    positive = X.toarray() > 0
    expected = np.array([positive[groups == g].mean(axis=0) for g in "abc"])
    adata = adata_of(X, groups)
    np.testing.assert_array_equal(analyka.get_gene_expression(adata).to_numpy(), expected)
    picked = analyka.get_gene_expression(adata, ["G3999", "G7", "G1500"])
    np.testing.assert_array_equal(picked.to_numpy(), expected[:, [3999, 7, 1500]])


def test_expression_csr_counts_past_small_counter_limits(analyka):
    # CSR rows count into small per-group counters that are added up every
    # few hundred rows of a group: groups interleaved, one of more than 65,536
    # rows, rows in no group (NaN), and long rows whose disorder comes late.
    rng = np.random.default_rng(5)
    n, n_cols = 70_000, 300
    groups = np.where(rng.random(n) < 0.96, 0.0, rng.integers(1, 3, n).astype(float))
    groups[rng.random(n) < 0.01] = np.nan
    X = sp.random(n, n_cols, density=0.01, format="lil", dtype=np.float32, random_state=6)
    X[:, 7] = 1.0  # positive in every row
    long_rows = rng.choice(n, 40, replace=False)
    X[long_rows, :] = rng.choice(np.array([-1.0, 2.0], dtype=np.float32), (40, n_cols))
    X = X.tocsr()
    X.data -= 0.3  # negatives among the short rows
    for r in long_rows[:20]:
        seg = slice(X.indptr[r + 1] - 3, X.indptr[r + 1])
        X.indices[seg] = X.indices[seg][::-1]  # unordered after 297 ordered entries
        X.data[seg] = X.data[seg][::-1]
    positive = X.toarray() > 0
    expected = np.array([positive[groups == g].mean(axis=0) for g in [0.0, 1.0, 2.0]])
    with warns_if_nan_groups(groups):
        got = analyka.get_gene_expression(adata_of(X, groups))
    np.testing.assert_array_equal(got.loc[[0.0, 1.0, 2.0]].to_numpy(), expected)
    assert got.loc[[g for g in got.index if g != g]].isna().all(axis=None)


@pytest.mark.parametrize("fmt", ["csr", "csc"])
@pytest.mark.parametrize("indices, indptr", [(np.int32, np.int64), (np.int64, np.int32)])
def test_expression_mixed_index_types_read_natively(analyka, monkeypatch, fmt, indices, indptr):
    # anndata reads int32 indices with an int64 index pointer.
    rng = np.random.default_rng(9)
    X = (sp.csr_matrix if fmt == "csr" else sp.csc_matrix)(random_values(rng, (50, 8), np.float32))
    X.indices, X.indptr = X.indices.astype(indices), X.indptr.astype(indptr)
    adata = adata_of(X, rng.choice(["a", "b", "c"], 50))
    ref = reference_expression(adata, ["G5", "G2"])
    monkeypatch.setattr(anndata.AnnData, "to_df", None)  # no dense table
    pd.testing.assert_frame_equal(analyka.get_gene_expression(adata, ["G5", "G2"]), ref)


def test_expression_duplicate_entries_in_value_type(analyka):
    # int8 sums wrap (100 + 100 = -56) and booleans or-combine, as scipy's dense form.
    indptr, indices = np.array([0, 2, 4]), np.array([0, 0, 1, 1])
    for data in (np.array([100, 100, 1, -1], dtype=np.int8), np.array([1, 1, 0, 1], dtype=bool)):
        X = sp.csr_matrix((data, indices, indptr), shape=(2, 2))
        adata = adata_of(X, ["a", "b"])
        pd.testing.assert_frame_equal(
            analyka.get_gene_expression(adata), reference_expression(adata)
        )


@pytest.mark.parametrize(
    "make, indptr, message",
    [
        # scipy's wording: "indices must be < 3", in 1.13 "column index values must be < 3"
        (sp.csr_matrix, [0, 1, 1], "indices|index values"),
        # An index pointer that ends below 0: scipy's full check passes over
        # it (no values by its count), and its densifying reads out of bounds.
        (sp.csc_matrix, [0, 3, 2, -1], "non-decreasing"),
    ],
)
def test_expression_malformed_sparse_raises_scipys_error(analyka, make, indptr, message):
    n = len(indptr) - 1
    values = np.ones(3)
    X = make((values, np.array([5, 0, 1]), np.array(indptr)), shape=(2, 3) if n == 2 else (2, n))
    adata = adata_of(sp.csr_matrix(X.shape), ["a", "b"])
    adata.X = X
    with pytest.raises(ValueError, match=message):
        analyka.get_gene_expression(adata)


@pytest.mark.parametrize(
    "items, group_col",
    [
        ([], "nope"),  # pandas' KeyError for the column
        (["G1", "Gx"], "sample"),  # anndata's KeyError for the name
        ("G1", "sample"),  # a string is not a list of columns
        ([True, False, True], "sample"),  # a mask selects fewer columns than it lists
    ],
)
def test_expression_errors_are_the_plain_ones(analyka, items, group_col):
    adata = adata_of(np.ones((4, 3)), ["a", "b", "a", "b"])
    assert_same_error(
        outcome(analyka.get_gene_expression, adata, items, group_col),
        outcome(reference_expression, adata, items, group_col),
    )


@pytest.mark.parametrize("form", [list, np.array, pd.Index, pd.Series], ids=lambda f: f.__name__)
def test_expression_listed_names_need_no_subset(analyka, monkeypatch, form):
    # Names found in unique var_names are looked up directly: no AnnData view.
    rng = np.random.default_rng(6)
    adata = adata_of(
        sp.csr_matrix(random_values(rng, (40, 6), np.float32)), rng.choice(["a", "b"], 40)
    )
    items = form(["G4", "G0", "G4"])
    ref = reference_expression(adata, items)

    def no_subset(self, index):
        raise AssertionError("a subset was built")

    monkeypatch.setattr(anndata.AnnData, "__getitem__", no_subset)
    pd.testing.assert_frame_equal(analyka.get_gene_expression(adata, items), ref)


@pytest.mark.parametrize(
    "var_names, items",
    [
        (["G0", "G1", "G0"], ["G1"]),  # duplicate var names: anndata decides
        (["G0", "G1", "G2"], ("G2", "G0")),  # a tuple goes to anndata as it is
        (["G0", "G1", "G2"], ["G2", "G1", 0]),  # a name and a position
        (["G0", "G1", "G2"], np.array(["G1", "nope"])),  # anndata's KeyError
        (["0", "1", "2"], [2, 0]),  # positions, not names
    ],
)
def test_expression_items_names_cannot_resolve_go_through_anndata(analyka, var_names, items):
    adata = adata_of(np.arange(15.0).reshape(5, 3) - 6, ["a", "b", "a", "b", "a"], var_names)
    got = outcome(analyka.get_gene_expression, adata, items)
    ref = outcome(reference_expression, adata, items)
    if isinstance(ref, Exception):
        assert_same_error(got, ref)
    else:
        pd.testing.assert_frame_equal(got, ref)


def test_expression_unorderable_groups_raise(analyka):
    adata = adata_of(np.ones((3, 1)), np.array(["a", None, "b"], dtype=object))
    assert_same_error(
        outcome(analyka.get_gene_expression, adata), outcome(reference_expression, adata)
    )


def test_expression_no_cells(analyka):
    adata = adata_of(sp.csr_matrix((0, 3)), np.array([], dtype=str))
    df = analyka.get_gene_expression(adata)
    assert df.shape == (0, 3) and (df.dtypes == np.float64).all()


def test_expression_inputs_unchanged(analyka):
    rng = np.random.default_rng(2)
    X = noncanonical(rng, 30, 5, "csr")
    adata = adata_of(X, rng.choice(["a", "b"], 30))
    items = ["G3", "G1"]
    before = (adata.X.copy(), adata.obs.copy(), adata.var.copy(), list(items))
    analyka.get_gene_expression(adata, items)
    analyka.get_gene_expression(adata)
    for attr in ("data", "indices", "indptr"):
        np.testing.assert_array_equal(getattr(adata.X, attr), getattr(before[0], attr))
    assert not adata.X.has_canonical_format
    pd.testing.assert_frame_equal(adata.obs, before[1])
    pd.testing.assert_frame_equal(adata.var, before[2])
    assert items == before[3] and analyka.get_gene_expression.__defaults__[0] == []
    assert copy.copy(adata).shape == (30, 5)
