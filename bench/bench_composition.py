"""Benchmarks of the population and expression tables.

    PYTHONPATH=build/dev/stage python -m bench.bench_composition [--quick] [--only expression]

get_population: 1,000,000 cells, 100 samples, 30 cell types, as a categorical
Series (with unused categories), an object-string array and a numpy 'U'
array; against the plain transcription (tests/reference/composition.py) and
pd.crosstab.

get_gene_expression: 50,000 cells x 20,000 genes, CSR float32 at 5% density,
50 samples; against the plain transcription, scanpy.get.aggregate(...,
func="count_nonzero"), one pass np.count_nonzero(X.data > 0), and one
streaming pass over both arrays the scan reads (np.count_nonzero(X.data > 0)
plus X.indices.sum(), timed together and in alternation with pelorkit). The
same matrix with a third of its values negated (scaled data) is timed the
same way, and the matrix stacked to 2x and 4x the cells shows the scaling.
The plain transcription builds the dense table of X (4 GB at full size), so it
runs on the first tenth of the cells, and pelorkit is timed on the same tenth
for its ratio. Peak memory is the rise of the peak RSS of a child process
during one call.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import scipy.sparse as sp

from bench.common import Table, interleaved_medians, median_time
from pelorkit import analyka
from tests.reference import composition as baseline


def population_inputs(n_cells: int, n_samples: int, n_types: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    samples = np.array([f"sample_{i:03d}" for i in range(n_samples)])
    types = np.array([f"celltype_{i:02d}" for i in range(n_types)])
    pids = samples[rng.integers(0, n_samples, n_cells)]
    cts = types[rng.integers(0, n_types, n_cells)]

    def categorical(values, pool):
        unused = [f"unused_{i}" for i in range(3)]
        return pd.Series(pd.Categorical(values, categories=list(pool[::-1]) + unused))

    return {
        "categorical": (categorical(pids, samples), categorical(cts, types)),
        "object strings": (pids.astype(object), cts.astype(object)),
        "numpy strings": (pids, cts),
    }


def same_population(got, ref) -> None:
    pd.testing.assert_frame_equal(got[0], ref[0], check_dtype=False)
    pd.testing.assert_frame_equal(got[1], ref[1])


def bench_population_form(table: Table, case: str, full: tuple, small: tuple, note: str) -> None:
    pids, cts = full
    t_pk = median_time(lambda: analyka.get_population(pids, cts), repeats=7)
    table.add(case, "pelorkit", t_pk, t_pk)
    t_ct = median_time(lambda: pd.crosstab(pids, cts), repeats=3)
    table.add(case, "pd.crosstab", t_ct, t_pk)

    s_pids, s_cts = small
    same_population(analyka.get_population(s_pids, s_cts), baseline.get_population(s_pids, s_cts))
    t_small = median_time(lambda: analyka.get_population(s_pids, s_cts), repeats=7)
    t_base = median_time(lambda: baseline.get_population(s_pids, s_cts), repeats=1)
    table.add(case, "baseline (plain transcription)", t_base, t_small, note)


def bench_population(table: Table, n_cells: int, baseline_cells: int) -> None:
    full = population_inputs(n_cells, 100, 30)
    small = population_inputs(baseline_cells, 100, 30)
    note = "" if baseline_cells == n_cells else f"both at {baseline_cells:,} cells"
    for form in full:
        case = f"population {form}, {n_cells:,} cells"
        bench_population_form(table, case, full[form], small[form], note)


def expression_data(n_cells: int, n_genes: int, n_samples: int, density: float, seed: int = 1):
    """CSR float32 with sorted, distinct column indices per row."""
    import anndata

    rng = np.random.default_rng(seed)
    draws = int(n_genes * density * 1.2) + 20
    cols = np.cumsum(rng.geometric(density, size=(n_cells, draws)), axis=1, dtype=np.int64) - 1
    keep = cols < n_genes
    indptr = np.zeros(n_cells + 1, dtype=np.int64)
    np.cumsum(keep.sum(axis=1), out=indptr[1:])
    indices = cols[keep].astype(np.int32)
    del cols, keep
    data = rng.random(indices.size, dtype=np.float32) * 5 + 0.01
    X = sp.csr_matrix((data, indices, indptr.astype(np.int32)), shape=(n_cells, n_genes))
    samples = np.array([f"sample_{i:02d}" for i in range(n_samples)])
    obs = pd.DataFrame(
        {"sample": pd.Categorical(samples[rng.integers(0, n_samples, n_cells)])},
        index=[f"cell{i}" for i in range(n_cells)],
    )
    var = pd.DataFrame(index=[f"gene{j}" for j in range(n_genes)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return anndata.AnnData(X=X, obs=obs, var=var)


def aggregate_fractions(adata) -> pd.DataFrame:
    import scanpy as sc

    agg = sc.get.aggregate(adata, by="sample", func="count_nonzero")
    counts = np.asarray(agg.layers["count_nonzero"], dtype=float)
    sizes = adata.obs["sample"].value_counts().reindex(agg.obs_names).to_numpy(dtype=float)
    return pd.DataFrame(counts / sizes[:, None], index=list(agg.obs_names), columns=adata.var.index)


CHILD = """
import json
from bench.bench_composition import expression_data
from pelorkit import analyka

