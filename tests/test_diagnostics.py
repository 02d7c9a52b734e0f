"""Plausible input mistakes: a result that is certainly empty or meaningless
comes with a UserWarning naming the problem and the fix (the result itself is
unchanged); an opaque library error is raised as the same type with a message
saying what to fix, the library's text kept. Valid calls stay silent."""

import types
import warnings

import matplotlib
import numpy as np
import pandas as pd
import pytest

from tests.support import workloads
from tests.support.inputs import adata_of, cci_table, warns_if

matplotlib.use("Agg")


def obs_table():
    return pd.DataFrame(
        {"sample": ["s1", "s1", "s2", "s2"], "ct": ["T", "B", "T", "T"]}, index=list("abcd")
    )


# Four cells' expression of two genes.
X = np.array([[0, 1.0], [2, 0], [1, 1], [0, 0]])
GENES = ["G1", "G2"]


def sample_table(groups="AAABBB"):
    """Six samples x two items, and the samples' groups."""
    rng = np.random.default_rng(0)
    index = [f"s{i}" for i in range(6)]
    df = pd.DataFrame(rng.normal(size=(6, 2)), index=index, columns=["x", "y"])
    return df, dict(zip(index, groups, strict=True))


def deg(genes):
    return pd.DataFrame(
        {"score": np.arange(len(genes), 0, -1.0), "nz_pct_test": 0.9, "nz_pct_ref": 0.05},
        index=genes,
    )


def tumour_adata(decisions):
    obs = pd.DataFrame(
        {"sample": list("ABAB"), "cnv_cluster": ["c1", "c1", "c2", "c2"],
         "ploidy_dec": decisions, "cnv_ref_ind": False},
        index=list("wxyz"),
    )  # fmt: skip
    return types.SimpleNamespace(obs=obs)


TUMOUR = np.array(["Tumor", "Tumor", "Normal"])
IDS = ["a_b--T|B", "c_d--NK|B"]
REPEATED = cci_table(["X_Y--A|B", "X_Y--A|B", "P_Q--A|B"], pval=0.0, mean=[1.0, 2.0, 3.0])

