"""AnnData written to zarr stores of each format, sharded or not, and the
forms in which a stored X reaches pelorkit (a backed file, a sparse dataset
or array, anndata's lazy reader)."""

import contextlib
import warnings

import anndata


def zarr_write_format_setting():
    """Whether this anndata chooses the zarr format it writes (0.11 and later;
    0.13 deprecates the setting, with a warning on every read of it)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return hasattr(getattr(anndata, "settings", None), "zarr_write_format")


def zarr_formats():
    """The zarr formats this zarr and anndata write: 2 always, 3 from zarr 3;
    none where anndata predates zarr 3 but zarr 3 is installed."""
    import zarr

    if int(zarr.__version__.split(".")[0]) < 3:
        return [2]
    return [2, 3] if zarr_write_format_setting() else []


def write_zarr(adata, path, zarr_format=2, shard=False):
    """adata as a zarr store; with `shard` (format 3), X's arrays are stored
    again in shards of four chunks of 1,000 entries (rows for a dense X), so
    that reads cross both."""
    import pytest
    import zarr

    if zarr_format not in zarr_formats():
        pytest.skip(f"this anndata writes no zarr v{zarr_format} stores with this zarr")
    with warnings.catch_warnings():
        # anndata's notes on the zarr format it writes, and (0.13) on the
        # setting that chooses it
        warnings.simplefilter("ignore")
        override = (
            anndata.settings.override(zarr_write_format=zarr_format)
            if zarr_write_format_setting()
            else contextlib.nullcontext()
        )
        with override:
            adata.write_zarr(path)
    if not shard:
        return path
    root = zarr.open_group(path, mode="r+")
    x = root["X"]
    sparse = isinstance(x, zarr.Group)
    arrays = [(x, name) for name in ("data", "indices", "indptr")] if sparse else [(root, "X")]
    for group, name in arrays:
        old = group[name]
        values, attrs = old[...], dict(old.attrs)
        chunks = (1000,) + tuple(values.shape[1:])
        new = group.create_array(name, shape=values.shape, dtype=values.dtype, chunks=chunks,
                                 shards=(4000,) + chunks[1:], overwrite=True)  # fmt: skip
        new[...] = values
        new.attrs.update(attrs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zarr's note on consolidated metadata in format 3
        zarr.consolidate_metadata(path)  # anndata reads the store's consolidated metadata
    return path


def stored_x(path):
    """X of an .h5ad file or a zarr store as anndata opens it without
    loading: a sparse dataset, or the h5py dataset / zarr array of a dense X
    (the HDF5 file stays open)."""
    import h5py
    import zarr

    element = h5py.File(path, "r")["X"] if str(path).endswith(".h5ad") else zarr.open(path)["X"]
    io = getattr(anndata, "io", anndata.experimental)  # anndata.io came with anndata 0.11
    dense = isinstance(element, h5py.Dataset | zarr.Array)
    return element if dense else io.sparse_dataset(element)


def require_read_lazy():
    """Skips where this anndata has no lazy reader or xarray is missing."""
    import anndata.experimental
    import pytest

    pytest.importorskip("xarray")
    if not hasattr(anndata.experimental, "read_lazy"):
        pytest.skip("anndata's read_lazy came with anndata 0.12")


def read_lazy(path):
    """anndata.experimental.read_lazy(path); skips where this anndata has none."""
    require_read_lazy()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return anndata.experimental.read_lazy(path)


def replace_in_x(path, name, change):
    """Replaces X's array `name` in the store at `path` by change(its values),
    or, for name "shape", X's shape attribute by change(shape)."""
    import h5py
    import numpy as np
    import zarr

    if str(path).endswith(".h5ad"):
        with h5py.File(path, "r+") as f:
            x = f["X"]
            if name == "shape":
                x.attrs["shape"] = change(tuple(x.attrs["shape"]))
                return
            values = change(x[name][...])
            del x[name]
            x.create_dataset(name, data=values)
        return
    x = zarr.open_group(path, mode="r+")["X"]
    if name == "shape":
        x.attrs["shape"] = [int(n) for n in change(tuple(x.attrs["shape"]))]
    else:
        values = np.asarray(change(x[name][...]))
        new = x.create_array(name, shape=values.shape, dtype=values.dtype, overwrite=True)
        new[...] = values
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        zarr.consolidate_metadata(path)


def lazy_column(values, tmp_path, store="zarr"):
    """(lazily read, eagerly read) column of an obs holding `values`, written
    to an .h5ad file or a zarr store in `tmp_path`: an xarray DataArray and
    the pandas Series it stands for."""
    import pandas as pd

    require_read_lazy()
    index = [str(i) for i in range(len(values))]
    adata = anndata.AnnData(obs=pd.DataFrame({"c": values}, index=index))
    path = (
        tmp_path / f"column{len(list(tmp_path.iterdir()))}.{'h5ad' if store == 'h5ad' else 'zarr'}"
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # anndata's notes on converted strings
        if store == "h5ad":
            adata.write_h5ad(path)
            eager = anndata.read_h5ad(path)
        else:
            write_zarr(adata, path)
            eager = anndata.read_zarr(path)
    return read_lazy(path).obs["c"], eager.obs["c"]