def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

adata = expression_data({n_cells}, {n_genes}, 50, 0.05)
items = {items}
before = status('VmRSS')
with open('/proc/self/clear_refs', 'w') as f:
    f.write('5')
result = analyka.get_gene_expression(adata, items)
peak = status('VmHWM')
print(json.dumps({{'extra': peak - before, 'result': int(result.memory_usage(deep=False).sum())}}))
"""


def peak_memory(n_cells: int, n_genes: int, items) -> dict:
    script = CHILD.format(n_cells=n_cells, n_genes=n_genes, items=repr(items))
    # The child runs where this process runs (the repository root), so it
    # imports bench.* as this process does.
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def bench_expression(table: Table, n_cells: int, n_genes: int) -> None:
    adata = expression_data(n_cells, n_genes, 50, 0.05)
    X = adata.X
    case = f"expression CSR {n_cells:,} x {n_genes:,}"
    got = analyka.get_gene_expression(adata)
    pd.testing.assert_frame_equal(got, aggregate_fractions(adata), check_names=False)

    t_pk = median_time(lambda: analyka.get_gene_expression(adata), repeats=5)
    table.add(case, "pelorkit", t_pk, t_pk, f"nnz {X.nnz:,}")
    t_pass = median_time(lambda: np.count_nonzero(X.data > 0), repeats=5)
    table.add(case, "np.count_nonzero(X.data > 0)", t_pass, t_pk)
    t_agg = median_time(lambda: aggregate_fractions(adata), repeats=3)
    table.add(case, "scanpy aggregate count_nonzero", t_agg, t_pk)

    tenth = adata[: n_cells // 10].copy()
    ref = baseline.get_gene_expression(tenth)
    pd.testing.assert_frame_equal(analyka.get_gene_expression(tenth), ref)
    t_small = median_time(lambda: analyka.get_gene_expression(tenth), repeats=5)
    t_base = median_time(lambda: baseline.get_gene_expression(tenth), repeats=1)
    table.add(case, "baseline (plain transcription)", t_base, t_small,
              f"both at {tenth.n_obs:,} cells")  # fmt: skip

    mem = peak_memory(n_cells, n_genes, [])
    table.add(case, "pelorkit peak extra memory", 0.0, None,
              f"{mem['extra'] / 2**20:.1f} MiB = {mem['extra'] / mem['result']:.2f}x the result "
              f"({mem['result'] / 2**20:.1f} MiB); X is {(X.data.nbytes + X.indices.nbytes) / 2**20:.0f} MiB")  # fmt: skip

    bench_expression_scan(table, adata)

    items = [f"gene{j}" for j in np.random.default_rng(2).choice(n_genes, 100, replace=False)]
    case = "expression CSR, 100 listed genes"
    ref = baseline.get_gene_expression(tenth, items)
    pd.testing.assert_frame_equal(analyka.get_gene_expression(tenth, items), ref)
    t_items = median_time(lambda: analyka.get_gene_expression(adata, items), repeats=5)
    table.add(case, "pelorkit", t_items, t_items)
    table.add(case, "np.count_nonzero(X.data > 0)", t_pass, t_items)
    mem = peak_memory(n_cells, n_genes, items)
    table.add(case, "pelorkit peak extra memory", 0.0, None, f"{mem['extra'] / 2**20:.1f} MiB")


def one_pass(X) -> tuple[int, int]:
    """One streaming pass over the two arrays the scan reads."""
    return np.count_nonzero(X.data > 0), X.indices.sum()


def negated_third(adata):
    """The same cells with a third of the stored values made negative."""
    X = adata.X.copy()
    X.data[np.random.default_rng(7).random(X.nnz) < 1 / 3] *= -1
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return adata.__class__(X=X, obs=adata.obs, var=adata.var)


def stacked(adata, times: int):
    """The cells repeated `times` times, sample labels kept."""
    import anndata

    obs = pd.DataFrame(
        {"sample": pd.Categorical(np.tile(adata.obs["sample"].to_numpy(), times))},
        index=[f"cell{i}" for i in range(adata.n_obs * times)],
    )
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return anndata.AnnData(X=sp.vstack([adata.X] * times, format="csr"), obs=obs, var=adata.var)


def bench_expression_scan(table: Table, adata) -> None:
    """pelorkit against one streaming pass, for positive and mixed-sign values,
    and at 1x, 2x and 4x the cells."""
    n = adata.n_obs
    mixed = negated_third(adata)
    positive_only = negated_third(adata)
    positive_only.X.data = (positive_only.X.data > 0).astype(np.float32)
    positive_only.X.eliminate_zeros()
    pd.testing.assert_frame_equal(
        analyka.get_gene_expression(mixed), aggregate_fractions(positive_only), check_names=False
    )
    del positive_only
    t_pos, t_pass_pos, t_mixed, t_pass_mixed = interleaved_medians(
        [
            lambda: analyka.get_gene_expression(adata),
            lambda: one_pass(adata.X),
            lambda m=mixed: analyka.get_gene_expression(m),
            lambda m=mixed: one_pass(m.X),
        ],
        9,
    )
    case = "expression scan, all positive"
    table.add(case, "pelorkit", t_pos, t_pos)
    table.add(case, "data > 0 count + indices.sum()", t_pass_pos, t_pos, "one streaming pass")
    case = "expression scan, a third negative"
    table.add(case, "pelorkit", t_mixed, t_mixed)
    table.add(case, "data > 0 count + indices.sum()", t_pass_mixed, t_mixed, "one streaming pass")
    table.add(case, "pelorkit, all positive", t_pos, t_mixed, "same run")
    del mixed
    for times in (1, 2, 4):
        data = adata if times == 1 else stacked(adata, times)
        pd.testing.assert_frame_equal(
            analyka.get_gene_expression(data), analyka.get_gene_expression(adata)
        )
        case = f"expression scan, {times}x cells"
        t_pk, t_pass = interleaved_medians(
            [lambda d=data: analyka.get_gene_expression(d), lambda d=data: one_pass(d.X)], 5
        )
        note = f"{times * n:,} cells; {t_pk / times * 1e3:.1f} ms per {n:,}"
        table.add(case, "pelorkit", t_pk, t_pk, note)
        table.add(case, "data > 0 count + indices.sum()", t_pass, t_pk)
        del data


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a small size for a smoke run")
    parser.add_argument("--only", choices=["population", "expression"], help="one of the two")
    args = parser.parse_args()
    if args.quick:
        pop_cells, pop_base, n_cells, n_genes = 100_000, 100_000, 5_000, 2_000
    else:
        pop_cells, pop_base, n_cells, n_genes = 1_000_000, 1_000_000, 50_000, 20_000
    table = Table("get_population and get_gene_expression (ratio: contender time / pelorkit time)")
    if args.only != "expression":
        bench_population(table, pop_cells, pop_base)
    if args.only != "population":
        bench_expression(table, n_cells, n_genes)
    table.print()


if __name__ == "__main__":
    main()