# (function, arguments, the warning's text, a check of the unchanged result)
WARNINGS = {
    "population-table": (
        "get_population", lambda: (obs_table()[["sample"]], obs_table()[["ct"]]),
        r"(pids|cts) is a DataFrame of shape \(4, 1\), not one label per cell: pass one of its "
        r"columns, e\.g\. df\['(sample|ct)'\]",
        lambda r: r[0].shape == (1, 1),
    ),
    "population-column-name": (
        "get_population", lambda: ("sample", obs_table()["ct"]),
        r"pids is the str 'sample'.*adata\.obs\['sample'\]", lambda r: list(r[0].index) == list("aelmps"),
    ),
    "population-nan": (
        "get_population", lambda: (np.array([1.0, np.nan, 2.0]), ["a", "b", "a"]),
        r"pids holds NaN", lambda r: r[0].index.hasnans,
    ),
    "sample-map-nan-text": (
        "get_sample_to_group_dict", lambda: (["s1", np.nan], ["A", "B"]),
        r"samples holds NaN, which numpy turned into the text 'nan'", lambda r: "nan" in r,
    ),
    "expression-nan-group": (
        "get_gene_expression", lambda: (adata_of(X, [1.0, 1.0, np.nan, 2.0], GENES),),
        r"adata\.obs\['sample'\] holds NaN: those cells belong to no group",
        lambda r: r.index.hasnans and r.shape == (3, 2),
    ),
    "group-test-unknown-reference": (
        "test_group_diff", lambda: (*sample_table(), "control"),
        r"ref_group 'control' is not the group of any sample of the table \(groups: 'A', 'B'\)",
        lambda r: r.empty,
    ),
    "group-test-one-group": (
        "cci_get_diff_interactions", lambda: sample_table("AAAAAA"),
        r"every sample of the table belongs to one group, 'A'", lambda r: r.empty,
    ),
    "group-test-single-samples": (
        "test_group_diff", lambda: sample_table("AABBCD"),
        r"the groups 'C', 'D' have a single sample", lambda r: True,
    ),
    "group-test-nan-group": (
        "test_group_diff", lambda: sample_table([1, 1, 2, 2, 2, np.nan]),
        r"gives NaN as the group of the samples 's5'", lambda r: True,
    ),
    "means-nothing-selected": (
        "cci_get_means", lambda: ({"S1": cci_table(IDS)}, None, ["t cell"]),
        r"no interaction has pval <= 0\.05 with cell_A or cell_B in cells in any table.*names in cells",
        lambda r: r.shape == (1, 0),
    ),
    "remove-common-one-table": (
        "cci_remove_common", lambda: ({"S1": cci_table(IDS)},),
        r"with a single table every interaction is common", lambda r: r["S1"].empty,
    ),
    "counts-one-table": (
        "cci_get_ni_mat", lambda: ({"S1": cci_table(IDS)},),
        r"cci_get_ni_mat\(df_dct, remove_common=False\)", lambda r: r["S1"].shape == (0, 0),
    ),
    "counts-repeated-ids": (  # the three rows: X_Y--A|B named twice
        "cci_get_ni_mat", lambda: ({"S1": REPEATED, "S2": cci_table(IDS)},),
        r"^the table of 'S1' lists the id 'X_Y--A\|B', on more than one row, and each row is "
        r"counted.*pelorkit\.readers\.read_cellphonedb",
        lambda r: r["S1"].loc["A", "B"] == 3,
    ),
    "remove-common-copies": (
        "cci_remove_common", lambda: ({"S1": cci_table(IDS), "S2": cci_table(IDS)},),
        r"listed by all 2 tables", lambda r: r["S2"].empty,
    ),
    "plot-tuple-cells": (
        "cci_get_df_to_plot", lambda: ({"S1": cci_table(IDS)}, 0.01, 1, ("T",)),
        r"target_cells is a tuple, not a list, so no cell filter is applied", lambda r: len(r["S1"]) == 2,
    ),
    "plot-nothing-selected": (
        "cci_get_df_to_plot", lambda: ({"S1": cci_table(IDS, pval=0.02)},),
        r"no interaction has pval <= 0\.01 and mean >= 1 in any table", lambda r: r["S1"].empty,
    ),
    "markers-percent-thresholds": (
        "get_markers_from_deg", lambda: ({"T_vs_rest": deg(["CD3E"])}, "score", 30, 50, 10),
        r"nz_pct_test >= 50 .*fractions between 0 and 1", lambda r: r == {"T": []},
    ),
    "markers-all-shared": (
        "get_markers_from_deg", lambda: ({"T_vs_rest": deg(["CD3E"]), "NK_vs_rest": deg(["CD3E"])},),
        r"rem_common=True removed them all", lambda r: r == {"T": [], "NK": []},
    ),
    "markers-same-group": (
        "get_markers_from_deg", lambda: ({"T_CD4_vs_rest": deg(["CD4"]), "T_CD8_vs_rest": deg(["CD8A"])},),
        r"'T_CD4_vs_rest', 'T_CD8_vs_rest' name the same group, 'T'", lambda r: r == {"T": ["CD8A"]},
    ),
    "scores-unknown-labels": (
        "evaluate_performance", lambda: (np.char.lower(TUMOUR), np.char.lower(TUMOUR)),
        r"the labels 'Tumor', 'Normal' occur neither in y nor in y_pred.*y holds 'tumor', 'normal'",
        lambda r: np.isnan(r["F1"]),
    ),
    "scores-label-text": (
        "evaluate_performance", lambda: (TUMOUR, TUMOUR, "Tumor"),
        r"labels is the str 'Tumor'.*\['Tumor'\]", lambda r: "F1 (T)" in r,
    ),
    "scores-table": (
        "evaluate_performance", lambda: (pd.DataFrame({"call": TUMOUR}), pd.DataFrame({"call": TUMOUR})),
        r"y(_pred)? is a DataFrame of shape \(3, 1\)", lambda r: True,
    ),
    "diversity-tumour-name-case": (
        "compute_sample_div_index", lambda: (tumour_adata(["aneuploid", "diploid"] * 2),),
        r"no cell of adata\.obs\['ploidy_dec'\] is 'Aneuploid', but some are 'aneuploid'",
        lambda r: not r["Tumor"].any(),
    ),
    "diversity-boolean-decisions": (
        "compute_sample_div_index", lambda: (tumour_adata([True, False] * 2),),
        r"holds booleans, which never equal tumor_name 'Aneuploid'.*tumor_name=True",
        lambda r: (r["Tumor_pct"] == 0).all(),
    ),
}  # fmt: skip


