"""Benchmarks of get_gene_expression on lazily read AnnData and zarr stores.

    PYTHONPATH=build/dev/stage python -m bench.bench_lazy [--cells 50000] [--dir DIR]

Data: a CSR .h5ad of --cells cells x 20,000 genes at 5% density (float32
values and int32 indices, 8 bytes per stored value: 50,000 cells make about
0.4 GiB, 400,000 cells about 3 GiB), 50 samples, written in row blocks, and
a zarr store (format 3 where this zarr writes it, chunks of 2^20 entries,
zarr's default compression) of the same matrix, copied in blocks. DIR keeps
and reuses both.

- read_lazy of the .h5ad file against the backed stream of the same file,
  and read_lazy of the zarr store against its X opened as an anndata sparse
  dataset (the zarr stream); the zarr stream against one read of its data
  and indices, chunk by chunk. Times are medians of calls run in turns.
- Peak RSS of a child process that imports pelorkit, opens the file lazily
  and makes the call (RUSAGE_CHILDREN of a small launcher).
- Scaling: the call on the first quarter, half and all of the cells of the
  lazily read AnnData.
- scanpy.get.aggregate(..., func="count_nonzero") on the same lazily read
  AnnData, where this scanpy takes it (the row says why where it does not).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import pandas as pd

from bench.bench_larger_than_memory import CHILD as BACKED_CHILD
from bench.bench_larger_than_memory import (
    LAUNCHER,
    N_GENES,
    alternating_medians,
    write_csr_h5ad,
)
from bench.common import Table
from pelorkit import analyka

ZARR_CHUNK = 1 << 20  # entries per zarr chunk of data, indices and indptr
COPY_BLOCK = 1 << 24  # entries copied at a time from the .h5ad file


def quiet():
    """Silences anndata's and zarr's notes (experimental API, formats)."""
    stack = contextlib.ExitStack()
    stack.enter_context(warnings.catch_warnings())
    warnings.simplefilter("ignore")
    return stack


def zarr_format() -> int:
    import anndata
    import zarr

    with quiet():  # anndata 0.13 deprecates the setting: format 3 is its default
        settable = hasattr(anndata.settings, "zarr_write_format")
    return 3 if int(zarr.__version__.split(".")[0]) >= 3 and settable else 2


def write_zarr_copy(h5ad: str, path: str) -> None:
    """The .h5ad file's AnnData as a zarr store, X copied block by block."""
    import anndata
    import h5py
    import zarr

    fmt = zarr_format()
    override = (
        anndata.settings.override(zarr_write_format=fmt)
        if hasattr(anndata.settings, "zarr_write_format")
        else contextlib.nullcontext()
    )
    with quiet(), override:
        backed = anndata.read_h5ad(h5ad, backed="r")
        anndata.AnnData(obs=backed.obs.copy(), var=backed.var.copy()).write_zarr(path)
        backed.file.close()
    root = zarr.open_group(path, mode="r+")
    with h5py.File(h5ad, "r") as f:
        source = f["X"]
        x = root.create_group("X")
        x.attrs.update({k: (v.tolist() if hasattr(v, "tolist") else v)
                        for k, v in source.attrs.items()})  # fmt: skip
        for name in ("data", "indices", "indptr"):
            values = source[name]
            make = x.create_array if hasattr(x, "create_array") else x.create_dataset
            target = make(name, shape=values.shape, dtype=values.dtype, chunks=(ZARR_CHUNK,))
            for start in range(0, values.shape[0], COPY_BLOCK):
                target[start : start + COPY_BLOCK] = values[start : start + COPY_BLOCK]
    with quiet():
        zarr.consolidate_metadata(path)


def read_zarr_once(path: str) -> None:
    """X/data and X/indices of the zarr store read once, a few chunks at a time."""
    import zarr

    x = zarr.open_group(path, mode="r")["X"]
    data, indices = x["data"], x["indices"]
    step = ZARR_CHUNK * 4
    for start in range(0, data.shape[0], step):
        data[start : start + step]
        indices[start : start + step]


def read_lazy(path: str):
    import anndata.experimental

    with quiet():
        return anndata.experimental.read_lazy(path)


