"""pelorkit.readers: CellPhoneDB and LIANA results as the CCI result tables of
pelorkit.analyka, checked against plain pandas transcriptions of the
conversion (kept in this file).

Fixtures: the CellPhoneDB kidney result shipped in examples/data/cpdb_kidney
(ktplotspy's example data, MIT licence, see examples/data/LICENSE-ktplotspy-data.txt)
as it is, and small runs cut from it (eight interacting pairs, among them the
repeated CALCA_CALCR and a complex partner, over three cell types; means
perturbed per sample) that the tests write into temporary folders as
CellPhoneDB names its files: a v5 statistical and DEG analysis, older
means.txt/pvalues.txt, a cohort of folders and one run over sample-prefixed
labels. The LIANA tables are made up here.
"""

import functools
import os
import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest

import pelorkit.analyka as pk
import pelorkit.readers as readers

KIDNEY = pathlib.Path(__file__).resolve().parents[1] / "examples" / "data" / "cpdb_kidney"
CELLS = ["B cell", "NK cell", "MNPa(mono)"]
LABELS = [f"{a}|{b}" for a in CELLS for b in CELLS]
CORE = ["pval", "mean", "cell_A", "cell_B", "gene_A", "gene_B"]
NEW, OLD = "01_15_2024_093000", "12_02_2023_101500"  # month first: NEW is the later run


# -- plain pandas transcriptions -------------------------------------------------
def reference_cellphonedb(means, second, deg=False, sample_sep=None, sample="sample"):
    """{sample: table} of one CellPhoneDB run, statement by statement."""
    pairs = [c for c in means.columns if isinstance(c, str) and "|" in c]
    key = "id_cp_interaction"
    if key not in means or key not in second:
        key = "interacting_pair"

    def keyed(frame):  # the k-th row of a key meets the k-th of the other table
        return pd.MultiIndex.from_arrays([frame[key], frame.groupby(key).cumcount()])

    other = second.set_axis(keyed(second))
    other = other[[c for c in other.columns if isinstance(c, str) and "|" in c]]
    other = other.reindex(index=keyed(means), columns=pairs).astype(float)
    pvals = (1.0 - other.fillna(0.0)) if deg else other

    def partner(side):
        names = []
        for p, g in zip(means.get(f"partner_{side}", [None] * len(means)),
                        means.get(f"gene_{side}", [None] * len(means)), strict=True):  # fmt: skip
            complex_ = isinstance(p, str) and p.startswith("complex:")
            names.append(p[len("complex:") :] if complex_ else g if isinstance(g, str) else "")
        return names

    gene_a, gene_b = [], []
    for pair, a, b in zip(means["interacting_pair"], partner("a"), partner("b"), strict=True):
        if a and pair.startswith(a + "_"):
            cut = len(a)
        elif b and pair.endswith("_" + b):
            cut = len(pair) - len(b) - 1
        else:
            cut = pair.index("_")
        gene_a.append(pair[:cut])
        gene_b.append(pair[cut + 1 :])

    endings = pd.Series("", index=means.index)
    for _, rows in means.groupby("interacting_pair", sort=False):
        if len(rows) < 2:
            continue
        ids = rows.get("id_cp_interaction")
        if ids is not None and ids.map(lambda x: isinstance(x, str) and x != "").all() and ids.is_unique:  # fmt: skip
            endings[rows.index] = ids
        else:
            endings[rows.index] = [str(i + 1) for i in range(len(rows))]

    groups = {}
    for j, label in enumerate(pairs):
        a, b = label.split("|")
        if sample_sep is None:
            groups.setdefault(sample, []).append((j, a, b))
            continue
        (sa, ca), (sb, cb) = a.split(sample_sep, 1), b.split(sample_sep, 1)
        if sa == sb:
            groups.setdefault(sa, []).append((j, ca, cb))

    carried = [c for c in means.columns
               if c not in pairs and c not in ("interacting_pair", "gene_a", "gene_b")]  # fmt: skip
    n = len(means)
    tables = {}
    for name, columns in groups.items():
        js = [j for j, _, _ in columns]
        k = len(js)
        mean = means[pairs].iloc[:, js].set_axis(range(k), axis=1).melt()["value"]
        pval = pvals.iloc[:, js].set_axis(range(k), axis=1).melt()["value"]
        cell_a = np.repeat([a for _, a, _ in columns], n).astype(object)
        cell_b = np.repeat([b for _, _, b in columns], n).astype(object)
        ending = np.tile(endings.to_numpy(object), k)
        ids = (np.tile(means["interacting_pair"].to_numpy(object), k) + "--" + cell_a + "|"
               + cell_b + np.where(ending == "", "", "--" + ending))  # fmt: skip
        table = pd.DataFrame(
            {"pval": pval.to_numpy(float), "mean": mean.to_numpy(float), "cell_A": cell_a,
             "cell_B": cell_b, "gene_A": np.tile(np.array(gene_a, object), k),
             "gene_B": np.tile(np.array(gene_b, object), k)},
            index=pd.Index(ids),
        )  # fmt: skip
        annotation = means[carried].iloc[np.tile(np.arange(n), k)]
        tables[name] = pd.concat([table, annotation.set_axis(table.index)], axis=1)
    return tables