# Older scipy releases, whose own t-test the group test calls, report the zero
# variance of single samples themselves.
@pytest.mark.filterwarnings("ignore:divide by zero encountered in divide:RuntimeWarning")
@pytest.mark.filterwarnings("ignore:invalid value encountered in multiply:RuntimeWarning")
@pytest.mark.parametrize("case", WARNINGS)
def test_mistake_warns_and_keeps_the_result(analyka, quiet, case):
    name, args, message, check = WARNINGS[case]
    with pytest.warns(UserWarning, match=message) as record:
        result = getattr(analyka, name)(*args())
    assert check(result)
    ours = [w for w in record if w.category is UserWarning]
    assert all(w.filename == __file__ for w in ours)  # the caller's line


def single_row_axes():
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(3, 1)
    plt.close(fig)
    return axes


# (function, arguments, exception type, its message)
ERRORS = {
    "sample-map-lengths": (
        "get_sample_to_group_dict", lambda: (["s1", "s2", "s1"], ["A", "B"]), IndexError,
        r"^samples has 3 values and conditions 2: pass one value of each per record.* "
        r"\(boolean index did not match",
    ),
    "sample-map-nan": (
        "get_sample_to_group_dict", lambda: (np.array([1.0, np.nan]), ["A", "B"]), IndexError,
        r"^samples holds NaN or None \(records without a sample\).* \(index 0 is out of bounds",
    ),
    "population-missing-type": (
        "get_population", lambda: (["s1", "s2"], [None, "T"]), TypeError,
        r"^cts holds NaN or None \(cells without a cell type\).* \('<' not supported",
    ),
    "expression-item-text": (
        "get_gene_expression", lambda: (adata_of(X, list("aabb"), GENES), "G1"), TypeError,
        r"^items_to_plot is the str 'G1': pass a list of names, e\.g\. \['G1'\] \(Index\(\.\.\.\)",
    ),
    "expression-nan-group": (
        "get_gene_expression", lambda: (adata_of(X, ["a", None, "b", "b"], GENES),), TypeError,
        r"^adata\.obs\['sample'\] holds NaN for 1 cells.*notna\(\)\] \('<' not supported",
    ),
    "group-test-none-group": (
        "test_group_diff", lambda: sample_table([*"AABB", None, None]),
        TypeError, r"^sample_group_map gives no group \(NaN or None\) for the samples 's4', 's5'",
    ),
    "id-without-cell-separator": (
        "cpdb_get_gp_n_cp", lambda: ("A_B--X",), IndexError,
        r"^interaction id 'A_B--X' does not split: its cell part has no '\|'.*list index out of range\)$",
    ),
    "plot-id-without-gene-separator": (
        "cci_get_df_to_plot", lambda: ({"S1": cci_table(IDS).rename(index={IDS[0]: "ab--T|B"})},), IndexError,
        r"^interaction id 'ab--T\|B' does not split: its gene part has no '_'",
    ),
    "means-repeated-ids": (
        "cci_get_means", lambda: ({"S1": REPEATED, "S2": cci_table(IDS)},), ValueError,
        r"^the table of 'S1' lists the id 'X_Y--A\|B', on more than one row; ids must be unique "
        r"in each table: pelorkit\.readers\.read_cellphonedb .*df\[~df\.index\.duplicated\(\)\] "
        r"\(cannot reindex on an axis with duplicate labels\)$",
    ),
    "plot-repeated-ids": (
        "cci_get_df_to_plot", lambda: ({"S1": REPEATED, "S2": REPEATED.iloc[::-1]},), ValueError,
        r"^the tables of 'S1', 'S2' list the id 'X_Y--A\|B', on more than one row; ids must be",
    ),
    "scores-one-column-frame": (  # not its column: a frame does not line up with a Series
        "evaluate_performance", lambda: (pd.Series(TUMOUR), pd.DataFrame({"call": TUMOUR})),
        ValueError, r"^y_pred is a DataFrame of shape \(3, 1\), not one label per cell: pass one of "
        r"its columns, e\.g\. df\['call'\] \(Operands are not aligned",
    ),
    "scores-lengths": (
        "evaluate_performance", lambda: (TUMOUR, TUMOUR[:2]), ValueError,
        r"^y has 3 labels and y_pred 2: pass one prediction per cell \(operands could not",
    ),
    "diversity-date-labels": (  # str(Timestamp) has a time, the column's text does not
        "compute_sample_div_index",
        lambda: (types.SimpleNamespace(obs=tumour_adata(["Aneuploid"] * 4).obs.assign(
            cnv_cluster=pd.Timestamp("2020-01-01"))),),
        ValueError, r"matches no cell by its text.*\.astype\(str\) \(cannot convert float NaN to integer\)$",
    ),
    "axes-one-dimensional": (
        "get_axes", lambda: (single_row_axes(), 3, 1, 2), TypeError,
        r"^axes holds one row of panels, but nr=3.*squeeze=False.* \('Axes' object is not subscriptable\)$",
    ),
}  # fmt: skip


