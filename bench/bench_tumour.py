"""Sample diversity index on a large cell table: pelorkit against the
straightforward pandas transcription in tests/reference/tumour.py (one full
mask per cluster).

    PYTHONPATH=build/dev/stage python -m bench.bench_tumour [--quick]
"""

import argparse
import types

import numpy as np
import pandas as pd

import pelorkit.analyka as analyka
from bench.common import Table, median_time
from tests.reference import tumour as baseline_tumour


def make_obs(n_cells, n_clusters, n_samples, layout, seed=0):
    """Cell table with cluster, sample, ploidy call and reference indicator."""
    rng = np.random.default_rng(seed)
    cluster = rng.integers(0, n_clusters, n_cells)
    sample = rng.integers(0, n_samples, n_cells)
    ploidy = rng.choice(["Aneuploid", "Diploid"], n_cells, p=[0.4, 0.6])
    ref = rng.random(n_cells) < 0.1
    if layout == "categorical":  # what an h5ad file gives back
        return pd.DataFrame(
            {
                "sample": pd.Categorical.from_codes(sample, [f"S{i}" for i in range(n_samples)]),
                "cnv_cluster": pd.Categorical.from_codes(
                    cluster, [f"c{i}" for i in range(n_clusters)]
                ),
                "ploidy_dec": pd.Categorical(ploidy),
                "cnv_ref_ind": ref,
            }
        )
    if layout == "text":
        return pd.DataFrame(
            {
                "sample": np.array([f"S{i}" for i in range(n_samples)], dtype=object)[sample],
                "cnv_cluster": np.array([f"c{i}" for i in range(n_clusters)], dtype=object)[
                    cluster
                ],
                "ploidy_dec": ploidy.astype(object),
                "cnv_ref_ind": ref,
            }
        )
    # integer cluster labels and a 0/1 float indicator, as a CNV clustering gives them
    return pd.DataFrame(
        {
            "sample": np.array([f"S{i}" for i in range(n_samples)], dtype=object)[sample],
            "cnv_cluster": cluster,
            "ploidy_dec": ploidy.astype(object),
            "cnv_ref_ind": ref.astype(float),
        }
    )


def holder(obs):
    """Just enough of an AnnData: the functions only touch .obs."""
    return types.SimpleNamespace(obs=obs.copy())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="100,000 cells instead of 1,000,000")
    args = parser.parse_args()
    n_cells = 100_000 if args.quick else 1_000_000
    n_clusters, n_samples = 50, 100
    repeats = 3 if args.quick else 2

    table = Table(
        f"compute_sample_div_index: {n_cells:,} cells, {n_clusters} clusters, {n_samples} samples"
    )
    for layout in ("categorical", "text", "integer labels"):
        obs = make_obs(n_cells, n_clusters, n_samples, layout)
        ours, theirs = holder(obs), holder(obs)
        got = analyka.compute_sample_div_index(ours)
        expected = baseline_tumour.compute_sample_div_index(theirs)
        pd.testing.assert_frame_equal(got, expected)
        pd.testing.assert_frame_equal(ours.obs, theirs.obs)

        t_ours = median_time(lambda o=ours: analyka.compute_sample_div_index(o), repeats)
        t_base = median_time(
            lambda o=theirs: baseline_tumour.compute_sample_div_index(o), max(1, repeats - 1)
        )
        table.add(layout, "pelorkit", t_ours, t_ours)
        table.add(layout, "pandas transcription", t_base, t_ours, "results equal")
    table.print()


if __name__ == "__main__":
    main()
