"""Property-based fuzzing of get_gene_expression on a stored X whose arrays
were corrupted: small .h5ad files and zarr stores (each format this zarr
writes) holding a CSR or CSC X, one of whose index pointer, indices, values
or shape attribute is changed (an entry set to an edge value, a cast to
another dtype, cut short, grown, reversed), read backed, as an anndata sparse
dataset or through anndata's lazy reader.

Run by test_fuzz.py in a child interpreter, so that a crash is reported as a
failure, with a watchdog that ends the child when one example hangs; by
hand, from the repository root:

    python -m tests.robustness.store_fuzzing [--examples N]

The call must raise a ValueError or TypeError that says what is wrong with X,
or return exactly the result of the in-memory matrix built from the same
arrays, and never return a result for arrays scipy's full check refuses.
"""

from __future__ import annotations

import argparse
import faulthandler
import os
import pathlib
import shutil
import sys
import tempfile
import warnings

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelorkit.analyka as analyka
from tests.support import stores

N_CELLS, N_GENES = 40, 12
# Seconds one example may take before the child is ended, its stacks shown.
HANG_SECONDS = 120
VERBOSE = bool(os.environ.get("PELORKIT_FUZZ_VERBOSE"))


def template_adata():
    rng = np.random.default_rng(7)
    dense = rng.poisson(0.6, (N_CELLS, N_GENES)).astype(np.float32)
    dense[rng.random(dense.shape) < 0.2] *= -1
    obs = pd.DataFrame(
        {"sample": pd.Categorical(rng.choice(["S1", "S2", "S3"], N_CELLS))},
        index=[f"c{i}" for i in range(N_CELLS)],
    )
    var = pd.DataFrame(index=[f"G{i}" for i in range(N_GENES)])
    return anndata.AnnData(X=dense, obs=obs, var=var)


def template_stores(folder, memory):
    """{(store, layout): path} of the uncorrupted X."""
    paths = {}
    for layout, convert in (("csr", sp.csr_matrix), ("csc", sp.csc_matrix)):
        adata = memory.copy()
        adata.X = convert(memory.X)
        path = folder / f"{layout}.h5ad"
        adata.write_h5ad(path)
        paths["h5ad", layout] = path
        for zarr_format in stores.zarr_formats():
            path = folder / f"{layout}-v{zarr_format}.zarr"
            paths[f"zarr v{zarr_format}", layout] = stores.write_zarr(adata, path, zarr_format)
    return paths


EDGE_VALUES = [-1, 0, 1, N_CELLS - 1, N_CELLS, N_GENES, N_GENES + 1, 2**31 - 1, 2**31, -(2**63)]
DTYPES = ["float64", "float32", "int8", "uint8", "int16", "uint32", "uint64", "bool", "S3"]


@st.composite
def corruption(draw):
    """(array name, description, function of the old value to the new one)."""
    name = draw(st.sampled_from(["indptr", "indices", "data", "shape"]))
    if name == "shape":
        shapes = [
            (N_CELLS + 1, N_GENES), (N_CELLS, N_GENES - 1), (N_GENES, N_CELLS), (N_CELLS,),
            (N_CELLS, N_GENES, 1), (-N_CELLS, N_GENES), (0, 0), (2**41, N_GENES),
        ]  # fmt: skip
        shape = draw(st.sampled_from(shapes))
        return name, f"shape {shape}", lambda old: shape
    how = draw(st.sampled_from(["set", "cast", "cut", "grow", "reverse"]))
    if how == "set":
        at = draw(st.integers(-3, 60))
        value = draw(st.sampled_from(EDGE_VALUES))

        def change(old):
            new = old.astype(np.int64) if old.dtype.kind in "iub" else old.copy()
            new[at % len(new)] = value
            return new.astype(old.dtype) if old.dtype.kind == "f" else new

        return name, f"[{at} % len] = {value}", change
    if how == "cast":
        dtype = draw(st.sampled_from(DTYPES))
        return name, f"as {dtype}", lambda old: old.astype(dtype)
    if how == "cut":
        k = draw(st.integers(1, 5))
        return name, f"cut by {k}", lambda old: old[:-k]
    if how == "grow":
        k = draw(st.integers(1, 5))
        return name, f"grown by {k}", lambda old: np.r_[old, np.repeat(old[-1:], k)]
    return name, "reversed", lambda old: old[::-1].copy()


def stored_arrays(path):
    """X's data, indices, index pointer and shape attribute as stored."""
    import h5py
    import zarr

    if str(path).endswith(".h5ad"):
        with h5py.File(path, "r") as f:
            x = f["X"]
            return {n: x[n][...] for n in ("data", "indices", "indptr")}, x.attrs["shape"]
    x = zarr.open_group(path, mode="r")["X"]
    return {n: x[n][...] for n in ("data", "indices", "indptr")}, x.attrs["shape"]


def in_memory_x(path, layout, columns=None):
    """The matrix scipy builds of the stored arrays after its full check, or
    None where it refuses them (or warns about them). With `columns` (gene
    positions) of a CSC X, only those columns: the ones a call that selects
    genes reads."""
    arrays, shape = stored_arrays(path)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            shape = tuple(int(n) for n in np.asarray(shape).tolist())
            if shape != (N_CELLS, N_GENES):
                return None
            if arrays["data"].dtype.kind not in "biuf":
                return None
            if arrays["indices"].dtype.kind not in "iu" or arrays["indptr"].dtype.kind not in "iu":
                return None
            if layout == "csc" and columns is not None:
                arrays, shape = selected_columns(arrays, columns), (N_CELLS, len(columns))
            make = sp.csr_matrix if layout == "csr" else sp.csc_matrix
            x = make((arrays["data"], arrays["indices"], arrays["indptr"]), shape=shape)
            x.check_format(full_check=True)
            # scipy skips its full check when the index pointer ends below
            # 0, and then reads out of bounds.
            if x.indptr[0] != 0 or (np.diff(x.indptr) < 0).any():
                return None
            return x
    except Exception:
        return None


