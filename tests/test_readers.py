"""pelorkit.readers: CellPhoneDB and LIANA results as the CCI result tables of
pelorkit.analyka, checked against the plain pandas transcriptions in
tests/reference/readers.py.

Fixtures (tests/support/workloads.py): the CellPhoneDB kidney result shipped
in examples/data/cpdb_kidney (ktplotspy's example data, MIT licence, see
examples/data/LICENSE-ktplotspy-data.txt) as it is, and small runs cut from it
(eight interacting pairs, among them the repeated CALCA_CALCR and a complex
partner, over three cell types; means perturbed per sample) that the tests
write into temporary folders as CellPhoneDB names its files: a v5 statistical
and DEG analysis, older means.txt/pvalues.txt, a cohort of folders and one run
over sample-prefixed labels. The LIANA tables are made up there.
"""

import os
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import pelorkit.analyka as pk
import pelorkit.readers as readers
from tests.reference.readers import CORE
from tests.reference.readers import read_cellphonedb as reference_cellphonedb
from tests.reference.readers import read_liana as reference_liana
from tests.support.workloads import (
    CELL_PAIRS,
    CELL_TYPES,
    KIDNEY,
    cellphonedb_run,
    kidney_result,
    liana_results,
    relevant_interactions,
    v5_names,
    write_run,
)

NEW, OLD = "01_15_2024_093000", "12_02_2023_101500"  # month first: NEW is the later run


def assert_tables_equal(ours, expected, check_dtype=True):
    assert list(ours) == list(expected)
    for key in expected:
        pd.testing.assert_frame_equal(ours[key], expected[key], check_dtype=check_dtype)
        assert ours[key].index.is_unique