def zarr_stream(path: str):
    """The zarr store's X as an anndata sparse dataset, in an AnnData."""
    import anndata
    import zarr

    io = getattr(anndata, "io", anndata.experimental)
    with quiet():
        lazy = read_lazy(path)
        obs, var = lazy.obs.to_memory(), lazy.var.to_memory()
    return anndata.AnnData(X=io.sparse_dataset(zarr.open(path, mode="r")["X"]), obs=obs, var=var)


# The child of bench_larger_than_memory, opening the file lazily where asked.
BACKED_OPEN = 'backed = anndata.read_h5ad(sys.argv[1], backed="r")'
LAZY_OPEN = "import anndata.experimental\nbacked = anndata.experimental.read_lazy(sys.argv[1])"


def child_peak(path: str, form: str) -> dict:
    assert BACKED_OPEN in BACKED_CHILD
    script = BACKED_CHILD if form == "backed" else BACKED_CHILD.replace(BACKED_OPEN, LAZY_OPEN)
    out = subprocess.run(
        [sys.executable, "-c", LAUNCHER, script, path], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def aggregate_fractions(adata) -> pd.DataFrame:
    """scanpy's count_nonzero per sample over the group sizes."""
    import scanpy as sc

    agg = sc.get.aggregate(adata, by="sample", func="count_nonzero")
    counts = agg.layers["count_nonzero"]
    counts = np.asarray(counts.compute() if hasattr(counts, "compute") else counts, dtype=float)
    samples = adata.obs["sample"]
    samples = pd.Series(np.asarray(samples)) if not isinstance(samples, pd.Series) else samples
    sizes = samples.value_counts().reindex(agg.obs_names).to_numpy(dtype=float)
    var_names = list(adata.var_names)
    return pd.DataFrame(counts / sizes[:, None], index=list(agg.obs_names), columns=var_names)


def bench_pair(table: Table, case: str, stream, lazy, extra: dict | None = None) -> pd.DataFrame:
    """read_lazy against the stream of the same store (and `extra` readers)."""
    reference = analyka.get_gene_expression(stream)
    pd.testing.assert_frame_equal(analyka.get_gene_expression(lazy), reference, check_exact=True)
    fns = {"stream": lambda: analyka.get_gene_expression(stream),
           "read_lazy": lambda: analyka.get_gene_expression(lazy), **(extra or {})}  # fmt: skip
    cpu = {}
    t = alternating_medians(fns, repeats=3, cpu=cpu)
    base = t["stream"]
    table.add(case, "stream (backed / sparse dataset)", base, base, f"CPU {cpu['stream']:.2f} s")
    table.add(case, "read_lazy", t["read_lazy"], base,
              f"read_lazy / stream = {t['read_lazy'] / base:.2f}; "
              f"CPU {cpu['read_lazy']:.2f} s")  # fmt: skip
    for name in extra or {}:
        table.add(case, name, t[name], base,
                  f"stream / {name} = {base / t[name]:.2f}; CPU {cpu[name]:.2f} s")  # fmt: skip
    return reference


def bench_scaling(table: Table, case: str, lazy) -> None:
    quarter = lazy.n_obs // 4
    views = {f"{k}x cells": lazy[: k * quarter] for k in (1, 2, 4)}
    t = alternating_medians(
        {k: (lambda v=v: analyka.get_gene_expression(v)) for k, v in views.items()}, 3
    )
    for name, seconds in t.items():
        table.add(case, f"read_lazy, {name}", seconds, t["1x cells"],
                  f"{seconds / t['1x cells']:.2f}x the time of 1x")  # fmt: skip


def bench_scanpy(table: Table, case: str, lazy, reference: pd.DataFrame) -> None:
    from importlib import metadata

    try:
        version = metadata.version("scanpy")
    except metadata.PackageNotFoundError:
        table.add(case, "scanpy aggregate", 0.0, None, "scanpy is not installed")
        return
    import anndata

    pk = alternating_medians({"pk": lambda: analyka.get_gene_expression(lazy)}, 1)["pk"]
    # Where scanpy refuses the lazy obs, its X (the same Dask array) with the
    # obs and var loaded: what a scanpy user of read_lazy would pass.
    with quiet():
        loaded = anndata.AnnData(X=lazy.X, obs=lazy.obs.to_memory(), var=lazy.var.to_memory())
    for adata, form in ((lazy, "lazy AnnData"), (loaded, "Dask X, obs in memory")):
        t0 = time.perf_counter()
        try:
            with quiet():
                agg = aggregate_fractions(adata)
        except Exception as refused:  # noqa: BLE001 - whatever this scanpy raises
            table.add(case, f"scanpy {version} aggregate, {form}", 0.0, None,
                      f"refused: {type(refused).__name__}: "
                      f"{str(refused).splitlines()[0][:80]}")  # fmt: skip
            continue
        seconds = time.perf_counter() - t0
        pd.testing.assert_frame_equal(agg, reference, check_names=False, check_exact=False,
                                      rtol=1e-12)  # fmt: skip
        table.add(case, f"scanpy {version} aggregate count_nonzero, {form}", seconds, pk,
                  f"one run; pelorkit on the lazy AnnData {pk:.2f} s")  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=50_000,
                        help="cells of the matrix (400000: about 3 GiB of X)")  # fmt: skip
    parser.add_argument("--dir", help="keep (and reuse) the generated stores in this directory")
    parser.add_argument("--skip-scanpy", action="store_true")
    args = parser.parse_args()
    folder = args.dir or tempfile.mkdtemp(prefix="pelorkit-bench-lazy-")
    os.makedirs(folder, exist_ok=True)
    h5ad = os.path.join(folder, f"csr_{args.cells}x{N_GENES}.h5ad")
    store = os.path.join(folder, f"csr_{args.cells}x{N_GENES}.zarr")
    try:
        import anndata

        t0 = time.perf_counter()
        if not os.path.exists(h5ad):
            write_csr_h5ad(h5ad + ".part", args.cells, N_GENES)
            os.replace(h5ad + ".part", h5ad)
        if not os.path.exists(store):
            write_zarr_copy(h5ad, store + ".part")
            os.replace(store + ".part", store)
        import h5py

        with h5py.File(h5ad, "r") as f:
            nnz = f["X/data"].shape[0]
        print(f"data: {args.cells:,} cells x {N_GENES:,} genes, nnz {nnz:,} "
              f"({nnz * 8 / 2**30:.2f} GiB of values and indices), zarr format {zarr_format()}; "
              f"ready in {time.perf_counter() - t0:.0f} s")  # fmt: skip
        load = os.getloadavg()
        table = Table("get_gene_expression on lazily read AnnData (ratio: time / stream time)")

        backed = anndata.read_h5ad(h5ad, backed="r")
        lazy_h5ad, lazy_zarr = read_lazy(h5ad), read_lazy(store)
        case = ".h5ad: read_lazy vs backed"
        reference = bench_pair(table, case, backed, lazy_h5ad)
        case = "zarr: read_lazy vs sparse dataset"
        stream = zarr_stream(store)
        got = bench_pair(table, case, stream, lazy_zarr,
                         {"zarr read of data + indices": lambda: read_zarr_once(store)})  # fmt: skip
        pd.testing.assert_frame_equal(got, reference, check_exact=True)

        for path, form, name in [(h5ad, "backed", ".h5ad backed"),
                                 (h5ad, "lazy", ".h5ad read_lazy"),
                                 (store, "lazy", "zarr read_lazy")]:  # fmt: skip
            mem = child_peak(path, form)
            table.add("peak RSS (child process)", name, mem["seconds"], None,
                      f"peak {mem['children'] / 2**20:.0f} MiB (RUSAGE_CHILDREN), "
                      f"{(mem['hwm'] - mem['before']) / 2**20:.0f} MiB above the RSS "
                      f"before the call")  # fmt: skip

        bench_scaling(table, ".h5ad read_lazy scaling", lazy_h5ad)
        bench_scaling(table, "zarr read_lazy scaling", lazy_zarr)
        if not args.skip_scanpy:
            bench_scanpy(table, ".h5ad read_lazy vs scanpy", lazy_h5ad, reference)
            bench_scanpy(table, "zarr read_lazy vs scanpy", lazy_zarr, reference)
        backed.file.close()
        table.print()
        print(f"\nload average before / after: {load[0]:.1f} / {os.getloadavg()[0]:.1f} "
              f"on {os.cpu_count()} CPUs")  # fmt: skip
    finally:
        if not args.dir:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