@pytest.mark.parametrize("case", ERRORS)
def test_mistake_raises_a_clear_error_of_the_same_type(analyka, quiet, case):
    name, args, error, message = ERRORS[case]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        with pytest.raises(error, match=message) as info:
            getattr(analyka, name)(*args())
    assert type(info.value) is error


def missing_samples(*absent, transposed=False):
    df, group_map = sample_table()
    for sample in absent:
        del group_map[sample]
    return "test_group_diff", (df.T if transposed else df, group_map)


def expression(**kwargs):
    return "get_gene_expression", (adata_of(X, list("aabb"), GENES),), kwargs


# (function and arguments, the KeyError's key, the note added to it)
MISSING_KEYS = {
    "transposed-table": (
        lambda: missing_samples(transposed=True), "x",
        "The rows of the table must be samples, and its columns are samples of "
        "sample_group_map: pass the table transposed (df.T).",
    ),
    "one-sample": (
        lambda: missing_samples("s5"), "s5",
        "Every row of the table must be a sample of sample_group_map; 's5' is not.",
    ),
    "several-samples": (
        lambda: missing_samples("s1", "s4", "s5"), "s1",
        "Every row of the table must be a sample of sample_group_map; 3 of its 6 rows are not: "
        "'s1', 's4', 's5'.",
    ),
    "group-column": (
        lambda: expression(group_col="samples"), "samples",
        "group_col 'samples' is not a column of adata.obs, whose 1 columns are 'sample': pass one "
        "of them, e.g. group_col='sample'",
    ),
    "group-column-unlike": (
        lambda: expression(group_col="donor"), "donor",
        "group_col 'donor' is not a column of adata.obs, whose 1 columns are 'sample': pass one "
        "of them",
    ),
}  # fmt: skip


@pytest.mark.parametrize("case", MISSING_KEYS)
def test_missing_key_keeps_the_key_error_and_adds_a_note(analyka, case):
    call, key, note = MISSING_KEYS[case]
    name, args, *kwargs = call()
    with pytest.raises(KeyError) as info:
        getattr(analyka, name)(*args, **(kwargs[0] if kwargs else {}))
    assert info.value.args == (key,) and info.value.__notes__ == [note]