def read(*args, function=readers.read_cellphonedb, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the note on repeated ids
        return function(*args, **kwargs)


# -- CellPhoneDB --------------------------------------------------------------------
def test_kidney_result_matches_the_transcription():
    means, pvals = kidney_result()
    with pytest.warns(UserWarning, match=r"'CALCA_CALCR' more than once") as record:
        ours = readers.read_cellphonedb(KIDNEY)
    assert len(record) == 1
    assert list(ours) == ["cpdb_kidney"]
    table = ours["cpdb_kidney"]
    assert len(table) == 837 * 144 and list(table.columns[:6]) == CORE
    assert_tables_equal(ours, reference_cellphonedb(means, pvals, sample="cpdb_kidney"))
    # A complex partner stays whole in gene_A; the id splits it as documented.
    row = table.loc["ACVR_1A2A receptor_BMP7--B cell|NK cell"]
    assert (row["gene_A"], row["gene_B"]) == ("ACVR_1A2A receptor", "BMP7")
    assert pk.cpdb_get_gp_n_cp(row.name)[2:4] == ("ACVR", "1A2A receptor")
    repeated = "CALCA_CALCR--B cell|NK cell--CPI-SS0F531DDEB"
    assert pk.cpdb_get_gp_n_cp(repeated) == (
        "CALCA_CALCR", "B cell|NK cell", "CALCA", "CALCR", "B cell", "NK cell")  # fmt: skip


@pytest.mark.parametrize(
    "form",
    ["old-style folder", "v5 folder", "paths", "frames", "pathlib paths", "v5 folder, two runs"],
)
def test_every_form_of_a_statistical_run_reads_alike(tmp_path, form):
    means, pvals = cellphonedb_run(1)
    folder, args, kwargs = tmp_path / "run", [], {}
    if form == "old-style folder":
        args = [write_run(folder, means=means, pvalues=pvals)]
    elif form == "v5 folder":
        args = [write_run(folder, **v5_names("statistical_analysis", NEW, means, pvals))]
    elif form == "v5 folder, two runs":
        older = v5_names("statistical_analysis", OLD, *cellphonedb_run(2))
        args = [
            str(write_run(folder, **v5_names("statistical_analysis", NEW, means, pvals), **older))
        ]
    elif form in ("paths", "pathlib paths"):
        write_run(folder, means=means, pvalues=pvals)
        to = pathlib.Path if form == "pathlib paths" else str
        kwargs = {"means": to(folder / "means.txt"), "pvalues": to(folder / "pvalues.txt")}
    else:
        kwargs = {"means": means, "pvalues": pvals, "sample": "run"}
    if form == "v5 folder, two runs":
        with (
            pytest.warns(UserWarning, match="CALCA_CALCR"),
            pytest.warns(UserWarning, match=f"holds 2 CellPhoneDB runs.*newest, .*_{NEW}.txt"),
        ):
            ours = readers.read_cellphonedb(*args, **kwargs)
    else:
        ours = read(*args, **kwargs)
    assert_tables_equal(ours, reference_cellphonedb(means, pvals, sample="run"))


def test_newest_run_by_time_written_without_time_stamps(tmp_path):
    folder = write_run(tmp_path / "out", **v5_names("statistical_analysis", "first", *cellphonedb_run(1)),
                   means=cellphonedb_run(2)[0], pvalues=cellphonedb_run(2)[1])  # fmt: skip
    os.utime(folder / "means.txt", (1e9, 1e9))
    os.utime(folder / "pvalues.txt", (1e9, 1e9))
    with (
        pytest.warns(UserWarning, match="CALCA_CALCR"),
        pytest.warns(UserWarning, match=r"newest, statistical_analysis_\*_first.txt"),
    ):
        ours = readers.read_cellphonedb(folder)
    assert_tables_equal(ours, reference_cellphonedb(*cellphonedb_run(1), sample="out"))


@pytest.mark.parametrize("source", ["folder", "frames"])
def test_deg_run_marks_relevant_interactions(tmp_path, source):
    means, pvals = cellphonedb_run(3)
    relevant = relevant_interactions(pvals)
    assert len(relevant) < len(means) and len(relevant.columns) < len(means.columns)
    if source == "folder":
        folder = write_run(tmp_path / "deg", **v5_names("degs_analysis", NEW, means, relevant))
        ours = read(folder)
    else:
        ours = read(means=means, relevant_interactions=relevant, sample="deg")
    assert_tables_equal(ours, reference_cellphonedb(means, relevant, deg=True, sample="deg"))
    table = ours["deg"]
    assert set(table["pval"]) == {0.0, 1.0}
    assert (table["pval"] == 0).sum() == (pvals[CELL_PAIRS] < 0.05).to_numpy().sum()


def cohort(tmp_path):
    folders = {}
    for i, name in enumerate(["ctrl_1", "ctrl_2", "inf_1", "inf_2"]):
        means, pvals = cellphonedb_run(i + 1)
        folders[name] = write_run(
            tmp_path / name, **v5_names("statistical_analysis", NEW, means, pvals)
        )
    return folders


def test_cohort_mapping_reads_one_table_per_sample(tmp_path):
    folders = cohort(tmp_path)
    with pytest.warns(UserWarning, match="CALCA_CALCR") as record:
        ours = readers.read_cellphonedb(folders)
    assert len(record) == 1  # one note for the whole cohort
    expected = {}
    for i, name in enumerate(folders):
        expected |= reference_cellphonedb(*cellphonedb_run(i + 1), sample=name)
    assert_tables_equal(ours, expected)


def test_sample_prefixed_labels_keep_the_pairs_within_each_sample(tmp_path):
    """One run over labels <sample>_<cell type> reads as the samples' own runs."""
    parts, cross = [], []
    for i, sample in enumerate(["s1", "s2"]):
        labels = [f"{sample}_{a}|{sample}_{b}" for a in CELL_TYPES for b in CELL_TYPES]
        means, pvals = cellphonedb_run(i + 1, labels)
        parts.append((means, pvals) if i == 0 else (means[labels], pvals[labels]))
        cross.append([f"s1_{c}|s2_{c}" for c in CELL_TYPES])
    means = pd.concat([parts[0][0], parts[1][0]], axis=1)
    pvals = pd.concat([parts[1 - 1][1], parts[1][1]], axis=1)
    for label in cross[0]:  # pairs across the samples, which are left out
        means[label], pvals[label] = 9.0, 0.0
    ours = read(write_run(tmp_path / "both", means=means, pvalues=pvals), sample_sep="_")
    assert list(ours) == ["s1", "s2"]
    for i, sample in enumerate(ours):
        alone = reference_cellphonedb(*cellphonedb_run(i + 1), sample=sample)
        assert_tables_equal({sample: ours[sample]}, alone)
    assert_tables_equal(ours, reference_cellphonedb(means, pvals, sample_sep="_"))


def test_repeated_pairs_without_interaction_ids_are_numbered():
    means, pvals = cellphonedb_run()
    means, pvals = means.drop(columns="id_cp_interaction"), pvals.drop(columns="id_cp_interaction")
    with pytest.warns(UserWarning, match="CALCA_CALCR"):
        ours = readers.read_cellphonedb(means=means, pvalues=pvals)
    numbered = {"CALCA_CALCR--B cell|B cell--1", "CALCA_CALCR--B cell|B cell--2"}
    assert numbered <= set(ours["sample"].index)
    assert_tables_equal(ours, reference_cellphonedb(means, pvals))


def test_tables_feed_the_cci_functions(tmp_path, monkeypatch):
    monkeypatch.setattr(pk, "display", lambda *args, **kwargs: None)
    tables = read(cohort(tmp_path))
    means = pk.cci_get_means(tables, pval_cutoff=0.05)
    assert list(means.index) == list(tables) and means.columns.is_unique
    groups = {s: s.split("_")[0] for s in tables}
    assert isinstance(pk.test_group_diff(means, groups, pval_cutoff=1.0), pd.DataFrame)
    counts = pk.cci_get_ni_mat({s: t[t["pval"] <= 0.05] for s, t in tables.items()}, False)
    expected = tables["ctrl_1"].query("pval <= 0.05").groupby(["cell_A", "cell_B"]).size()
    for (a, b), n in expected.items():
        assert counts["ctrl_1"].loc[a, b] == n
    plot = pk.cci_get_df_to_plot(tables, pval_cutoff=0.05, mean_cutoff=0)
    assert all(t.index.is_unique and len(t) for t in plot.values())


def missing_second(folder):
    (folder / "means.txt").write_text("interacting_pair\tA|B\nX_Y\t1\n")


def error_cases():
    means, pvals = cellphonedb_run()
    fewer = pvals.drop(index=0)
    narrower = pvals.drop(columns=CELL_PAIRS[0])
    significant = means.assign(rank=0.5)
    wrong_sep = means.rename(columns={CELL_PAIRS[0]: "s1_B cell|s1_NK cell"})
    return [
        ("missing folder", lambda d: [d / "nothing"], {}, FileNotFoundError, "no such folder"),
        ("empty folder", lambda d: [d], {}, FileNotFoundError, "no CellPhoneDB result"),
        ("half a run", lambda d: [missing_second(d) or d], {}, FileNotFoundError,
         "second table is missing"),
        ("a file as folder", lambda d: [write_run(d, means=means) / "means.txt"], {},
         NotADirectoryError, "is a file, not a folder"),
        ("missing file", lambda d: [], {"means": means, "pvalues": "nope.txt"}, FileNotFoundError,
         "pvalues: no such file"),
        ("fewer rows", lambda d: [], {"means": means, "pvalues": fewer}, ValueError,
         "do not come from one CellPhoneDB run"),
        ("fewer columns", lambda d: [], {"means": means, "pvalues": narrower}, ValueError,
         "do not come from one CellPhoneDB run: means has the cell pair 'B cell|B cell'"),
        ("means as pvalues", lambda d: [], {"means": means, "pvalues": cellphonedb_run(5)[0]},
         ValueError, r"outside \[0, 1\]. Is it the means table"),
        ("p-values as relevance", lambda d: [], {"means": means, "relevant_interactions": pvals},
         ValueError, "Is it a statistical analysis' pvalues table"),
        ("significant_means", lambda d: [], {"means": significant, "pvalues": pvals}, ValueError,
         "significant_means"),
        ("no interacting_pair", lambda d: [], {"means": means.drop(columns="interacting_pair"),
         "pvalues": pvals}, ValueError, "no 'interacting_pair' column"),
        ("sep splits no label", lambda d: [], {"means": means, "pvalues": pvals,
         "sample_sep": "::"}, ValueError, "splits no cell type"),
        ("sep splits some labels", lambda d: [], {"means": wrong_sep, "pvalues": pvals.rename(
         columns={CELL_PAIRS[0]: "s1_B cell|s1_NK cell"}), "sample_sep": "_"}, ValueError,
         "does not split the cell type 'B cell'"),
        ("both second tables", lambda d: [], {"means": means, "pvalues": pvals,
         "relevant_interactions": pvals}, ValueError, "not both"),
        ("folder and tables", lambda d: [d], {"means": means}, ValueError, "not both"),
        ("mapping and sample", lambda d: [{"a": d}], {"sample": "x"}, ValueError, "leave sample"),
        ("nothing", lambda d: [], {}, TypeError, "needs a CellPhoneDB output folder"),
        ("means alone", lambda d: [], {"means": means}, TypeError, "means= needs pvalues="),
        ("frame as source", lambda d: [means], {}, TypeError, "source is a DataFrame"),
        ("number as table", lambda d: [], {"means": 42, "pvalues": pvals}, TypeError,
         "means must be a path"),
        ("number as sep", lambda d: [], {"means": means, "pvalues": pvals, "sample_sep": 1},
         TypeError, "sample_sep must be a str"),
    ]  # fmt: skip


@pytest.mark.parametrize(("args", "kwargs", "error", "message"),
                         [pytest.param(*case[1:], id=case[0]) for case in error_cases()])  # fmt: skip
def test_mistakes_are_named(tmp_path, args, kwargs, error, message):
    with pytest.raises(error, match=message):
        read(*args(tmp_path), **kwargs)


# -- LIANA ------------------------------------------------------------------------
def test_liana_results_match_the_transcription():
    df = liana_results()
    df.loc[df.index[1], list(df.columns[:5])] = [df["sample"].iloc[0], *df.iloc[0, 1:3], "A", "B_C"]
    df.loc[df.index[0], ["ligand_complex", "receptor_complex"]] = ["A_B", "C"]
    with pytest.warns(UserWarning, match=r"'A_B_C--.*' .*to more than one row of a sample"):
        ours = readers.read_liana(df, "sample")
    assert list(ours) == list(pd.unique(df["sample"]))  # first appearance; unused category left out
    assert_tables_equal(ours, reference_liana(df, "sample"))


def test_liana_column_names_can_be_chosen():
    names = {"sample": "donor", "source": "sender", "target": "receiver",
             "ligand_complex": "L", "receptor_complex": "R", "lr_means": "lr_probs",
             "cellphone_pvals": "cellchat_pvals"}  # fmt: skip
    df = liana_results(seed=1).rename(columns=names)
    df["sender"] = df["sender"].map({"T cell": 0, "B cell": 1, "NK": 2})  # numbered clusters
    keys = dict(score_key="lr_probs", pvalue_key="cellchat_pvals", source_key="sender",
                target_key="receiver", ligand_key="L", receptor_key="R")  # fmt: skip
    ours = read(df, "donor", function=readers.read_liana, **keys)
    assert_tables_equal(ours, reference_liana(df, "donor", **keys))
    assert set(ours["s1"]["cell_A"]) <= {"0", "1", "2"}


@pytest.mark.parametrize(
    ("change", "error", "message"),
    [
        (lambda df: df.to_dict(), TypeError, "df must be a pandas DataFrame"),
        (lambda df: df.drop(columns="lr_means"), ValueError, r"no column 'lr_means' \(score_key\)"),
        (lambda df: df.assign(sample=df["sample"].where(df.index != df.index[3])), ValueError,
         "1 rows of df have no value in the column 'sample'"),
        (lambda df: df.assign(source="T|NK"), ValueError, "a cell type must hold neither"),
        (lambda df: df.assign(cellphone_pvals="low"), ValueError, "'cellphone_pvals' must hold numbers"),
    ],
    ids=["not a frame", "missing column", "missing sample", "bar in a cell type", "text p-values"],
)  # fmt: skip
def test_liana_mistakes_are_named(change, error, message):
    with pytest.raises(error, match=message):
        readers.read_liana(change(liana_results()), "sample")


# -- both readers -------------------------------------------------------------------
def from_2d_array(frame, columns, dtype):
    """The frame with `columns` made from one 2-D array (each of them a strided
    view of it, as pandas keeps them) and the others added one by one."""
    # dtype and copy given: pandas 3 would infer its string dtype for text, and
    # copies a 2-D array column by column
    array = np.ascontiguousarray(frame[columns].to_numpy(dtype))
    out = pd.DataFrame(array, columns=columns, dtype=dtype, copy=False)
    for column in frame.columns.drop(columns):
        out[column] = frame[column].to_numpy()
    assert not out[columns[0]].to_numpy().flags.c_contiguous
    return out


def test_columns_that_are_strided_views_read_alike():
    means, pvals = cellphonedb_run(1)
    names = ["id_cp_interaction", "interacting_pair", "partner_a", "partner_b"]
    means, pvals = (from_2d_array(frame, names, object) for frame in (means, pvals))
    # pandas 3 holds the text of the result in its string dtype, where the
    # transcription keeps the object dtype of these columns
    assert_tables_equal(
        read(means=means, pvalues=pvals), reference_cellphonedb(means, pvals), check_dtype=False
    )
    df = from_2d_array(liana_results(), ["lr_means", "cellphone_pvals"], float)
    assert_tables_equal(
        read(df, "sample", function=readers.read_liana), reference_liana(df, "sample")
    )
