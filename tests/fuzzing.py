"""Property-based fuzzing of every function of both modules.

Run by tests/test_fuzz.py in a child interpreter, so that a crash of the
interpreter is reported as a failure instead of taking the test run down:

    python tests/fuzzing.py [--examples N] [--only NAME ...]

Each function is called with generated arguments, positional and keyword. A
call may return anything or raise an ordinary exception; it must not crash,
raise SystemError (a C-API misuse), or change its arguments or the module's
shared default lists. Long local runs: --examples 2000.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import inspect
import math
import os
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


# -- hostile objects ------------------------------------------------------------
class Boom(Exception):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom("__hash__")


class RaisingLen:
    def __len__(self):
        raise Boom("__len__")

    def __iter__(self):
        raise Boom("__iter__")


class RaisingGetitem:
    def keys(self):
        return ["a", "b"]

    def __getitem__(self, key):
        raise Boom("__getitem__")

    def __len__(self):
        return 2


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class Text(str):
    pass


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
            {"score": [3.0, 1.0, 2.0], "nz_pct_test": [0.9, 0.5, 0.2], "nz_pct_ref": [0.0, 0.1, np.nan],
             "-log(p-val)": [5.0, np.nan, 1.0]},
            index=["g1", "g2", "g1"],
        ),  # fmt: skip
        pd.DataFrame([[1, 2], [3, 4]], index=["s1", "s1"], columns=["x", "x"]),
        pd.DataFrame({"c": pd.Categorical(["a", "b"], categories=["b", "a", "z"])}),
        pd.DataFrame({"o": [object(), None]}, index=[("t", 1), ("t", 2)]),
        pd.DataFrame(np.arange(6, dtype=np.int8).reshape(3, 2), index=["s1", "s2", "s3"]),
    ]


def small_adatas():
    obs = pd.DataFrame(
        {
            "sample": pd.Categorical(["s1", "s2", "s1", "s3"], categories=["s1", "s2", "s3", "unused"]),
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
        anndata.AnnData(X=sp.csr_matrix(dense), obs=obs.copy(), var=var.copy(), uns={"log": 1, "d": {"x": [1]}}),
        anndata.AnnData(X=sp.csc_matrix(dense.astype(np.float64)), obs=obs.copy(), var=var.copy()),
        anndata.AnnData(obs=pd.DataFrame(index=[])),
    ]


SCALARS = [None, 0, 1, -1, 3, 2**70, 0.5, -0.0, math.nan, math.inf, True, False, "", "a", "sample",
           "G1_G2--A|B", "A_B--X", "Lung", "zip", "gz", "tar.gz", Text("x"), b"bytes", 1 + 2j,
           np.int64(2), np.float32(0.01), np.str_("s1"), object()]  # fmt: skip
HOSTILE = [RaisingEq(), RaisingHash(), RaisingLen(), RaisingGetitem(), RaisingBool()]


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
    ]


def value_pool():
    frames = small_frames()
    pool = SCALARS + HOSTILE + arrays() + frames + small_adatas()
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
        return copy.deepcopy(value)
    except Exception:
        return None


def same(a, b, written_obs_column=None) -> bool:
    if a is None and b is None:
        return True
    if isinstance(a, anndata.AnnData):
        obs_a, obs_b = a.obs, b.obs
        if written_obs_column is not None:  # the one column a function may write
            obs_a = obs_a.drop(columns=[written_obs_column], errors="ignore")
            obs_b = obs_b.drop(columns=[written_obs_column], errors="ignore")
        return same(obs_a, obs_b) and same(a.var, b.var) and same(a.X, b.X) and same(dict(a.uns), dict(b.uns))
    if isinstance(a, pd.DataFrame | pd.Series):
        return type(a) is type(b) and a.equals(b) and list(a.index) == list(b.index)
    if sp.issparse(a):
        return sp.issparse(b) and a.shape == b.shape and (a != b).nnz == 0
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.shape == b.shape and a.dtype == b.dtype and (
            np.array_equal(a, b, equal_nan=a.dtype.kind in "fc")
        )
    if isinstance(a, dict):
        return isinstance(b, dict) and list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list | tuple):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    if type(a) is not type(b):
        return False
    if type(a).__eq__ is object.__eq__:  # identity equality: compare the state instead
        return same(getattr(a, "__dict__", {}), getattr(b, "__dict__", {}))
    try:
        return a is b or bool(a == b) or repr(a) == repr(b)
    except Exception:
        return repr(a) == repr(b)


def default_lists():
    out = []
    for module in (analyka, fetchora):
        for name, f in vars(module).items():
            if type(f).__name__ == "function" and f.__defaults__:
                out += [(name, d, list(d)) for d in f.__defaults__ if isinstance(d, list)]
    return out


# -- the property ---------------------------------------------------------------
def fake_gdown():
    def download(url, output, quiet=False):
        with open(output, "wb") as fh:
            fh.write(b"not an archive")
        return output

    return types.SimpleNamespace(download=download)


def make_test(module, name, examples):
    function = getattr(module, name)
    params = list(inspect.signature(function).parameters)
    pool = value_pool()
    if module is fetchora:
        # Integers are file descriptors to open(): they would read stdin or
        # close the child's own output streams.
        pool = [v for v in pool if not isinstance(v, int | np.integer)]
    defaults = default_lists()

    # Values are drawn by index: hypothesis would hash the hostile objects.
    value = st.integers(0, len(pool) - 1).map(lambda i: pool[i])

    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck), derandomize=True)  # fmt: skip
    @given(
        st.lists(value, max_size=len(params) + 1),
        st.lists(st.sampled_from(params or ["_"]), unique=True, max_size=len(params)),
        st.lists(value, min_size=len(params), max_size=len(params)),
    )
    def run(positional, keyword_names, keyword_values):
        kwargs = {k: keyword_values[i] for i, k in enumerate(keyword_names) if i >= len(positional)}
        args = list(positional)
        before = [snapshot(v) for v in args + list(kwargs.values())]
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                function(*args, **kwargs)
        except SystemError:
            raise
        except Exception:
            pass
        written = None
        if name == "compute_sample_div_index":
            try:
                bound = inspect.signature(function).bind(*args, **kwargs)
                bound.apply_defaults()
                written = bound.arguments["sdi_col"]
            except (TypeError, KeyError):
                pass
        for old, new in zip(before, args + list(kwargs.values())):
            if old is not None and not isinstance(new, RaisingEq | RaisingHash | RaisingLen):
                try:
                    unchanged = same(old, new, written)
                except Exception:  # a column name pandas cannot drop
                    unchanged = same(old, new)
                assert unchanged, f"{name} modified an argument: {new!r:.200}"
        for fname, lst, content in defaults:
            assert lst == content, f"{name} changed the default list of {fname}"

    return run


def targets(only):
    for module in (analyka, fetchora):
        for name, f in vars(module).items():
            if type(f).__name__ == "function" and f.__name__ == name and (not only or name in only):
                yield module, name


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--examples", type=int, default=int(os.environ.get("PELORKIT_FUZZ_EXAMPLES", 60)))
    parser.add_argument("--only", nargs="*", default=[])
    args = parser.parse_args()
    failures = 0
    with tempfile.TemporaryDirectory() as tmp, contextlib.chdir(tmp), contextlib.redirect_stdout(
        open(os.devnull, "w")
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