def test_missing_items_are_named_in_a_note(analyka):
    with pytest.raises(KeyError) as info:
        analyka.get_gene_expression(adata_of(X, list("aabb"), GENES), ["G1", "G9", "CD3"])
    assert info.value.__notes__ == [
        "2 of the names in items_to_plot are not items of adata.var_names: 'G9', 'CD3'; check "
        "their spelling, or leave them out"
    ]


def test_numpy_reports_only_what_no_warning_of_ours_explains(analyka):
    # a label in neither input: our warning alone; a label never predicted:
    # numpy's 0/0 report, as the computation gives it
    y = pd.Series(["Tumor", "Normal", "Tumor"])
    with pytest.warns(UserWarning, match="'Ghost' occur neither") as record:
        perf = analyka.evaluate_performance(y, y, ["Tumor", "Ghost"])
    assert [w.category for w in record] == [UserWarning] and np.isnan(perf["F1"])
    with (
        pytest.warns(UserWarning, match="'Ghost' occur neither"),
        pytest.warns(RuntimeWarning, match="invalid value encountered in scalar divide"),
    ):
        analyka.evaluate_performance(y, pd.Series(["Normal"] * 3), ["Tumor", "Ghost"])
    with np.errstate(invalid="raise"), pytest.raises(FloatingPointError):
        analyka.evaluate_performance(y, pd.Series(["Normal"] * 3))
    # frames summed by np.sum: our warnings, not pandas' axis=None deprecation
    frame = pd.DataFrame({"call": y})
    with pytest.warns(UserWarning, match="y(_pred)? is a DataFrame") as record:
        analyka.evaluate_performance(frame, frame)
    assert [w.category for w in record] == [UserWarning, UserWarning]


def test_valid_calls_do_not_warn(analyka, quiet):
    for name, calls in workloads.valid_calls().items():
        for args, kwargs in calls:
            with warnings.catch_warnings():
                warnings.simplefilter("error", UserWarning)
                getattr(analyka, name)(*args, **kwargs)


def test_warnings_go_through_the_module_namespace(analyka, monkeypatch):
    seen = []
    monkeypatch.setattr(analyka, "warnings", types.SimpleNamespace(warn=lambda *a: seen.append(a)))
    df, group_map = sample_table()
    assert analyka.test_group_diff(df, group_map, "control").empty
    assert len(seen) == 1 and seen[0][1] is UserWarning and "ref_group 'control'" in seen[0][0]


def flagged_slice():
    """A unique slice of an index pandas already found not unique (pandas
    hands the slice the parent's flag)."""
    index = pd.Index(["x_y--A|B", "x_y--A|B", "p_q--A|B"], dtype=object)
    assert not index.is_unique
    return index[1:]


@pytest.mark.parametrize(
    "ids, remove_common, warns",
    [
        (["x_y--A|B", "p_q--A|B", "x_y--A|B"], False, True),
        (pd.Index(["x_y--A|B", "x_y--A|B", "p_q--A|B"], dtype="string"), False, True),
        ([7, 8, 7], False, True),  # ids of another type
        ([7, 8, 9], False, False),
        (flagged_slice(), False, False),
        # the repeated id is common to both tables and removed before counting
        (["x_y--A|B", "p_q--A|B", "x_y--A|B"], True, False),
    ],
)
def test_counts_warn_of_repeated_ids_of_any_kind(analyka, ids, remove_common, warns):
    s1 = cci_table(["x_y--A|B"] * len(ids)).set_axis(pd.Index(ids))
    s2 = cci_table(["x_y--A|B", "r_s--B|A"]).set_axis(pd.Index([ids[0], "r_s--B|A"]))
    with warns_if(warns, r"^the table of 'S1' lists the id .*, on more than one row"):
        counts = analyka.cci_get_ni_mat({"S1": s1, "S2": s2}, remove_common)
    assert counts["S1"].to_numpy().sum() == (1 if remove_common else len(ids))
