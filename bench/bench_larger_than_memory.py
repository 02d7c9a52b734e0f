"""Benchmarks of get_gene_expression on data larger than memory.

    PYTHONPATH=build/dev/stage python -m bench.bench_larger_than_memory [--scale 0.1] [--dir DIR]

Data: a CSR .h5ad of 400,000 cells x 20,000 genes at 5% density, float32
values > 0 (about 3.2 GB of values and indices), 50 samples, written in row
blocks with h5py into a temporary directory (or DIR, where it is kept and
reused). --scale multiplies the number of cells.

Backed: the call on the file opened with backed="r", against reading X/data
and X/indices once with h5py in blocks of the size the stream uses (the floor
for any reader of the file). Wall and CPU times are printed: the stream reads
on one core while another counts, so on a machine whose cores are taken by
other work the wall time tends to the CPU time of reading plus counting. Its peak memory is the peak RSS of a child
process that imports pelorkit, opens the file and makes the call. Scaling:
the same call on the first quarter, the first half and all of the cells.

Dask: the same file read lazily as a Dask array of CSR chunks of 50,000 rows
(anndata.experimental.read_elem_lazy), on the threaded scheduler and on a
2-worker LocalCluster, against scanpy.get.aggregate(..., func="count_nonzero")
on the same Dask-backed AnnData where that scanpy version accepts Dask arrays;
the threaded time is also set against the in-memory call on the same matrix.

Listed genes (50,000 cells): in memory (CSR and CSC), 5 and 100 genes against
all genes, against reading their columns (X[:, cols]) and against building
the subset adata[:, items] that the plain algorithm starts from; in a backed
CSC file, 100 genes against reading their columns with h5py.
"""

from __future__ import annotations

import argparse
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

from bench.common import Table, median_time
from pelorkit import analyka

N_CELLS, N_GENES, DENSITY, N_SAMPLES = 400_000, 20_000, 0.05, 50
DASK_CHUNK_ROWS = 50_000
# The stream's block size: a sixteenth of the stored entries, within 16 KiB
# and 32 MiB of values and indices.
MIN_BLOCK_BYTES, MAX_BLOCK_BYTES, BLOCKS_PER_MATRIX = 16 << 10, 32 << 20, 16


def write_csr_h5ad(path: str, n_cells: int, n_genes: int, seed: int = 0, rows: int = 10_000):
    """A backed-readable .h5ad whose X is CSR, written in row blocks so that
    the matrix is never whole in memory."""
    import anndata
    import h5py

    rng = np.random.default_rng(seed)
    samples = np.array([f"sample_{i:02d}" for i in range(N_SAMPLES)])
    obs = pd.DataFrame(
        {"sample": pd.Categorical(samples[rng.integers(0, N_SAMPLES, n_cells)])},
        index=pd.Index([f"cell{i}" for i in range(n_cells)], dtype=object),
    )
    var = pd.DataFrame(index=pd.Index([f"gene{j}" for j in range(n_genes)], dtype=object))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        anndata.AnnData(obs=obs, var=var).write_h5ad(path)

    draws = int(n_genes * DENSITY * 1.2) + 20
    with h5py.File(path, "a") as f:
        X = f.create_group("X")
        X.attrs.update({"encoding-type": "csr_matrix", "encoding-version": "0.1.0",
                        "shape": (n_cells, n_genes)})  # fmt: skip
        data = X.create_dataset("data", (0,), np.float32, maxshape=(None,), chunks=(1 << 16,))
        indices = X.create_dataset("indices", (0,), np.int32, maxshape=(None,), chunks=(1 << 16,))
        indptr = X.create_dataset("indptr", (n_cells + 1,), np.int64)
        indptr[0] = 0
        stored = 0
        for start in range(0, n_cells, rows):
            n = min(rows, n_cells - start)
            cols = np.cumsum(rng.geometric(DENSITY, size=(n, draws)), axis=1) - 1
            keep = cols < n_genes
            block_indices = cols[keep].astype(np.int32)
            del cols
            block_data = rng.random(block_indices.size, dtype=np.float32) * 5 + 0.01
            data.resize((stored + block_indices.size,))
            indices.resize((stored + block_indices.size,))
            data[stored:] = block_data
            indices[stored:] = block_indices
            indptr[start + 1 : start + n + 1] = stored + np.cumsum(keep.sum(axis=1))
            stored += block_indices.size
    return stored


