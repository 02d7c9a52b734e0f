"""Property-based fuzzing of every function of the modules.

Run by test_fuzz.py in a child interpreter, so that a crash of the
interpreter is reported as a failure instead of taking the test run down;
by hand, from the repository root:

    python -m tests.robustness.fuzzing [--examples N] [--only NAME ...]

Each function is called with generated arguments, positional and keyword
(now and then a keyword it does not have), drawn from a pool of valid inputs,
odd dtypes and layouts, views, cycles, deep nesting and hostile objects whose
methods raise or change their own container. A call may return anything or
raise an ordinary exception; it must not crash, raise SystemError (a C-API
misuse) or a RuntimeError that carries a C++ error, or change its arguments
(beyond the one obs column compute_sample_div_index writes) or the modules'
shared default lists. Long local runs: --examples 2000.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import inspect
import math
import os
import pathlib
import sys
import tempfile
import traceback
import types
import warnings

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelorkit.analyka as analyka
import pelorkit.fetchora as fetchora
import pelorkit.readers as readers
from tests.robustness.hostile import (
    ClearingItem,
    LyingLen,
    RaisingAttribute,
    RaisingBool,
    RaisingEq,
    RaisingGetitem,
    RaisingHash,
    RaisingIndex,
    RaisingLen,
    RaisingPath,
    RaisingStr,
    ShrinkingDict,
    Text,
)
from tests.support import workloads
from tests.support.modules import own_functions


# -- values that loop, nest deeply or empty themselves -------------------------
def self_containing():
    looped_dict, looped_list = {}, []
    looped_dict["again"] = looped_dict
    looped_list.append(looped_list)
    return [looped_dict, looped_list]


def deeply_nested(depth=3000):
    nested = {}
    for _ in range(depth):
        nested = {"k": nested}
    return nested


class ClearingList(list):
    """A list holding an item that empties it when compared."""


def clearing_list():
    home = ClearingList(["s1", "s2"])
    home.insert(1, ClearingItem(home))
    return home


def small_frames():
    ids = ["G1_G2--A|B", "G3_G4--B|A", "G1_G2--A|A", "bad id", "X_Y--B|C"]
    return [
        pd.DataFrame(),
        pd.DataFrame({"a": [1, 2], "b": [np.nan, 1.0]}),
        pd.DataFrame(
            {
                "pval": [0.001, 0.5, 0.01, 0.0, np.nan],
                "mean": [2.0, 0.1, 1.0, 5.0, 1.5],
                "cell_A": ["A", "B", "A", None, "X"],
                "cell_B": ["B", "A", "A", "C", "C"],
                "gene_A": ["G1", "G3", "G1", "Z", "X"],
                "gene_B": ["G2", "G4", "G2", "Z", "Y"],
            },
            index=ids,
        ),
        pd.DataFrame(
            {
                "score": [3.0, 1.0, 2.0],
                "nz_pct_test": [0.9, 0.5, 0.2],
                "nz_pct_ref": [0.0, 0.1, np.nan],
                "-log(p-val)": [5.0, np.nan, 1.0],
            },
            index=["g1", "g2", "g1"],
        ),  # fmt: skip
        pd.DataFrame([[1, 2], [3, 4]], index=["s1", "s1"], columns=["x", "x"]),
        pd.DataFrame({"c": pd.Categorical(["a", "b"], categories=["b", "a", "z"])}),
        pd.DataFrame({"o": [object(), None]}, index=[("t", 1), ("t", 2)]),
        pd.DataFrame(np.arange(6, dtype=np.int8).reshape(3, 2), index=["s1", "s2", "s3"]),
        pd.DataFrame([[1.0, 2.0]], columns=pd.MultiIndex.from_tuples([("a", "x"), ("a", "y")])),
        pd.DataFrame(
            {
                "pval": ["0.01", None],
                "mean": [np.inf, -np.inf],
                "cell_A": [1, 2],
                "cell_B": [np.nan, 2.0],
                "gene_A": [b"G", None],
                "gene_B": [(), []],
            },
            index=["G1_G2--A|B", np.nan],
        ),  # fmt: skip
        pd.DataFrame(
            {"when": pd.to_datetime(["2024-01-01", None]), "n": pd.array([1, None], dtype="Int64")}
        ),
        pd.DataFrame(index=["s1", "s2"]),
    ]


def small_adatas():
    obs = pd.DataFrame(
        {
            "sample": pd.Categorical(
                ["s1", "s2", "s1", "s3"], categories=["s1", "s2", "s3", "unused"]
            ),
            "cnv_cluster": ["0", "1", "0", "1"],
            "ploidy_dec": ["Aneuploid", "Diploid", "Aneuploid", "Aneuploid"],
            "cnv_ref_ind": [True, False, False, True],
            "num": [1, 2, 1, 2],
        },
        index=[f"c{i}" for i in range(4)],
    )
    var = pd.DataFrame(index=["G1", "G2", "G3"])
    dense = np.array([[0, 1.5, -1], [2, 0, 0], [0, 0, 3], [1, 1, 1]], dtype=np.float32)
    return [
        anndata.AnnData(X=dense, obs=obs.copy(), var=var.copy()),
        anndata.AnnData(
            X=sp.csr_matrix(dense), obs=obs.copy(), var=var.copy(), uns={"log": 1, "d": {"x": [1]}}
        ),
        anndata.AnnData(X=sp.csc_matrix(dense.astype(np.float64)), obs=obs.copy(), var=var.copy()),
        anndata.AnnData(obs=pd.DataFrame(index=[])),
        anndata.AnnData(X=dense, obs=obs.copy(), var=var.copy())[1:3],  # a view
        workloads.tumour_adata(12, 3, 2),
        workloads.expression_adata(10, 5, 2, 2),
        anndata.AnnData(obs=obs.assign(cnv_cluster=[0, 1, 0, 1], sample=[None, "s1", "s1", "s2"])),
    ]


SCALARS = [None, 0, 1, -1, 3, 2**70, 0.5, -0.0, math.nan, math.inf, True, False, "", "a", "sample",
           "G1_G2--A|B", "A_B--X", "Lung", "zip", "gz", "tar.gz", Text("x"), b"bytes", 1 + 2j,
           np.int64(2), np.float32(0.01), np.str_("s1"), object()]  # fmt: skip
HOSTILE = [RaisingEq(), RaisingHash(), RaisingLen(), RaisingGetitem(), RaisingBool(),
           RaisingStr(), RaisingAttribute(), LyingLen(), RaisingIndex(), RaisingPath()]  # fmt: skip
TEXTS = ["\ud800", "a\x00b", "\U0001f9ec cell", " ", "a b c d e f g h i j k l m n o p q r s t u v w",
         "x" * 100_000, "--", "_--|", "A_B_C--X|Y--Z", "B cell|T cell"]  # fmt: skip


def arrays():
    return [
        np.array([]),
        np.array(["s1", "s2", "s1"]),
        np.array([1, 2, 1]),
        np.array([0.5, np.nan, 1.0]),
        np.array([["a", "b"], ["c", "d"]]),
        np.array(["x", 1, None], dtype=object),
        np.array(5),
        pd.Series(["s1", "s2", "s1"]),
        pd.Series(["a", "b", "a"], dtype="category"),
        pd.Series(["a", None, "a"], dtype="string"),
        pd.Series([1.0, 2.0], index=["s1", "s2"]),
        sp.csr_matrix(np.eye(3)),
        np.arange(10.0)[::3],  # not contiguous
        np.array([3.0, 1.0, 2.0], dtype=">f8"),  # big-endian
        np.asfortranarray(np.arange(6.0).reshape(2, 3)),
        np.zeros((0, 3)),
        np.array(["2024-01-01", "NaT"], dtype="datetime64[D]"),
        np.array([(1, 2.0)], dtype=[("a", "i4"), ("b", "f8")]),
        np.array([1 + 2j, np.nan]),
        np.arange(1_000_000, dtype=np.int32),
        read_only(np.array(["s1", "s2", "s1"])),
        pd.Series([1, None, 3], dtype="Int64"),
        pd.Series([True, None], dtype="boolean"),
        pd.Series(pd.Categorical(["a", None, "b"], categories=["b", "a", "unused"])),
        pd.Series(["s1", "s2"], index=["x", "x"]),
        pd.Index(["s1", "s2", "s1"]),
        pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]),
        sp.csc_matrix(np.eye(3)),
        sp.coo_matrix(np.eye(3)),
        sp.csr_array(np.array([[0.0, -1.0], [2.0, 0.0]])),
        non_canonical_csr(),
        ["s1", "s2"] * 50_000,
    ]


def read_only(array):
    array.setflags(write=False)
    return array


def non_canonical_csr():
    """Unsorted column indices, a duplicate entry and a stored zero."""
    return sp.csr_matrix(
        (np.array([1.0, 0.0, 2.0, 3.0]), np.array([2, 0, 2, 1]), np.array([0, 3, 4])), shape=(2, 3)
    )


def value_pool():
    frames = small_frames()
    table, groups = workloads.sample_table(6, 4, n_groups=2)
    pool = SCALARS + HOSTILE + TEXTS + arrays() + frames + small_adatas()
    pool += self_containing() + [deeply_nested(), clearing_list(), ShrinkingDict(s1=frames[2])]
    pool += [table, groups, pd.Series(groups), workloads.cci_tables(2, 6, n_types=2, n_genes=2)]
    pool += [workloads.deg_tables(), workloads.gsa_tables(), *workloads.population_inputs(20, 2, 3)]
    pool += [pathlib.Path("downloaded"), pathlib.Path("Lung.h5ad"), workloads.display_adata()]
    pool += [
        [],
        ["s1", "s2", "s1"],
        ["T cell", "B cell"],
        ("T cell",),
        [1, 2, 3],
        [["nested"]],
        {},
        {"s1": frames[2], "s2": frames[2].iloc[:2]},
        {"s1": frames[3], "k_x": frames[3]},
        {"a": 1, "bb": {"x": [1, 2], "y": "hi"}, "c": np.zeros((10, 3))},
        {"s1": "A", "s2": "B", "s3": "A"},
        {1: frames[1]},
        {"only": frames[0]},
        {"x": RaisingLen()},
    ]
    return pool


# -- snapshots to prove the arguments are unchanged --------------------------------
def snapshot(value):
    try:
        if isinstance(value, anndata.AnnData):
            return value.copy()  # deepcopy of a view does not copy what it shows
        return copy.deepcopy(value)
    except Exception:
        return None


def same(a, b, seen=None) -> bool:
    """Deep equality that sees any change: arrays byte for byte, frames with
    their index and columns, sparse matrices by their canonical stored
    arrays, cycles followed once."""
    seen = set() if seen is None else seen
    if (id(a), id(b)) in seen:
        return True
    seen.add((id(a), id(b)))
    if a is None and b is None:
        return True
    if isinstance(a, anndata.AnnData):
        return isinstance(b, anndata.AnnData) and all(
            same(getattr(a, part), getattr(b, part), seen) for part in ("obs", "var", "X")
        ) and all(same(dict(getattr(a, m)), dict(getattr(b, m)), seen) for m in ("obsm", "uns"))  # fmt: skip
    if isinstance(a, pd.DataFrame | pd.Series | pd.Index):
        kind = next(k for k in (pd.DataFrame, pd.Series, pd.Index) if isinstance(a, k))
        return (
            isinstance(b, kind)
            and a.equals(b)
            and list(a.index if not isinstance(a, pd.Index) else a) == list(b.index if not isinstance(b, pd.Index) else b)
            and (not isinstance(a, pd.DataFrame) or list(a.columns) == list(b.columns))
        )  # fmt: skip
    if sp.issparse(a):
        # By value: scipy itself sums duplicates and sorts indices in place
        # when a matrix is compared or converted, as any Python caller would.
        if not (sp.issparse(b) and a.format == b.format and a.shape == b.shape):
            return False
        a, b = canonical(a), canonical(b)
        parts = [p for p in ("data", "indices", "indptr", "row", "col", "coords") if hasattr(a, p)]
        return all(same(getattr(a, p), getattr(b, p), seen) for p in parts)
    if isinstance(a, np.ndarray):
        if not (isinstance(b, np.ndarray) and a.shape == b.shape and a.dtype == b.dtype):
            return False
        if a.dtype.hasobject:
            return all(
                same(x, y, seen)
                for x, y in zip(a.ravel().tolist(), b.ravel().tolist(), strict=True)
            )
        return a.tobytes() == b.tobytes()
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k], seen) for k in a)
    if isinstance(a, list | tuple):
        return type(a) is type(b) and len(a) == len(b) and all(
            same(x, y, seen) for x, y in zip(a, b, strict=True)
        )  # fmt: skip
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if type(a) is not type(b):
        return False
    if type(a).__eq__ is object.__eq__:  # identity equality: compare the state instead
        return same(getattr(a, "__dict__", {}), getattr(b, "__dict__", {}), seen)
    try:
        return a is b or bool(a == b) or repr(a) == repr(b)
    except Exception:
        return repr(a) == repr(b)


def canonical(matrix):
    matrix = matrix.copy()
    if hasattr(matrix, "sum_duplicates"):
        matrix.sum_duplicates()
    return matrix


def changes_itself(value) -> bool:
    """Values whose own methods change them when they are read or compared."""
    return isinstance(value, RaisingEq | RaisingHash | RaisingLen | ShrinkingDict | ClearingList)


# The one function that writes into its input: a column of adata.obs.
WRITES = {"compute_sample_div_index": ("adata", "sdi_col")}


def written_column(function, args, kwargs):
    """(the AnnData argument, the obs column it may write) or None."""
    if function.__name__ not in WRITES:
        return None
    target, column = WRITES[function.__name__]
    try:
        bound = inspect.signature(function).bind(*args, **kwargs)
    except TypeError:
        return None
    bound.apply_defaults()
    return bound.arguments[target], bound.arguments[column]


def same_but_column(old, new, column):
    """same() for an AnnData whose obs may have gained or replaced `column`."""
    if not (isinstance(old, anndata.AnnData) and isinstance(new, anndata.AnnData)):
        return same(old, new)
    try:
        old_obs = old.obs.drop(columns=[column], errors="ignore")
        new_obs = new.obs.drop(columns=[column], errors="ignore")
    except Exception:
        return same(old, new)
    return same(old_obs, new_obs) and all(
        same(getattr(old, part), getattr(new, part)) for part in ("var", "X")
    ) and all(same(dict(getattr(old, m)), dict(getattr(new, m))) for m in ("obsm", "uns"))  # fmt: skip


# RuntimeError texts that show a C++ error escaping instead of a Python one.
NATIVE_ERROR_TEXTS = (
    "Unable to cast",
    "std::",
    "_M_",
    "basic_string",
    "vector::",
    "pybind11",
    "bad_",
)


def escaped_native_error(error: BaseException) -> bool:
    if isinstance(error, SystemError):
        return True
    return type(error) is RuntimeError and any(t in str(error) for t in NATIVE_ERROR_TEXTS)


def default_lists():
    out = []
    for module in (analyka, fetchora, readers):
        for name, f in own_functions(module).items():
            if f.__defaults__:
                out += [(name, d, list(d)) for d in f.__defaults__ if isinstance(d, list)]
    return out


# -- the property ---------------------------------------------------------------
def fake_gdown():
    def download(url, output, quiet=False):
        with open(output, "wb") as fh:
            fh.write(b"not an archive")
        return output

    return types.SimpleNamespace(download=download)


# -- calls near valid ones ------------------------------------------------------
# Random argument lists rarely get past the first type check, so half of the
# examples start from a valid call (workloads.valid_calls) and change some
# of its arguments: a column's dtype, a missing value, a dropped column or
# key, duplicate labels, no rows, a misaligned length, another sparse layout,
# a view, or a value from the pool.
def fresh(value):
    if isinstance(value, anndata.AnnData):
        return value.copy()
    return copy.deepcopy(value)


def frame_variants(frame):
    def retyped(column, make):
        return lambda: frame.assign(**{column: make(frame[column])})

    out = [
        lambda: frame.iloc[:0],
        lambda: frame.iloc[::-1],
        lambda: pd.concat([frame.iloc[:1], frame]),  # a duplicate label
        lambda: frame.reset_index(drop=True),
        lambda: frame.set_axis(range(frame.shape[1]), axis=1),
        lambda: pd.concat([frame, frame.iloc[:, :1]], axis=1),  # a duplicate column
        lambda: frame.T,
    ]
    for column in [c for c in frame.columns if isinstance(c, str)][:6]:
        out += [
            retyped(column, lambda s: s.astype(object)),
            retyped(column, lambda s: s.astype("category").cat.add_categories(["unused"])),
            retyped(column, lambda s: s.astype(str).astype("string")),
            retyped(column, lambda s: s.where(np.arange(len(s)) != 0)),  # a missing value
            retyped(column, lambda s: s.astype("float32") if s.dtype.kind in "fiub" else s),
            retyped(column, lambda s: pd.Series([RaisingEq()] * len(s), index=s.index)),
            lambda column=column: frame.drop(columns=[column]),
        ]
    return out


def anndata_variants(adata):
    def with_x(make):
        def build():
            copy_ = adata.copy()
            copy_.X = make(adata.X)
            return copy_

        return build

    def with_obs(make):
        def build():
            copy_ = adata.copy()
            copy_.obs = make()
            return copy_

        return build

    dense = (lambda x: x.toarray()) if sp.issparse(adata.X) else (lambda x: np.asarray(x))
    out = [
        lambda: adata[::2],
        lambda: adata[:, ::-1],
        lambda: adata[:0],
        with_x(lambda x: sp.csc_matrix(x)),
        with_x(lambda x: sp.csr_array(x)),
        with_x(lambda x: dense(x)),
        with_x(lambda x: dense(x).astype(np.int64)),
        with_x(
            lambda x: np.where(np.arange(dense(x).size).reshape(x.shape) == 0, np.nan, dense(x))
        ),
    ]
    obs = adata.obs
    out += [with_obs(v) for v in frame_variants(obs) if v().shape[0] == obs.shape[0]][:12]
    return out


def sequence_variants(values):
    items = list(values)
    out = [
        lambda: items,
        lambda: np.array(items, dtype=object),
        lambda: pd.Series(items),
        lambda: pd.Series(items, dtype="category"),
        lambda: tuple(items),
        lambda: items[:-1],  # one short
        lambda: items[::-1],
        lambda: [*items[:-1], None],
        lambda: [*items, np.nan],
        lambda: np.repeat(np.asarray(items), 2)[::2],  # not contiguous
    ]
    if isinstance(values, pd.Series):
        out.append(lambda: values.set_axis(values.index[::-1]))
    return out


def variants(value):
    """Builders of values close to a valid argument."""
    if isinstance(value, anndata.AnnData):
        return anndata_variants(value)
    if isinstance(value, pd.DataFrame):
        return frame_variants(value)
    if isinstance(value, dict) and value:
        first = next(iter(value))
        out = [
            lambda: {k: v for k, v in value.items() if k != first},
            lambda: {i: v for i, v in enumerate(value.values())},
            lambda: ShrinkingDict(fresh(value)),
            lambda: types.MappingProxyType(fresh(value)),
        ]
        for option in variants(value[first])[:12]:
            out.append(lambda option=option: {**fresh(value), first: option()})
        return out
    if isinstance(value, list | tuple | np.ndarray | pd.Series) and len(value):
        return sequence_variants(value)
    if isinstance(value, str):
        return [lambda: "", lambda: Text(value), lambda: value + " x", lambda: value[:1] + "\ud800"]
    if isinstance(value, bool | int | float):
        return [lambda: 0, lambda: -1, lambda: math.nan, lambda: 2**70, lambda: np.float32(value)]
    return []


@st.composite
def near_valid_call(draw, templates, pool):
    args, kwargs = templates[draw(st.integers(0, len(templates) - 1))]

    def argument(value):
        kind = draw(st.integers(0, 9))
        if kind < 9:
            options = variants(value) if kind >= 5 else []
            if options:
                try:
                    return options[draw(st.integers(0, len(options) - 1))]()
                except Exception:
                    pass  # the variant does not apply to this value
            return fresh(value)
        return pool[draw(st.integers(0, len(pool) - 1))]

    return [argument(a) for a in args], {k: argument(v) for k, v in kwargs.items()}


@st.composite
def random_call(draw, params, pool):
    # Values are drawn by index: hypothesis would hash the hostile objects.
    value = st.integers(0, len(pool) - 1).map(lambda i: pool[i])
    positional = draw(st.lists(value, max_size=len(params) + 1))
    # Now and then a keyword the function does not have.
    names = st.sampled_from([*params, "_no_such_parameter"])
    keyword_names = draw(st.lists(names, unique=True, max_size=len(params)))
    keyword_values = draw(st.lists(value, min_size=len(params), max_size=len(params)))
    kwargs = {k: keyword_values[i] for i, k in enumerate(keyword_names) if i >= len(positional)}
    return positional, kwargs


def make_test(module, name, examples):
    function = getattr(module, name)
    params = list(inspect.signature(function).parameters)
    pool = value_pool()
    if module is fetchora:
        # Integers are file descriptors to open(): they would read stdin or
        # close the child's own output streams.
        pool = [v for v in pool if not isinstance(v, int | np.integer)]
    defaults = default_lists()
    calls = random_call(params, pool)
    valid = {analyka: workloads.valid_calls, readers: workloads.reader_calls}.get(module)
    templates = valid().get(name) if valid else None
    if templates:
        calls = st.one_of(calls, near_valid_call(templates, pool))

    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck), derandomize=True)  # fmt: skip
    @given(calls)
    def run(call):
        args, kwargs = call
        inputs = args + list(kwargs.values())
        before = [snapshot(v) for v in inputs]
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                function(*args, **kwargs)
        except Exception as error:
            assert not escaped_native_error(error), f"{name} raised {error!r:.300}"
        written = written_column(function, args, kwargs)
        for old, new in zip(before, inputs, strict=True):
            if old is None or changes_itself(new):
                continue
            if written and new is written[0]:
                unchanged = same_but_column(old, new, written[1])
            else:
                unchanged = same(old, new)
            assert unchanged, f"{name} modified an argument: {new!r:.200}"
        for fname, lst, content in defaults:
            assert lst == content, f"{name} changed the default list of {fname}"

    return run


def targets(only):
    for module in (analyka, fetchora, readers):
        for name in own_functions(module):
            if not only or name in only:
                yield module, name


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument(
        "--examples", type=int, default=int(os.environ.get("PELORKIT_FUZZ_EXAMPLES", 60))
    )
    parser.add_argument("--only", nargs="*", default=[])
    args = parser.parse_args()
    # Libraries imported with the modules raise the recursion limit (to 3000);
    # a tree drawn of a self-containing dictionary then holds gigabytes of
    # text before RecursionError. The interpreter's default keeps it small.
    sys.setrecursionlimit(1000)
    failures = 0
    with (
        tempfile.TemporaryDirectory() as tmp,
        contextlib.chdir(tmp),
        contextlib.redirect_stdout(open(os.devnull, "w")),
    ):
        fetchora.gdown = fake_gdown()  # never the network
        analyka.display = lambda *a, **k: None
        for module, name in targets(set(args.only)):
            print(f"fuzz {module.__name__}.{name}", file=sys.stderr, flush=True)
            try:
                make_test(module, name, args.examples)()
            except Exception:
                failures += 1
                traceback.print_exc()
    print(f"fuzzing finished with {failures} failing function(s)", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
