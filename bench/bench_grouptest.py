"""Benchmark of test_group_diff: 24 samples in 3 groups x 50,000 items, with
and without NaN, against the pandas/scipy baseline and, without NaN, against
scipy's vectorised t-test on bare arrays (no pandas, no selection).

    PYTHONPATH=build/dev/stage python -m bench.bench_grouptest [--quick]
"""

import argparse
import warnings

import numpy as np
import pandas as pd
from scipy import stats

import pelorkit.analyka as analyka
from bench.common import Table, median_time
from tests.reference.grouptest import cci_get_diff_interactions as baseline


def make_table(items, nan_rate, seed=0):
    rng = np.random.default_rng(seed)
    samples = [f"S{i:02d}" for i in range(24)]
    groups = np.repeat(["ctrl", "drugA", "drugB"], 8)
    shift = np.repeat([0.0, 0.3, 0.6], 8)[:, None] * rng.random(items)
    data = rng.gamma(2.0, 5.0, (24, items)) * (1 + shift)
    data[rng.random(data.shape) < nan_rate] = np.nan
    df = pd.DataFrame(data, index=samples, columns=[f"item{j}" for j in range(items)])
    return df, dict(zip(samples, groups, strict=True))


def scipy_on_arrays(df, group_map):
    labels = np.array([group_map[s] for s in df.index])
    x = df.to_numpy()
    pairs = [("drugA", "ctrl"), ("drugB", "ctrl"), ("drugB", "drugA")]
    return [
        stats.ttest_ind(x[labels == a], x[labels == b], equal_var=False).pvalue for a, b in pairs
    ]


def measure(table, case, df, group_map, ref_group, slow_baseline):
    """Adds pelorkit's and the baseline's times for one call; returns pelorkit's."""
    ours = analyka.test_group_diff(df, group_map, ref_group)
    pd.testing.assert_frame_equal(ours, baseline(df, group_map, ref_group), rtol=1e-12)
    t_ours = median_time(lambda: analyka.test_group_diff(df, group_map, ref_group), 7)
    # scipy's per-column loop takes seconds: one run is enough
    t_base = median_time(lambda: baseline(df, group_map, ref_group), 1 if slow_baseline else 5)
    table.add(case, "pelorkit", t_ours, t_ours)
    table.add(case, "baseline (pandas + scipy)", t_base, t_ours)
    return t_ours


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="5,000 items instead of 50,000")
    items = 5_000 if parser.parse_args().quick else 50_000
    warnings.simplefilter("ignore")
    table = Table(f"test_group_diff: 24 samples in 3 groups x {items:,} items")
    for nan_rate in (0.0, 0.1):
        df, group_map = make_table(items, nan_rate)
        label = "no NaN" if nan_rate == 0 else f"{nan_rate:.0%} NaN"
        t_all_pairs = measure(table, f"{label}, all pairs", df, group_map, None, nan_rate > 0)
        measure(table, f"{label}, vs ctrl", df, group_map, "ctrl", nan_rate > 0)
        if nan_rate == 0:
            t_peer = median_time(lambda: scipy_on_arrays(df, group_map), 5)  # noqa: B023
            table.add(f"{label}, all pairs", "scipy ttest_ind on ndarrays", t_peer, t_all_pairs,
                      "p-values only")  # fmt: skip
    table.print()


if __name__ == "__main__":
    main()
