"""Benchmark of read_cellphonedb on a cohort-sized CellPhoneDB run.

One run over sample-prefixed labels "<sample>_<cell type>": 13 samples' worth
of the kidney result in examples/data (837 interacting pairs, 12 cell types,
144 cell pairs per sample), each sample with its means scaled by log-normal
noise and a fifth of its p-values redrawn, plus cell pairs across neighbouring
samples (as a run over all labels lists them), written as CellPhoneDB writes
means.txt and pvalues.txt (tests/support/workloads.py builds it). Read with
sample_sep="_", that is 13 tables of 120,528 rows (1.57 million in all).

read_cellphonedb is compared with the plain pandas transcription in
tests/reference/readers.py (the baseline, results checked equal) and with the
CCI guide's former pandas converter (melt, ids from interacting_pair,
cpdb_get_gp_n_cp per row), run per sample over that sample's columns, as a
user would: from the files (both read them with pandas.read_csv) and from
frames already read. The converter's results are checked to agree where it is
right (it cuts complex partners and repeats the ids of CALCA_CALCR). Then the
whole road is timed: files -> read_cellphonedb -> cci_get_means ->
test_group_diff (7 against 6 samples).

    PYTHONPATH=build/dev/stage python -m bench.bench_readers [--quick]
"""

from __future__ import annotations

import argparse
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

import pelorkit.analyka as pk
import pelorkit.readers as readers
from bench.common import Table, interleaved_medians
from tests.reference import readers as baseline
from tests.support.workloads import cellphonedb_cohort, write_run


# -- the CCI guide's former converter, run per sample -------------------------------
def cellphonedb_to_long(means, pvals):
    """One row per interaction id, with the columns pelorkit reads."""
    id_cols = ["interacting_pair"]
    pair_cols = [c for c in means.columns if "|" in c]  # the cell-type pairs

    def long(wide, name):
        return wide[id_cols + pair_cols].melt(
            id_vars=id_cols, var_name="cell_pair", value_name=name
        )

    # Both files list the same rows and columns, in the same order.
    df = long(means, "mean").assign(pval=long(pvals, "pval")["pval"].to_numpy())
    df.index = (df["interacting_pair"] + "--" + df["cell_pair"]).to_numpy()
    parts = [pk.cpdb_get_gp_n_cp(i) for i in df.index]
    df["cell_A"] = [x[4] for x in parts]
    df["cell_B"] = [x[5] for x in parts]
    df["gene_A"] = [x[2] for x in parts]
    df["gene_B"] = [x[3] for x in parts]
    return df[["pval", "mean", "cell_A", "cell_B", "gene_A", "gene_B"]]


def guide_per_sample(means, pvals, sep="_"):
    """The converter on each sample's own columns, their labels unprefixed."""
    columns: dict[str, dict[str, str]] = {}
    for label in (c for c in means.columns if "|" in c):
        (sa, ca), (sb, cb) = (side.split(sep, 1) for side in label.split("|"))
        if sa == sb:
            columns.setdefault(sa, {})[label] = f"{ca}|{cb}"
    return {
        s: cellphonedb_to_long(
            means[["interacting_pair", *cols]].rename(columns=cols),
            pvals[["interacting_pair", *cols]].rename(columns=cols),
        )
        for s, cols in columns.items()
    }


def guide_from_files(folder):
    means = pd.read_csv(folder / "means.txt", sep="\t")
    pvals = pd.read_csv(folder / "pvalues.txt", sep="\t")
    return guide_per_sample(means, pvals)


def check_transcription(ours, theirs):
    assert list(ours) == list(theirs)
    for s in ours:
        pd.testing.assert_frame_equal(ours[s], theirs[s])


def check_guide(ours, theirs):
    assert list(ours) == list(theirs)
    for s in ours:
        a, b = ours[s], theirs[s]
        keep_a = ~a.index.str.contains("--.*--", regex=True)
        keep_b = ~b.index.duplicated(keep=False)
        a, b = a[keep_a], b[keep_b]
        assert a.index.equals(pd.Index(b.index)), s
        for column in ("pval", "mean", "cell_A", "cell_B"):
            assert np.array_equal(a[column].to_numpy(), b[column].to_numpy()), (s, column)
        simple = a.index.str.count("_").to_numpy() == 1  # no complex partner
        for column in ("gene_A", "gene_B"):
            assert (a[column].to_numpy()[simple] == b[column].to_numpy()[simple]).all()


def main() -> None:
    # The readers' note on CALCA_CALCR and scipy's on samples with equal values.
    warnings.simplefilter("ignore")
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="4 samples instead of 13")
    args = parser.parse_args()
    n_samples = 4 if args.quick else 13
    repeats = 3 if args.quick else 5
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        means, pvals = cellphonedb_cohort(n_samples)
        write_run(folder, means=means, pvalues=pvals)
        means = pd.read_csv(folder / "means.txt", sep="\t")
        pvals = pd.read_csv(folder / "pvalues.txt", sep="\t")
        ours = readers.read_cellphonedb(folder, sample_sep="_")
        check_transcription(ours, baseline.read_cellphonedb(means, pvals, sample_sep="_"))
        check_guide(ours, guide_per_sample(means, pvals))
        n_rows = sum(len(t) for t in ours.values())
        case = f"{n_samples} samples, {n_rows:,} rows"

        table = Table("read_cellphonedb: one run over sample-prefixed labels")
        t_ours, t_guide = interleaved_medians(
            [
                lambda: readers.read_cellphonedb(folder, sample_sep="_"),
                lambda: guide_from_files(folder),
            ],
            repeats,
        )
        table.add(f"{case}, from the files", "pelorkit.readers", t_ours)
        table.add(f"{case}, from the files", "guide converter per sample", t_guide, t_ours)
        t_ours, t_base, t_guide = interleaved_medians(
            [
                lambda: readers.read_cellphonedb(means=means, pvalues=pvals, sample_sep="_"),
                lambda: baseline.read_cellphonedb(means, pvals, sample_sep="_"),
                lambda: guide_per_sample(means, pvals),
            ],
            repeats,
        )
        table.add(f"{case}, from read frames", "pelorkit.readers", t_ours)
        table.add(f"{case}, from read frames", "pandas transcription", t_base, t_ours)
        table.add(f"{case}, from read frames", "guide converter per sample", t_guide, t_ours)
        table.print()

        groups = {s: "case" if i % 2 else "ctrl" for i, s in enumerate(ours)}
        road = Table("The whole road: files -> cci_get_means -> test_group_diff")
        stages = {}
        for _ in range(repeats):
            t0 = time.perf_counter()
            tables = readers.read_cellphonedb(folder, sample_sep="_")
            t1 = time.perf_counter()
            mean_table = pk.cci_get_means(tables, pval_cutoff=0.05)
            t2 = time.perf_counter()
            diff = pk.test_group_diff(mean_table, groups, ref_group="ctrl")
            t3 = time.perf_counter()
            for name, seconds in [("read_cellphonedb", t1 - t0), ("cci_get_means", t2 - t1),
                                  ("test_group_diff", t3 - t2), ("whole road", t3 - t0)]:  # fmt: skip
                stages.setdefault(name, []).append(seconds)
        notes = {
            "cci_get_means": f"{mean_table.shape[1]:,} interactions",
            "test_group_diff": f"{len(diff):,} differ",
        }
        for name, times in stages.items():
            road.add(case, name, float(np.median(times)), note=notes.get(name, ""))
        road.print()


if __name__ == "__main__":
    main()