def reference_liana(df, sample_key, score_key="lr_means", pvalue_key="cellphone_pvals",
                    source_key="source", target_key="target", ligand_key="ligand_complex",
                    receptor_key="receptor_complex"):  # fmt: skip
    keys = [sample_key, score_key, pvalue_key, source_key, target_key, ligand_key, receptor_key]
    extra = [c for c in df.columns if c not in keys and c not in CORE]
    tables = {}
    for sample in pd.unique(df[sample_key]):
        rows = df[df[sample_key] == sample]
        text = {k: rows[k].map(str) for k in (source_key, target_key, ligand_key, receptor_key)}
        ids = (text[ligand_key] + "_" + text[receptor_key] + "--" + text[source_key] + "|"
               + text[target_key])  # fmt: skip
        number = ids.groupby(ids).cumcount() + 1
        ids = ids.where(~ids.duplicated(keep=False), ids + "--" + number.map(str))
        table = pd.DataFrame(
            {"pval": rows[pvalue_key].to_numpy(float), "mean": rows[score_key].to_numpy(float),
             "cell_A": text[source_key].to_numpy(object), "cell_B": text[target_key].to_numpy(object),
             "gene_A": text[ligand_key].to_numpy(object),
             "gene_B": text[receptor_key].to_numpy(object)},
            index=pd.Index(ids.to_numpy(object)),
        )  # fmt: skip
        for column in extra:
            table[column] = rows[column].set_axis(table.index)
        tables[sample] = table
    return tables


def assert_tables_equal(ours, expected):
    assert list(ours) == list(expected)
    for key in expected:
        pd.testing.assert_frame_equal(ours[key], expected[key])
        assert ours[key].index.is_unique


# -- fixture runs -------------------------------------------------------------------
@functools.cache
def kidney():
    return (pd.read_csv(KIDNEY / "means.txt", sep="\t"),
            pd.read_csv(KIDNEY / "pvalues.txt", sep="\t"))  # fmt: skip


def small_run(seed=0, labels=LABELS):
    """(means, pvalues): eight interacting pairs of the kidney result over three
    cell types, means scaled per seed."""
    means, pvals = kidney()
    annotation = list(means.columns[:11])
    significant = np.flatnonzero((pvals[LABELS] < 0.05).any(axis=1))[:5]
    rows = [*significant, 235, 512, 513]  # a complex partner; CALCA_CALCR twice
    m = means.loc[rows, annotation + LABELS].reset_index(drop=True)
    p = pvals.loc[rows, annotation + LABELS].reset_index(drop=True)
    if seed:
        noise = np.random.default_rng(seed).lognormal(0, 0.3, (len(m), len(LABELS)))
        m[LABELS] = (m[LABELS] * noise).round(3)
    rename = dict(zip(LABELS, labels, strict=True))
    return m.rename(columns=rename), p.rename(columns=rename)


