"""Benchmark of the cell-cell interaction tables.

Seeded synthetic CCI result tables: per sample, rows drawn from gene pairs x
cell-type pairs (ids "GA_GB--CA|CB"), half of each sample's ids shared by all
samples, p-values with the usual spikes at 0 and 1 and log-normal means. As in
tables read with pandas.read_csv, the repeated gene and cell-type names of one
sample share their str objects, and every id is a str object of its own.

pelorkit is compared with the straightforward pandas transcriptions in
tests/reference/cci.py and grouptest.py (results checked equal, as sets where
the order is undefined)
and, for the count matrices, with groupby(["cell_A", "cell_B"]).size() per
sample. The count-matrix baseline costs tens of microseconds per row, so its
ratio is measured at a tenth of the rows.

The mean table is also timed on kidney-sized data: 13 samples of about 64,000
rows (836,000 in all) resampled from the CellPhoneDB kidney result in
examples/data (12 cell types, 836 distinct interacting pairs, 144 cell pairs),
with perturbed means and p-values, every id, cell-type and gene name a str
object of its own per row and sample (as splitting the ids of each sample
gives); without lists, with two cell types, with 40 genes, and with both.

    PYTHONPATH=build/dev/stage python -m bench.bench_cci [--quick] [--only kidney]
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np
import pandas as pd

import pelorkit.analyka as pk
from bench.common import Table, interleaved_medians, median_time
from tests.reference import cci as baseline
from tests.reference import grouptest

CELL_TYPES = [
    "B cell", "CD4+ T cell", "CD8+ T cell", "NK cell", "Monocyte", "Macrophage",
    "Dendritic cell", "Fibroblast", "Endothelial cell", "Epithelial cell",
]  # fmt: skip


def shared_objects(names: np.ndarray) -> np.ndarray:
    """An object array with one str object per distinct text."""
    objects: dict[str, str] = {}
    return np.array([objects.setdefault(str(x), str(x)) for x in names], dtype=object)


def make_tables(n_samples=20, n_rows=200_000, n_gene_pairs=3000, n_cell_pairs=100, seed=0):
    rng = np.random.default_rng(seed)
    genes = np.array([f"GENE{i:05d}" for i in range(4 * n_gene_pairs)])
    gene_a = rng.choice(genes, n_gene_pairs)
    gene_b = rng.choice(genes, n_gene_pairs)
    side = int(np.ceil(np.sqrt(n_cell_pairs)))
    cells = CELL_TYPES[:side] + [f"Cell type {i}" for i in range(len(CELL_TYPES), side)]
    pairs = [(a, b) for a in cells for b in cells][:n_cell_pairs]
    cell_a = np.array([a for a, _ in pairs])
    cell_b = np.array([b for _, b in pairs])

    gp = np.repeat(np.arange(n_gene_pairs), n_cell_pairs)
    cp = np.tile(np.arange(n_cell_pairs), n_gene_pairs)
    gene_pair = np.char.add(np.char.add(gene_a[gp], "_"), gene_b[gp])
    cell_pair = np.char.add(np.char.add(cell_a[cp], "|"), cell_b[cp])
    ids = np.char.add(np.char.add(gene_pair, "--"), cell_pair)

    order = rng.permutation(len(ids))
    n_shared = n_rows // 2
    shared, rest = order[:n_shared], order[n_shared:]
    tables = {}
    for s in range(n_samples):
        own = rng.choice(rest, n_rows - n_shared, replace=False)
        rows = rng.permutation(np.concatenate([shared, own]))
        u = rng.random(len(rows))
        pval = np.where(u < 0.55, 1.0, np.where(u < 0.62, 0.0, rng.random(len(rows)) ** 2))
        mean = np.round(rng.lognormal(-0.7, 1.1, len(rows)), 3)
        tables[f"S{s + 1:02d}"] = pd.DataFrame(
            {
                "pval": pval,
                "mean": mean,
                "gene_A": shared_objects(gene_a)[gp[rows]],
                "gene_B": shared_objects(gene_b)[gp[rows]],
                "cell_A": shared_objects(cell_a)[cp[rows]],
                "cell_B": shared_objects(cell_b)[cp[rows]],
            },
            index=pd.Index(ids[rows].astype(object)),
        )
    return tables


KIDNEY = Path(__file__).resolve().parents[1] / "examples" / "data" / "cpdb_kidney"


def kidney_tables(n_samples=13, total_rows=836_000, seed=0):
    """Samples resampled from the kidney CellPhoneDB result: a random part of
    its interaction ids each, means scaled by log-normal noise, a fifth of the
    p-values redrawn from all of them."""
    means = pd.read_csv(KIDNEY / "means.txt", sep="\t").drop_duplicates("interacting_pair")
    pvals = pd.read_csv(KIDNEY / "pvalues.txt", sep="\t").set_index("interacting_pair")
    pairs = [c for c in means.columns if "|" in c]
    mean = means[pairs].to_numpy(dtype=float).ravel()
    pval = pvals.loc[means["interacting_pair"], pairs].to_numpy(dtype=float).ravel()
    ids = [f"{gp}--{cp}" for gp in means["interacting_pair"] for cp in pairs]
    parts = np.array([baseline.cpdb_get_gp_n_cp(i)[2:] for i in ids])  # genes A, B; cells A, B
    ids = np.array(ids)
    rng = np.random.default_rng(seed)
    keep = total_rows / n_samples / len(ids)
    tables = {}
    for s in range(n_samples):
        rows = np.flatnonzero(rng.random(len(ids)) < keep)
        p = np.where(rng.random(len(rows)) < 0.8, pval[rows], rng.choice(pval, len(rows)))
        m = np.round(mean[rows] * rng.lognormal(0, 0.3, len(rows)), 3)
        # astype(object) makes a str object per row
        columns = {"pval": p, "mean": m}
        for j, name in enumerate(["gene_A", "gene_B", "cell_A", "cell_B"]):
            columns[name] = parts[rows, j].astype(object)
        tables[f"S{s + 1:02d}"] = pd.DataFrame(columns, index=pd.Index(ids[rows].astype(object)))
    return tables


def kidney_means(table: Table, repeats: int) -> None:
    tables = kidney_tables()
    n_rows = sum(len(t) for t in tables.values())
    genes = sorted(set(tables["S01"]["gene_A"]) | set(tables["S01"]["gene_B"]))
    genes = list(np.random.default_rng(3).choice(genes, 40, replace=False))
    cells = ["CD4T cell", "MNPa(mono)"]
    for label, lists in [
        ("no lists", ([], [])),
        ("2 cell types", (cells, [])),
        ("40 genes", ([], genes)),
        ("2 cell types, 40 genes", (cells, genes)),
    ]:
        ours = pk.cci_get_means(tables, None, *lists)
        same_columns_as_sets(ours, baseline.cci_get_means(tables, None, *lists))
        t_ours, t_base = interleaved_medians(
            [
                lambda a=lists: pk.cci_get_means(tables, None, *a),
                lambda a=lists: baseline.cci_get_means(tables, None, *a),
            ],
            repeats,
        )
        case = f"kidney means, {label}"
        note = f"13 samples, {n_rows:,} rows; {ours.shape[1]:,} ids"
        table.add(case, "pelorkit", t_ours, t_ours, note)
        table.add(case, "pandas baseline", t_base, t_ours)
        print(f"  {case}: done", flush=True)


def same_columns_as_sets(ours: pd.DataFrame, theirs: pd.DataFrame) -> None:
    assert set(ours.columns) == set(theirs.columns)
    pd.testing.assert_frame_equal(ours, theirs[ours.columns])


def same_rows_as_sets(ours: pd.DataFrame, theirs: pd.DataFrame) -> None:
    assert set(ours.index) == set(theirs.index)
    pd.testing.assert_frame_equal(ours, theirs.loc[ours.index], check_dtype=False)


def check_dicts(ours: dict, theirs: dict, check) -> None:
    assert list(ours) == list(theirs)
    for key in ours:
        check(ours[key], theirs[key])


def check_counts(ours: pd.DataFrame, theirs: pd.DataFrame) -> None:
    pd.testing.assert_frame_equal(ours, theirs.astype("int64"))


def check_diff(ours: pd.DataFrame, theirs: pd.DataFrame) -> None:
    # Rows that tie on both sort keys have no defined order.
    same_rows_as_sets(ours, theirs)


def timed_once(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def quiet_display(*args, **kwargs):
    return None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="20 samples of 20,000 rows")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", choices=["kidney"], help="only the kidney-sized mean tables")
    args = parser.parse_args()
    if args.only == "kidney":
        table = Table("CCI mean table on kidney-sized data (ratios = time / pelorkit)")
        kidney_means(table, args.repeats)
        table.print()
        return
    n_samples, n_rows = (20, 20_000) if args.quick else (20, 200_000)
    repeats = args.repeats

    print(f"building {n_samples} samples x {n_rows:,} rows ...", flush=True)
    tables = make_tables(n_samples, n_rows)
    tenth = make_tables(n_samples, n_rows // 10, seed=1)
    size = f"{n_samples}x{n_rows // 1000}k"
    table = Table(f"Cell-cell interaction tables ({size} rows; ratios = time / pelorkit)")
    saved_display = pk.display
    pk.display = quiet_display

    def compare(case, ours, theirs, check, note=""):
        t_ours = median_time(ours, repeats)
        t_theirs, expected = timed_once(theirs)
        check(ours(), expected)
        table.add(case, "pelorkit", t_ours, t_ours)
        table.add(case, "pandas baseline", t_theirs, t_ours, note)
        print(f"  {case}: done", flush=True)
        return t_ours, expected

    try:
        t_means, _ = compare(
            "cci_get_means",
            lambda: pk.cci_get_means(tables),
            lambda: baseline.cci_get_means(tables),
            same_columns_as_sets,
        )
        compare(
            "cci_remove_common",
            lambda: pk.cci_remove_common(tables),
            lambda: baseline.cci_remove_common(tables),
            lambda o, t: check_dicts(o, t, same_rows_as_sets),
        )
        compare(
            "cci_get_df_to_plot",
            lambda: pk.cci_get_df_to_plot(tables),
            lambda: baseline.cci_get_df_to_plot(tables, display=quiet_display),
            lambda o, t: check_dicts(o, t, same_rows_as_sets),
        )

        t_groupby = median_time(
            lambda: [t.groupby(["cell_A", "cell_B"]).size() for t in tables.values()], repeats
        )
        for remove_common in (True, False):
            count_matrices(tables, tenth, remove_common, t_groupby, table, repeats)
            print(f"  cci_get_ni_mat(remove_common={remove_common}): done", flush=True)

        end_to_end(tables, table, repeats)
        kidney_means(table, repeats)
    finally:
        pk.display = saved_display
    table.print()


def count_matrices(tables, tenth, remove_common, t_groupby, table, repeats) -> None:
    case = f"cci_get_ni_mat(remove_common={remove_common})"
    t_full = median_time(lambda: pk.cci_get_ni_mat(tables, remove_common), repeats)
    t_small = median_time(lambda: pk.cci_get_ni_mat(tenth, remove_common), repeats)
    t_base, expected = timed_once(lambda: baseline.cci_get_ni_mat(tenth, remove_common))
    check_dicts(pk.cci_get_ni_mat(tenth, remove_common), expected, check_counts)
    n_small = sum(len(t) for t in tenth.values())
    table.add(case, "pelorkit", t_full, t_full)
    table.add(case, "groupby(cell_A, cell_B).size()", t_groupby, t_full, "per sample")
    table.add(case, "pelorkit, 1/10 rows", t_small, t_small, f"{n_small:,} rows")
    table.add(case, "pandas baseline, 1/10 rows", t_base, t_small, f"{n_small:,} rows")


def end_to_end(tables, table, repeats) -> None:
    """Means table, then the differential test between two conditions."""
    case = "means -> cci_get_diff_interactions"
    conditions = {key: ("control" if i % 2 else "treated") for i, key in enumerate(tables)}
    try:
        pk.cci_get_diff_interactions(pk.cci_get_means(dict(list(tables.items())[:2])), conditions)
    except NotImplementedError:
        table.add(
            case, "pelorkit", float("nan"), None, "skipped: cci_get_diff_interactions not built"
        )
        return
    t_ours = median_time(
        lambda: pk.cci_get_diff_interactions(pk.cci_get_means(tables), conditions), repeats
    )
    t_theirs, expected = timed_once(
        lambda: grouptest.cci_get_diff_interactions(baseline.cci_get_means(tables), conditions)
    )
    check_diff(pk.cci_get_diff_interactions(pk.cci_get_means(tables), conditions), expected)
    table.add(case, "pelorkit (total)", t_ours, t_ours)
    table.add(case, "pandas baseline (total)", t_theirs, t_ours)
    print(f"  {case}: done", flush=True)


if __name__ == "__main__":
    main()