def selected_columns(arrays, columns):
    """The arrays of a CSC X of only `columns`, cut out by its index pointer
    (which must have a sound entry around each of them)."""
    indptr = arrays["indptr"]
    if len(indptr) != N_GENES + 1 or indptr[0] != 0:
        raise ValueError("the index pointer itself is malformed")
    pieces = [slice(int(indptr[j]), int(indptr[j + 1])) for j in columns]
    if any(p.start < 0 or p.stop < p.start or p.stop > len(arrays["data"]) for p in pieces):
        raise ValueError("the index pointer does not delimit the columns")
    return {
        "data": np.concatenate([arrays["data"][p] for p in pieces]),
        "indices": np.concatenate([arrays["indices"][p] for p in pieces]),
        "indptr": np.r_[0, np.cumsum([p.stop - p.start for p in pieces])],
    }


def opened(form, path, memory):
    if form == "backed":
        return anndata.read_h5ad(path, backed="r")
    if form == "dataset":
        return anndata.AnnData(X=stores.stored_x(path), obs=memory.obs, var=memory.var)
    return anndata.experimental.read_lazy(path)


def forms(store):
    out = ["backed"] if store == "h5ad" else []
    out.append("dataset")
    try:
        import xarray  # noqa: F401

        if hasattr(anndata.experimental, "read_lazy"):
            out.append("read_lazy")
    except ImportError:
        pass
    return out


def make_test(examples, folder):
    memory = template_adata()
    templates = template_stores(folder / "templates", memory)
    keys = sorted(templates)
    items_cases = [[], ["G3", "G0", "G11"]]
    var_names = list(memory.var_names)

    @settings(max_examples=examples, deadline=None, database=None,
              suppress_health_check=list(HealthCheck), derandomize=True)  # fmt: skip
    @given(st.sampled_from(keys), corruption(), st.data())
    def run(key, change, data):
        store, layout = key
        name, description, function = change
        form = data.draw(st.sampled_from(forms(store)))
        items = data.draw(st.sampled_from(items_cases))
        case = f"{form} {store} {layout}: {name} {description}, items {items}"
        path = folder / f"case{templates[key].suffix}"
        if path.suffix == ".h5ad":
            shutil.copyfile(templates[key], path)
        else:
            shutil.rmtree(path, ignore_errors=True)
            shutil.copytree(templates[key], path)
        try:
            stores.replace_in_x(path, name, function)
        except Exception:
            return  # the store takes no such array (a shape of strings)
        if form == "read_lazy" and name == "shape" and max(function(None), default=0) > 10**6:
            return  # anndata's lazy reader makes a task per chunk of the shape
        if VERBOSE:
            print(case, file=sys.stderr, flush=True)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                adata = opened(form, path, memory)
            except Exception:
                return  # anndata refuses to open it: nothing reaches pelorkit
        faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    got = analyka.get_gene_expression(adata, items, "sample")
                    error = None
                except (ValueError, TypeError) as raised:
                    got, error = None, raised
                finally:
                    if form == "backed":
                        adata.file.close()
                x = whole = in_memory_x(path, layout)
                if items and whole is None:  # a corruption in what the call does not read
                    columns = [var_names.index(g) for g in items]
                    x = in_memory_x(path, layout, columns)
                    var = memory.var.iloc[columns]
                else:
                    var = memory.var
                if error is not None:
                    text = str(error)
                    assert "X" in text or "ind" in text, f"{case}: unclear {error!r}"
                    if whole is not None:
                        # Refused though scipy takes it: only where the
                        # in-memory call refuses it too.
                        with pytest_raises(type(error)):
                            in_memory = anndata.AnnData(X=whole, obs=memory.obs, var=memory.var)
                            analyka.get_gene_expression(in_memory, items, "sample")
                    return
                assert x is not None, f"{case}: a result of a malformed X"
                ref = analyka.get_gene_expression(
                    anndata.AnnData(X=x, obs=memory.obs, var=var), items, "sample"
                )
                pd.testing.assert_frame_equal(got, ref, check_exact=True, obj=case)
        finally:
            faulthandler.cancel_dump_traceback_later()

    return run


class pytest_raises:
    """pytest.raises without pytest in the child: the block raises `kind`."""

    def __init__(self, kind):
        self.kind = kind

    def __enter__(self):
        return self

    def __exit__(self, kind, value, tb):
        assert kind is not None and issubclass(kind, self.kind), f"no {self.kind.__name__}"
        return True


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument(
        "--examples", type=int, default=int(os.environ.get("PELORKIT_FUZZ_EXAMPLES", 60))
    )
    args = parser.parse_args()
    faulthandler.enable()  # a crash shows where it happened
    with tempfile.TemporaryDirectory() as tmp:
        folder = pathlib.Path(tmp)
        (folder / "templates").mkdir()
        make_test(args.examples, folder)()
    print("store fuzzing finished", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