def relevance(pvals):
    """A DEG run's relevant_interactions: 1 where significant, without the
    rows and columns that hold no 1 (as CellPhoneDB writes it)."""
    pairs = [c for c in pvals.columns if "|" in c]
    flags = (pvals[pairs] < 0.05).astype(int)
    rows = flags.any(axis=1)
    columns = list(flags.columns[flags.any(axis=0)])
    return pd.concat([pvals.loc[rows, list(pvals.columns[:11])], flags.loc[rows, columns]], axis=1)


def write(folder, **tables):
    folder.mkdir(parents=True, exist_ok=True)
    for name, frame in tables.items():
        frame.to_csv(folder / f"{name}.txt", sep="\t", index=False)
    return folder


def v5(analysis, suffix, means, second):
    table = "relevant_interactions" if analysis == "degs_analysis" else "pvalues"
    return {f"{analysis}_means_{suffix}": means, f"{analysis}_{table}_{suffix}": second}


def read(*args, function=readers.read_cellphonedb, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # the note on repeated ids
        return function(*args, **kwargs)


# -- CellPhoneDB --------------------------------------------------------------------
def test_kidney_result_matches_the_transcription():
    means, pvals = kidney()
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
    means, pvals = small_run(1)
    folder, args, kwargs = tmp_path / "run", [], {}
    if form == "old-style folder":
        args = [write(folder, means=means, pvalues=pvals)]
    elif form == "v5 folder":
        args = [write(folder, **v5("statistical_analysis", NEW, means, pvals))]
    elif form == "v5 folder, two runs":
        older = v5("statistical_analysis", OLD, *small_run(2))
        args = [str(write(folder, **v5("statistical_analysis", NEW, means, pvals), **older))]
    elif form in ("paths", "pathlib paths"):
        write(folder, means=means, pvalues=pvals)
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
    folder = write(tmp_path / "out", **v5("statistical_analysis", "first", *small_run(1)),
                   means=small_run(2)[0], pvalues=small_run(2)[1])  # fmt: skip
    os.utime(folder / "means.txt", (1e9, 1e9))
    os.utime(folder / "pvalues.txt", (1e9, 1e9))
    with (
        pytest.warns(UserWarning, match="CALCA_CALCR"),
        pytest.warns(UserWarning, match=r"newest, statistical_analysis_\*_first.txt"),
    ):
        ours = readers.read_cellphonedb(folder)
    assert_tables_equal(ours, reference_cellphonedb(*small_run(1), sample="out"))


@pytest.mark.parametrize("source", ["folder", "frames"])
def test_deg_run_marks_relevant_interactions(tmp_path, source):
    means, pvals = small_run(3)
    relevant = relevance(pvals)
    assert len(relevant) < len(means) and len(relevant.columns) < len(means.columns)
    if source == "folder":
        folder = write(tmp_path / "deg", **v5("degs_analysis", NEW, means, relevant))
        ours = read(folder)
    else:
        ours = read(means=means, relevant_interactions=relevant, sample="deg")
    assert_tables_equal(ours, reference_cellphonedb(means, relevant, deg=True, sample="deg"))
    table = ours["deg"]
    assert set(table["pval"]) == {0.0, 1.0}
    assert (table["pval"] == 0).sum() == (pvals[LABELS] < 0.05).to_numpy().sum()


def cohort(tmp_path):
    folders = {}
    for i, name in enumerate(["ctrl_1", "ctrl_2", "inf_1", "inf_2"]):
        means, pvals = small_run(i + 1)
        folders[name] = write(tmp_path / name, **v5("statistical_analysis", NEW, means, pvals))
    return folders


def test_cohort_mapping_reads_one_table_per_sample(tmp_path):
    folders = cohort(tmp_path)
    with pytest.warns(UserWarning, match="CALCA_CALCR") as record:
        ours = readers.read_cellphonedb(folders)
    assert len(record) == 1  # one note for the whole cohort
    expected = {}
    for i, name in enumerate(folders):
        expected |= reference_cellphonedb(*small_run(i + 1), sample=name)
    assert_tables_equal(ours, expected)


def test_sample_prefixed_labels_keep_the_pairs_within_each_sample(tmp_path):
    """One run over labels <sample>_<cell type> reads as the samples' own runs."""
    parts, cross = [], []
    for i, sample in enumerate(["s1", "s2"]):
        labels = [f"{sample}_{a}|{sample}_{b}" for a in CELLS for b in CELLS]
        means, pvals = small_run(i + 1, labels)
        parts.append((means, pvals) if i == 0 else (means[labels], pvals[labels]))
        cross.append([f"s1_{c}|s2_{c}" for c in CELLS])
    means = pd.concat([parts[0][0], parts[1][0]], axis=1)
    pvals = pd.concat([parts[1 - 1][1], parts[1][1]], axis=1)
    for label in cross[0]:  # pairs across the samples, which are left out
        means[label], pvals[label] = 9.0, 0.0
    ours = read(write(tmp_path / "both", means=means, pvalues=pvals), sample_sep="_")
    assert list(ours) == ["s1", "s2"]
    for i, sample in enumerate(ours):
        alone = reference_cellphonedb(*small_run(i + 1), sample=sample)
        assert_tables_equal({sample: ours[sample]}, alone)
    assert_tables_equal(ours, reference_cellphonedb(means, pvals, sample_sep="_"))


def test_repeated_pairs_without_interaction_ids_are_numbered():
    means, pvals = small_run()
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
    means, pvals = small_run()
    fewer = pvals.drop(index=0)
    narrower = pvals.drop(columns=LABELS[0])
    significant = means.assign(rank=0.5)
    wrong_sep = means.rename(columns={LABELS[0]: "s1_B cell|s1_NK cell"})
    return [
        ("missing folder", lambda d: [d / "nothing"], {}, FileNotFoundError, "no such folder"),
        ("empty folder", lambda d: [d], {}, FileNotFoundError, "no CellPhoneDB result"),
        ("half a run", lambda d: [missing_second(d) or d], {}, FileNotFoundError,
         "second table is missing"),
        ("a file as folder", lambda d: [write(d, means=means) / "means.txt"], {},
         NotADirectoryError, "is a file, not a folder"),
        ("missing file", lambda d: [], {"means": means, "pvalues": "nope.txt"}, FileNotFoundError,
         "pvalues: no such file"),
        ("fewer rows", lambda d: [], {"means": means, "pvalues": fewer}, ValueError,
         "do not come from one CellPhoneDB run"),
        ("fewer columns", lambda d: [], {"means": means, "pvalues": narrower}, ValueError,
         "do not come from one CellPhoneDB run: means has the cell pair 'B cell|B cell'"),
        ("means as pvalues", lambda d: [], {"means": means, "pvalues": small_run(5)[0]},
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
         columns={LABELS[0]: "s1_B cell|s1_NK cell"}), "sample_sep": "_"}, ValueError,
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
def liana_results(n=300, seed=0):
    """LIANA's by-sample output of its CellPhoneDB method: a categorical sample
    column, complexes joined by '_', further score columns."""
    rng = np.random.default_rng(seed)
    complexes = ["CD74", "MIF", "ITGA4_ITGB1", "VCAM1", "A_B", "C", "B_C", "A"]
    frame = pd.DataFrame({
        "sample": pd.Categorical(rng.choice(["s2", "s1", "s3"], n), categories=["s1", "s2", "s3", "s4"]),
        "source": rng.choice(["T cell", "B cell", "NK"], n),
        "target": rng.choice(["T cell", "Mono"], n),
        "ligand_complex": rng.choice(complexes, n),
        "receptor_complex": rng.choice(complexes, n),
        "lr_means": rng.random(n).round(3),
        "cellphone_pvals": rng.choice([0.0, 0.01, 0.5, 1.0], n),
        "ligand": rng.choice(["CD74", "MIF"], n),
        "ligand_means": rng.random(n),
    })  # fmt: skip
    return frame.drop_duplicates(list(frame.columns[:5]))


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
             "ligand_complex": "L", "receptor_complex": "R", "lr_means": "magnitude_rank",
             "cellphone_pvals": "specificity_rank"}  # fmt: skip
    df = liana_results(seed=1).rename(columns=names)
    df["sender"] = df["sender"].map({"T cell": 0, "B cell": 1, "NK": 2})  # numbered clusters
    keys = dict(score_key="magnitude_rank", pvalue_key="specificity_rank", source_key="sender",
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