def stream_block_entries(nnz: int, entry_bytes: int = 8) -> int:
    bytes_ = min(max(nnz // BLOCKS_PER_MATRIX * entry_bytes, MIN_BLOCK_BYTES), MAX_BLOCK_BYTES)
    return max(1, bytes_ // entry_bytes)


def read_once(path: str, block: int) -> None:
    """X/data and X/indices read once with h5py, `block` entries at a time."""
    import h5py

    with h5py.File(path, "r") as f:
        data, indices = f["X/data"], f["X/indices"]
        for start in range(0, data.shape[0], block):
            data[start : start + block]
            indices[start : start + block]


def cpu_seconds() -> float:
    """CPU time of this process so far, all its threads together."""
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def alternating_medians(fns: dict, repeats: int, cpu: dict | None = None) -> dict:
    """Median times of several functions run in turns, so that a busy spell of
    the machine touches them alike; `cpu` receives the median CPU times."""
    times = {name: [] for name in fns}
    cpu_times = {name: [] for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            c0, t0 = cpu_seconds(), time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - t0)
            cpu_times[name].append(cpu_seconds() - c0)
    if cpu is not None:
        cpu.update({name: float(np.median(values)) for name, values in cpu_times.items()})
    return {name: float(np.median(values)) for name, values in times.items()}


CHILD = """
import json, sys, time, warnings
warnings.simplefilter("ignore")
import anndata
from pelorkit import analyka

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

backed = anndata.read_h5ad(sys.argv[1], backed="r")
before = status("VmRSS")
t0 = time.perf_counter()
analyka.get_gene_expression(backed)
seconds = time.perf_counter() - t0
print(json.dumps({"before": before, "seconds": seconds, "hwm": status("VmHWM")}))
"""

# Runs CHILD from a small process and adds its RUSAGE_CHILDREN peak: a child
# starts with the peak RSS of the process that spawned it, so the spawning
# process must stay small.
LAUNCHER = """
import json, resource, subprocess, sys
out = subprocess.run([sys.executable, "-c", sys.argv[1], sys.argv[2]],
                     capture_output=True, text=True, check=True)
report = json.loads(out.stdout.strip().splitlines()[-1])
report["children"] = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
print(json.dumps(report))
"""


def child_peak(path: str) -> dict:
    out = subprocess.run(
        [sys.executable, "-c", LAUNCHER, CHILD, path], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def lazy_adata(path: str, chunk_rows: int):
    import anndata
    import h5py
    from anndata.experimental import read_elem_lazy

    backed = anndata.read_h5ad(path, backed="r")
    handle = h5py.File(path, "r")
    X = read_elem_lazy(handle["X"], chunks=(chunk_rows, -1))
    return anndata.AnnData(X=X, obs=backed.obs.copy(), var=backed.var.copy()), handle


def aggregate_fractions(adata) -> pd.DataFrame | None:
    """scanpy's count_nonzero per sample over the group sizes; None where this
    scanpy does not aggregate Dask arrays."""
    import scanpy as sc

    try:
        agg = sc.get.aggregate(adata, by="sample", func="count_nonzero")
    except NotImplementedError:
        return None
    counts = agg.layers["count_nonzero"]
    counts = np.asarray(counts.compute() if hasattr(counts, "compute") else counts, dtype=float)
    sizes = adata.obs["sample"].value_counts().reindex(agg.obs_names).to_numpy(dtype=float)
    return pd.DataFrame(counts / sizes[:, None], index=list(agg.obs_names), columns=adata.var.index)


def bench_backed(table: Table, path: str, n_cells: int, nnz: int) -> pd.DataFrame:
    import anndata

    backed = anndata.read_h5ad(path, backed="r")
    result = analyka.get_gene_expression(backed)  # also warms the page cache
    block = stream_block_entries(nnz)
    case = f"backed CSR {n_cells:,} x {N_GENES:,}"
    cpu = {}
    t = alternating_medians(
        {"pelorkit": lambda: analyka.get_gene_expression(backed),
         "read": lambda: read_once(path, block)},
        repeats=3,
        cpu=cpu,
    )  # fmt: skip
    table.add(case, "pelorkit (backed)", t["pelorkit"], t["pelorkit"],
              f"nnz {nnz:,}, {nnz * 8 / 2**30:.2f} GiB of values and indices; "
              f"CPU {cpu['pelorkit']:.2f} s (reading and counting)")  # fmt: skip
    table.add(case, "h5py read of data + indices", t["read"], t["pelorkit"],
              f"blocks of {block:,} entries; pelorkit / read = {t['pelorkit'] / t['read']:.2f}; "
              f"CPU {cpu['read']:.2f} s")  # fmt: skip

    mem = child_peak(path)
    table.add(case, "pelorkit peak RSS (child process)", mem["seconds"], None,
              f"peak {mem['children'] / 2**20:.0f} MiB (RUSAGE_CHILDREN; VmHWM "
              f"{mem['hwm'] / 2**20:.0f} MiB), {(mem['hwm'] - mem['before']) / 2**20:.0f} MiB "
              f"above the RSS before the call")  # fmt: skip

    quarter = n_cells // 4
    views = {f"{k}x cells": backed[: k * quarter] for k in (1, 2, 4)}
    t = alternating_medians(
        {k: (lambda v=v: analyka.get_gene_expression(v)) for k, v in views.items()}, 3
    )
    for name, seconds in t.items():
        table.add("backed scaling", f"pelorkit, {name}", seconds, t["1x cells"],
                  f"{seconds / t['1x cells']:.2f}x the time of 1x")  # fmt: skip
    backed.file.close()
    return result


def bench_dask(table: Table, path: str, n_cells: int, chunk_rows: int, reference: pd.DataFrame):
    import anndata
    import dask

    adata, handle = lazy_adata(path, chunk_rows)
    case = f"Dask CSR chunks of {chunk_rows:,} rows"
    with dask.config.set(scheduler="threads"):
        pd.testing.assert_frame_equal(analyka.get_gene_expression(adata), reference)
        t_pk = median_time(lambda: analyka.get_gene_expression(adata), repeats=3)
        table.add(case, "pelorkit, threads", t_pk, t_pk)
        agg = aggregate_fractions(adata)
        if agg is None:
            table.add(
                case, "scanpy aggregate, threads", 0.0, None, "scanpy takes no Dask arrays here"
            )
        else:
            pd.testing.assert_frame_equal(agg, reference, check_names=False)
            t_sc = median_time(lambda: aggregate_fractions(adata), repeats=1)
            table.add(case, "scanpy aggregate count_nonzero, threads", t_sc, t_pk)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        memory = anndata.read_h5ad(path)
    t_mem = median_time(lambda: analyka.get_gene_expression(memory), repeats=3)
    table.add(case, "pelorkit in memory (same matrix)", t_mem, t_pk,
              f"Dask threads / in memory = {t_pk / t_mem:.1f}")  # fmt: skip
    memory = None  # frees the matrix before the cluster starts

    import distributed

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)  # fmt: skip
        client = distributed.Client(cluster)
    try:
        pd.testing.assert_frame_equal(analyka.get_gene_expression(adata), reference)
        t_dist = median_time(lambda: analyka.get_gene_expression(adata), repeats=3)
        table.add(case, "pelorkit, 2-worker LocalCluster", t_dist, t_dist)
        if agg is not None:
            t_sc = median_time(lambda: aggregate_fractions(adata), repeats=1)
            table.add(case, "scanpy aggregate, 2-worker LocalCluster", t_sc, t_dist)
    finally:
        client.close()
        cluster.close()
        handle.close()


def read_columns(path: str, cols) -> None:
    """The stored values and indices of the columns `cols` of a CSC file."""
    import h5py

    with h5py.File(path, "r") as f:
        data, indices, indptr = f["X/data"], f["X/indices"], f["X/indptr"][:]
        for c in cols:
            data[indptr[c] : indptr[c + 1]]
            indices[indptr[c] : indptr[c + 1]]


def bench_items(table: Table, n_cells: int, n_genes: int, folder: str) -> None:
    """Listed genes: their cost against all genes and against reading their
    columns, in memory (X[:, cols]) and in a backed CSC file (h5py)."""
    import anndata

    from bench.bench_composition import expression_data

    adata = expression_data(n_cells, n_genes, N_SAMPLES, DENSITY)
    rng = np.random.default_rng(3)
    for layout in ("CSR", "CSC"):
        if layout == "CSC":
            adata.X = adata.X.tocsc()
        X = adata.X
        case = f"in memory {layout} {n_cells:,} x {n_genes:,}"
        everything = analyka.get_gene_expression(adata)
        t_all = median_time(lambda: analyka.get_gene_expression(adata), repeats=5)
        table.add(case, "pelorkit, all genes", t_all, t_all)
        for k in (5, 100):
            cols = np.sort(rng.choice(n_genes, k, replace=False))
            items = [f"gene{j}" for j in rng.permutation(cols)]
            pd.testing.assert_frame_equal(
                analyka.get_gene_expression(adata, items), everything[items]
            )
            t_k = median_time(lambda i=items: analyka.get_gene_expression(adata, i), repeats=5)
            t_read = median_time(lambda x=X, c=cols: x[:, c], repeats=5)
            t_view = median_time(lambda i=items: adata[:, i], repeats=5)
            table.add(case, f"pelorkit, {k} genes", t_k, t_all, f"{t_k / t_all:.2f}x all genes")
            table.add(case, f"X[:, cols], {k} genes", t_read, t_k,
                      f"pelorkit / reading the columns = {t_k / t_read:.2f}")  # fmt: skip
            table.add(case, f"adata[:, items], {k} genes", t_view, t_k, "the subset alone")

    path = os.path.join(folder, "csc_items.h5ad")
    adata.write_h5ad(path)
    backed = anndata.read_h5ad(path, backed="r")
    case = f"backed CSC {n_cells:,} x {n_genes:,}"
    cols = np.sort(rng.choice(n_genes, 100, replace=False))
    items = [f"gene{j}" for j in rng.permutation(cols)]
    pd.testing.assert_frame_equal(
        analyka.get_gene_expression(backed, items), analyka.get_gene_expression(adata, items)
    )
    t = alternating_medians(
        {"pelorkit": lambda: analyka.get_gene_expression(backed, items),
         "read": lambda: read_columns(path, cols)},
        repeats=5,
    )  # fmt: skip
    table.add(case, "pelorkit, 100 genes", t["pelorkit"], t["pelorkit"])
    table.add(case, "h5py read of their columns", t["read"], t["pelorkit"],
              f"pelorkit / reading the columns = {t['pelorkit'] / t['read']:.2f}")  # fmt: skip
    backed.file.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="fraction of the 400,000 cells")
    parser.add_argument("--dir", help="keep (and reuse) the generated file in this directory")
    parser.add_argument("--skip-dask", action="store_true")
    parser.add_argument("--skip-items", action="store_true")
    args = parser.parse_args()
    n_cells = max(4_000, int(N_CELLS * args.scale))
    chunk_rows = max(1_000, int(DASK_CHUNK_ROWS * args.scale))
    folder = args.dir or tempfile.mkdtemp(prefix="pelorkit-bench-")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, f"csr_{n_cells}x{N_GENES}.h5ad")
    try:
        t0 = time.perf_counter()
        if not os.path.exists(path):
            write_csr_h5ad(path + ".part", n_cells, N_GENES)
            os.replace(path + ".part", path)
        import h5py

        with h5py.File(path, "r") as f:
            nnz = f["X/data"].shape[0]
        print(f"data: {path} ({os.path.getsize(path) / 2**30:.2f} GiB, "
              f"ready in {time.perf_counter() - t0:.0f} s)")  # fmt: skip
        load = os.getloadavg()
        table = Table("get_gene_expression beyond memory (ratio: contender time / pelorkit time)")
        reference = bench_backed(table, path, n_cells, nnz)
        if not args.skip_dask:
            bench_dask(table, path, n_cells, chunk_rows, reference)
        if not args.skip_items:
            bench_items(table, max(2_000, int(50_000 * args.scale)), N_GENES, folder)
        table.print()
        print(f"\nload average before / after: {load[0]:.1f} / {os.getloadavg()[0]:.1f} "
              f"on {os.cpu_count()} CPUs")  # fmt: skip
    finally:
        if not args.dir:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
