"""Marker lists from DEG tables and gene-set result filters."""

import copy

import numpy as np
import pandas as pd
import pytest

from tests.reference.markers import marker_lists


def deg(genes, test, ref, score, **extra):
    return pd.DataFrame(
        {"nz_pct_test": test, "nz_pct_ref": ref, "score": score, **extra},
        index=pd.Index(genes, dtype=object),
    )


@pytest.fixture
def three_groups():
    rng = np.random.default_rng(5)
    genes = [f"g{i}" for i in range(60)]
    return {
        f"{name}_vs_rest": deg(
            genes,
            rng.choice([0.3, 0.5, 0.9], 60),
            rng.choice([0.0, 0.1, 0.2], 60),
            rng.permutation(60).astype(float),
        )
        for name in ("T cell", "NK cell", "B cell")
    }


# --- get_markers_from_deg --------------------------------------------------


def test_missing_ranking_column_checked_before_any_work(analyka, capsys):
    df_dct = {
        # would raise KeyError if it were processed before the check
        "A_x": pd.DataFrame({"score": [1.0]}, index=["g"]),
        "B_x": deg(["g"], [1.0], [0.0], [1.0]).drop(columns="score"),
        "C_x": deg(["g"], [1.0], [0.0], [1.0]).drop(columns="score"),
    }
    assert analyka.get_markers_from_deg(df_dct, ref_col="score") is None
    assert capsys.readouterr().out == "ERROR: score not found in column name of DEG results.\n"


def test_error_goes_through_module_print(analyka, monkeypatch):
    lines = []
    monkeypatch.setattr(analyka, "print", lines.append, raising=False)
    assert analyka.get_markers_from_deg({"A": deg(["g"], [1], [0], [1])}, ref_col="logfc") is None
    assert lines == ["ERROR: logfc not found in column name of DEG results."]


def test_group_names_thresholds_and_order(analyka):
    df_dct = {
        "T cell_vs_rest": deg(
            ["edge", "low_test", "high_ref", "best", "mid"],
            [0.5, 0.49, 0.9, 0.8, 0.7],
            [0.1, 0.0, 0.11, 0.05, 0.0],
            [1.0, 9.0, 9.0, 5.0, 3.0],
        ),
        "B cell_vs_rest_2": deg(["x"], [0.1], [0.5], [1.0]),
        "Mono": deg(["m"], [0.9], [0.0], [1.0]),
    }
    before = copy.deepcopy(df_dct)
    result = analyka.get_markers_from_deg(df_dct, rem_common=False)
    assert result == {"T cell": ["best", "mid", "edge"], "B cell": [], "Mono": ["m"]}
    for key in df_dct:
        pd.testing.assert_frame_equal(df_dct[key], before[key])


def test_same_group_twice_keeps_first_position(analyka):
    df_dct = {
        "A_1": deg(["a1"], [1], [0], [1]),
        "B_1": deg(["b"], [1], [0], [1]),
        "A_2": deg(["a2"], [1], [0], [1]),
    }
    with pytest.warns(UserWarning, match="'A_1', 'A_2' name the same group, 'A'"):
        markers = analyka.get_markers_from_deg(df_dct, rem_common=False)
    assert list(markers.items()) == [("A", ["a2"]), ("B", ["b"])]


def test_best_n_markers_by_column_best_first(analyka, three_groups):
    for n in (30, 5, 100):
        got = analyka.get_markers_from_deg(three_groups, N_mkrs=n, rem_common=False)
        assert got == marker_lists(three_groups, n_mkrs=n)
    genes = [f"g{i}" for i in range(40)]
    forty = {"T_x": deg(genes, [1.0] * 40, [0.0] * 40, np.arange(40.0), logfc=-np.arange(40.0))}
    assert analyka.get_markers_from_deg(forty, rem_common=False)["T"] == genes[:-31:-1]
    assert analyka.get_markers_from_deg(forty, "logfc", 3, rem_common=0)["T"] == genes[:3]


def test_common_markers_removed_from_every_group(analyka, three_groups):
    lists = marker_lists(three_groups)
    shared = set()
    for i, a in enumerate(lists.values()):
        for j, b in enumerate(lists.values()):
            if i < j:
                shared |= set(a) & set(b)
    assert shared  # the fixture has genes shared by two groups
    got = analyka.get_markers_from_deg(three_groups)
    assert list(got) == list(lists)
    for group, genes in lists.items():
        # the survivors, still best first
        assert got[group] == [g for g in genes if g not in shared]


def test_common_removal_pair(analyka):
    df_dct = {
        "T cell_vs_rest": deg(["CD3E", "GZMB", "IL7R"], [0.9] * 3, [0.0] * 3, [3.0, 2.0, 1.0]),
        "NK cell_vs_rest": deg(["NKG7", "GZMB"], [0.9] * 2, [0.0] * 2, [5.0, 4.0]),
    }
    assert analyka.get_markers_from_deg(df_dct) == {
        "T cell": ["CD3E", "IL7R"],
        "NK cell": ["NKG7"],
    }


def test_unsupported_inputs_raise(analyka):
    with pytest.raises(AttributeError):
        analyka.get_markers_from_deg({1: deg(["g"], [1], [0], [1])})
    with pytest.raises(KeyError):
        analyka.get_markers_from_deg({"A": deg(["g"], [1], [0], [1]).drop(columns="nz_pct_ref")})
    assert analyka.get_markers_from_deg({}) == {}


# --- filter_gsa_result ------------------------------------------------------


def gsa(values):
    return pd.DataFrame(
        {"Term": [f"set{i}" for i in range(len(values))], "-log(p-val)": values},
        index=pd.Index([f"r{i}" for i in range(len(values))], dtype=object),
    )


def test_gsa_filter_inclusive_nan_and_empty(analyka):
    dct = {"T": gsa([3.0, 1.3, np.nan, 1.2999, 5.0]), "B": gsa([0.1, 0.2]), "NK": gsa([])}
    before = copy.deepcopy(dct)
    result = analyka.filter_gsa_result(dct, 1.3)
    assert list(result) == ["T", "B", "NK"]
    pd.testing.assert_frame_equal(result["T"], before["T"].iloc[[0, 1, 4]])
    for key in ("B", "NK"):
        assert result[key].empty and list(result[key].columns) == ["Term", "-log(p-val)"]
    # the input is left as it was, and the result does not share its rows
    result["T"].loc["r0", "-log(p-val)"] = -1.0
    for key in dct:
        pd.testing.assert_frame_equal(dct[key], before[key])


def test_gsa_filter_edges(analyka):
    assert analyka.filter_gsa_result({}, 2) == {}
    assert len(analyka.filter_gsa_result(neg_log_p_cutoff=2, dct={"a": gsa([2, 1])})["a"]) == 1
    with pytest.raises(KeyError):
        analyka.filter_gsa_result({"a": pd.DataFrame({"p": [1.0]})}, 1)
    with pytest.raises(AttributeError):
        analyka.filter_gsa_result(None, 1)
