"""Cell-cell interaction tables: means, common-interaction removal, count
matrices, plot tables and id parsing, checked against the straightforward
pandas transcriptions in tests/reference/cci.py (as sets where the order is a
set's)."""

import copy

import numpy as np
import pandas as pd
import pytest

from tests.reference import cci as reference
from tests.support.inputs import cci_table, warns_if

PART_COLUMNS = ["gene_pair", "cell_pair", "gene_A", "gene_B", "cell_A", "cell_B"]


def random_tables(seed, n_samples=4, n_rows=400, unicode=False):
    rng = np.random.default_rng(seed)
    genes = [f"G{i}" for i in range(40)] + (["Ä1", "β-2", "基因"] if unicode else [])
    cells = ["B cell", "T cell", "NK", "Mono"] + (["Zelle ü", "細胞"] if unicode else [])
    pool = sorted(
        {
            f"{rng.choice(genes)}_{rng.choice(genes)}--{rng.choice(cells)}|{rng.choice(cells)}"
            for _ in range(3 * n_rows)
        }
    )
    shared = list(rng.choice(pool, n_rows // 3, replace=False))
    shared_ids = set(shared)
    tables = {}
    for s in range(n_samples):
        own = [i for i in rng.choice(pool, n_rows, replace=False) if i not in shared_ids]
        ids = list(rng.permutation(shared + own[: n_rows - len(shared)]))
        tables[f"S{s}"] = cci_table(
            [str(i) for i in ids],
            pval=np.where(rng.random(len(ids)) < 0.4, rng.random(len(ids)) * 0.02, 1.0),
            mean=np.round(rng.lognormal(0, 1, len(ids)), 3),
        )
    return tables


def frozen(tables):
    return copy.deepcopy(tables)


def assert_unchanged(tables, before):
    assert list(tables) == list(before)
    for key in before:
        pd.testing.assert_frame_equal(tables[key], before[key])


# --- cpdb_get_gp_n_cp -------------------------------------------------------


@pytest.mark.parametrize(
    "idx",
    [
        "G1_G2--C1|C2",
        "G1_G2--B cell|T cell",
        "A_B_C--X|Y",
        "A_B--X|Y--Z",
        "_G2--|C",
        "a_x---b|c",
        "Ä_ö--é|ü",
        "基因_β--細胞 1|細胞 2",
        " A _ B -- X | Y ",
        "\ud800_x--a|b",
    ],
)
def test_id_parts_follow_str_split(analyka, idx):
    parts = analyka.cpdb_get_gp_n_cp(idx)
    assert parts == reference.cpdb_get_gp_n_cp(idx)
    assert type(parts) is tuple and all(type(p) is str for p in parts)


def test_id_parts_of_a_str_subclass(analyka):
    assert analyka.cpdb_get_gp_n_cp(np.str_("A_B--X|Y")) == ("A_B", "X|Y", "A", "B", "X", "Y")


@pytest.mark.parametrize("idx", ["A_B--X", "AB--X|Y", "A_B", "", "A_B--", np.str_("A_B--X")])
def test_id_without_a_separator_raises_index_error(analyka, idx):
    with pytest.raises(IndexError, match="list index out of range"):
        analyka.cpdb_get_gp_n_cp(idx)


@pytest.mark.parametrize("idx", [5, None, b"A_B--X|Y"])
def test_id_that_is_no_str_raises_like_split(analyka, idx):
    with pytest.raises(Exception) as ours:
        analyka.cpdb_get_gp_n_cp(idx)
    with pytest.raises(Exception) as theirs:
        reference.cpdb_get_gp_n_cp(idx)
    assert type(ours.value) is type(theirs.value) and str(ours.value) == str(theirs.value)


# --- cci_get_means ----------------------------------------------------------


# Up to 2**14 selected ids are looked up by the hashes the ids cache, more by
# their text; beyond 2**17 selected rows in all, whole indexes are numbered.
MANY_IDS = 20_000


@pytest.mark.parametrize(
    "n_samples, n_rows", [(4, 400), (4, 15_000), (8, 45_000)],
    ids=["few-ids", "many-ids", "whole-indexes"],
)  # fmt: skip
def test_means_match_the_pandas_transcription(analyka, pandas_mode, n_samples, n_rows):
    tables = random_tables(0, n_samples=n_samples, n_rows=n_rows, unicode=True)
    selected = sum((t["pval"] <= 0.05).sum() for t in tables.values())
    assert (selected > 2**17) == (n_samples == 8)
    before = frozen(tables)
    ours = analyka.cci_get_means(tables)
    assert (ours.shape[1] > 2**14) == (n_rows > 400)
    expected = reference.cci_get_means(tables)
    assert set(ours.columns) == set(expected.columns)
    pd.testing.assert_frame_equal(ours, expected[ours.columns], check_column_type=False)
    assert_unchanged(tables, before)


def test_means_columns_in_order_of_first_appearance(analyka):
    s1 = cci_table(["c_d--X|Y", "a_b--X|Y", "n_s--X|Y"], pval=[0.01, 0.02, 0.9])
    s2 = cci_table(["e_f--X|Y", "a_b--X|Y", "g_h--X|Y"], pval=[0.001, 0.001, 0.001])
    means = analyka.cci_get_means({"S1": s1, "S2": s2})
    assert list(means.columns) == ["c_d--X|Y", "a_b--X|Y", "e_f--X|Y", "g_h--X|Y"]
    assert list(means.index) == ["S1", "S2"]


def test_means_fill_every_sample_that_lists_the_id(analyka):
    s1 = cci_table(["a_b--X|Y", "c_d--X|Y"], pval=[0.01, 0.5], mean=[1.5, 2.5])
    s2 = cci_table(["a_b--X|Y"], pval=[0.5], mean=[7.0])
    means = analyka.cci_get_means({"S1": s1, "S2": s2})
    # significant in S1 only, still filled for S2; c_d was never significant
    assert list(means.columns) == ["a_b--X|Y"]
    assert means.loc["S2", "a_b--X|Y"] == 7.0
    s2 = cci_table(["z_z--X|Y"], pval=[0.5])
    means = analyka.cci_get_means({"S1": s1, "S2": s2})
    assert np.isnan(means.loc["S2", "a_b--X|Y"])


def test_means_of_one_sample_keep_its_order_and_repeats(analyka):
    s1 = cci_table(["c_d--X|Y", "a_b--X|Y", "e_f--X|Y"], pval=[0.01, 0.5, 0.0])
    means = analyka.cci_get_means({"S1": s1})
    assert list(means.columns) == ["c_d--X|Y", "e_f--X|Y"]
    assert means.dtypes.eq(np.float64).all()


@pytest.mark.parametrize(
    "cells, genes, kept",
    [
        (["T cell"], [], ["a_b--T cell|B cell", "c_d--NK|T cell"]),
        ([], [], ["a_b--T cell|B cell", "c_d--NK|T cell", "e_f--NK|B cell"]),
        ([], ["f"], ["e_f--NK|B cell"]),
        (("NK",), ("a", "c"), ["c_d--NK|T cell"]),
    ],
)
def test_means_cell_and_gene_filters(analyka, cells, genes, kept):
    s1 = cci_table(["a_b--T cell|B cell", "c_d--NK|T cell", "e_f--NK|B cell", "g_h--B|B"])
    s1.loc["g_h--B|B", "pval"] = 0.5
    assert list(analyka.cci_get_means({"S1": s1}, None, cells, genes).columns) == kept


def recoded(tables, kind):
    """The tables with cell and gene columns of another make."""
    out = {}
    for key, df in tables.items():
        df = df.copy()
        cells = ["cell_A", "cell_B"]
        if kind == "categorical":
            df[cells] = df[cells].astype("category")
        elif kind == "integer codes":
            codes = {c: i for i, c in enumerate(sorted(set(df["cell_A"]) | set(df["cell_B"])))}
            df[cells] = df[cells].apply(lambda col, codes=codes: col.map(codes).astype("int64"))
        elif kind == "mixed objects":
            # NaN, None, a number and a str subclass among the names
            odd = [np.nan, None, 7, np.str_("B cell")]
            for j, col in enumerate(cells + ["gene_A"]):
                values = df[col].to_numpy(dtype=object)
                values[j::5] = odd[j]
                df[col] = values
        elif kind == "string dtype":
            df[cells + ["gene_A", "gene_B"]] = df[cells + ["gene_A", "gene_B"]].astype("string")
        out[key] = df
    return out


@pytest.mark.parametrize(
    "kind", ["object", "categorical", "integer codes", "mixed objects", "string dtype"]
)
@pytest.mark.parametrize(
    "cells, genes",
    [
        (["T cell", "NK"], []),
        ((), ("G1", "G7", "G30")),
        ({"Mono", "B cell"}, np.array(["G2", "G5", "G11", "G12"])),
        (pd.Series(["T cell", np.nan]), pd.Index(["G3", "G4", np.nan], dtype=object)),
        ([0, 2, None, "B cell"], ["G1", 7]),
    ],
)
def test_means_filters_match_the_pandas_transcription(analyka, pandas_mode, kind, cells, genes):
    tables = recoded(random_tables(3, n_samples=3, n_rows=300), kind)
    before = frozen(tables)
    expected = reference.cci_get_means(tables, None, cells, genes, 0.01)
    with warns_if(expected.shape[1] == 0, "no interaction has pval <= 0.01"):
        ours = analyka.cci_get_means(tables, None, cells, genes, 0.01)
    assert set(ours.columns) == set(expected.columns)
    pd.testing.assert_frame_equal(ours, expected[ours.columns], check_column_type=False)
    assert_unchanged(tables, before)


@pytest.mark.parametrize(
    "edit",
    [
        lambda df: df.assign(pval=np.where(np.arange(len(df)) % 3 == 0, 0.01, df["pval"])),
        lambda df: df.assign(pval=df["pval"].astype(object)),
        lambda df: df.assign(pval=df["pval"].astype("Float64")),
        lambda df: df.assign(pval=df["pval"].astype("float32")),
        lambda df: df.set_axis([7] + list(df.index[1:])),  # an id of another type
        lambda df: df.set_axis([np.nan] + list(df.index[1:])),
    ],
)
@pytest.mark.parametrize("cutoff", [0.01, 1, np.float64(0.01)])
def test_means_odd_p_values_and_ids_match_the_pandas_transcription(analyka, edit, cutoff):
    tables = {k: edit(t) for k, t in random_tables(4, n_samples=3, n_rows=200).items()}
    ours = analyka.cci_get_means(tables, None, ["T cell"], [], cutoff)
    expected = reference.cci_get_means(tables, None, ["T cell"], [], cutoff)
    assert set(ours.columns) == set(expected.columns)
    pd.testing.assert_frame_equal(ours, expected[ours.columns], check_column_type=False)


def test_means_filter_errors_come_from_isin(analyka):
    s1 = cci_table(["a_b--X|Y", "c_d--X|Y"], pval=0.9)  # no row under the cutoff
    s2 = cci_table(["a_b--X|Y"])
    for args in [("T cell", []), ([], "G"), (["T"], 5)]:
        with pytest.raises(TypeError) as ours:
            analyka.cci_get_means({"S1": s1, "S2": s2}, None, *args)
        with pytest.raises(TypeError) as expected:
            reference.cci_get_means({"S1": s1, "S2": s2}, None, *args)
        assert str(ours.value) == str(expected.value)
    with pytest.raises(KeyError, match="gene_B"):
        analyka.cci_get_means({"S1": s1, "S2": s2.drop(columns="gene_B")}, None, ["X"], ["a"])


def test_means_with_explicit_ids_skip_the_selection(analyka):
    s1 = cci_table(["a_b--X|Y", "c_d--X|Y"], pval=[0.9, 0.9], mean=[1.0, 2.0])
    s2 = cci_table(["c_d--X|Y"], mean=[4.0])
    ids = ["c_d--X|Y", "nowhere", "a_b--X|Y", "c_d--X|Y"]
    means = analyka.cci_get_means({"S1": s1, "S2": s2}, ids, ["T"], ["G"], 0.0)
    assert list(means.columns) == ids
    assert means.loc["S1"].tolist()[:3] == [2.0, pytest.approx(np.nan, nan_ok=True), 1.0]
    assert means["nowhere"].isna().all() and means["nowhere"].dtype == np.float64
    # a repeated id fills every column it labels
    assert means.loc["S2"].iloc[[0, 3]].tolist() == [4.0, 4.0]


def test_means_convert_means_like_astype_float(analyka):
    s1 = cci_table(["a_b--X|Y", "c_d--X|Y"])
    s1["mean"] = pd.Series(["1.5", "2"], index=s1.index, dtype=object)
    means = analyka.cci_get_means({"S1": s1})
    assert means.iloc[0].tolist() == [1.5, 2.0]
    s1["mean"] = np.array([3, 4])
    assert analyka.cci_get_means({"S1": s1}).iloc[0].tolist() == [3.0, 4.0]


def test_means_failures(analyka):
    with pytest.raises(UnboundLocalError, match="cannot access local variable 'idx_union'"):
        analyka.cci_get_means({})
    empty = analyka.cci_get_means({}, ["a"])
    assert empty.shape == (0, 1) and list(empty.columns) == ["a"]
    with pytest.raises(AttributeError):
        analyka.cci_get_means(None)
    s1 = cci_table(["a_b--X|Y"])
    with pytest.raises(KeyError, match="pval"):
        analyka.cci_get_means({"S1": s1.drop(columns="pval")})
    with pytest.raises(KeyError, match="mean"):
        analyka.cci_get_means({"S1": s1.drop(columns="mean")})
    with pytest.raises(KeyError, match="cell_A"):
        analyka.cci_get_means({"S1": s1.drop(columns="cell_A")}, cells=["X"])


@pytest.mark.parametrize("extra", [0, MANY_IDS], ids=["few-ids", "many-ids"])
def test_means_refuse_an_id_repeated_in_a_table(analyka, extra):
    more = cci_table([f"g{i}_h--X|Y" for i in range(extra)])
    s1 = pd.concat([cci_table(["a_b--X|Y", "a_b--X|Y", "c_d--X|Y"]), more])
    s2 = pd.concat([more, cci_table(["a_b--X|Y"])])
    with pytest.raises(ValueError, match="duplicate labels"):
        analyka.cci_get_means({"S1": s1, "S2": s2})
    with pytest.raises(ValueError, match="duplicate labels"):
        analyka.cci_get_means({"S2": s2, "S1": s1})
    if extra:
        return
    # a repeat that is not selected anywhere is harmless
    s1.loc[s1.index == "a_b--X|Y", "pval"] = 0.9
    s2["pval"] = 0.9
    assert list(analyka.cci_get_means({"S1": s1, "S2": s2}).columns) == ["c_d--X|Y"]


@pytest.mark.parametrize("extra", [0, MANY_IDS], ids=["few-ids", "many-ids"])
def test_means_with_ids_of_other_types_in_one_table(analyka, extra):
    more = [f"g{i}_h--X|Y" for i in range(extra)]
    s1 = cci_table(["a_b--X|Y", *more, "c_d--X|Y"], mean=np.arange(extra + 2.0))
    s2 = cci_table(["c_d--X|Y", "a_b--X|Y"], pval=0.9, mean=[7.0, 8.0])
    s2.index = pd.Index(["c_d--X|Y", 5], dtype=object)  # one id that is no str
    means = analyka.cci_get_means({"S1": s1, "S2": s2})
    assert list(means.columns) == ["a_b--X|Y", *more, "c_d--X|Y"]
    assert means.loc["S2", "c_d--X|Y"] == 7.0 and np.isnan(means.loc["S2", "a_b--X|Y"])


def test_means_with_ids_of_other_types(analyka):
    s1 = cci_table(["a_a--X|Y"], pval=0.01)
    s1.index = pd.Index([1])
    s2 = cci_table(["a_a--X|Y", "b_b--X|Y"], pval=[0.01, 0.01], mean=[3.0, 4.0])
    s2.index = pd.Index([1.0, "b"], dtype=object)
    means = analyka.cci_get_means({"S1": s1, "S2": s2})
    # 1 and 1.0 are one id, as in a set
    assert list(means.columns) == [1, "b"]
    assert means.loc["S2"].tolist() == [3.0, 4.0]


def test_means_with_ids_given_as_an_index(analyka):
    s1 = cci_table(["a_b--X|Y", "c_d--X|Y"], mean=[1.0, 2.0])
    ids = pd.Index(["c_d--X|Y", "a_b--X|Y"], name="ids")
    means = analyka.cci_get_means({"S1": s1}, ids)
    assert means.columns.name == "ids" and means.iloc[0].tolist() == [2.0, 1.0]
    assert analyka.cci_get_means.__defaults__ == (None, [], [], 0.05)


def test_libraries_are_looked_up_at_call_time(analyka, monkeypatch):
    class Frame(pd.DataFrame):
        pass

    fake_pd = type(pd)("fake_pandas")
    fake_pd.__dict__.update(vars(pd))
    fake_pd.DataFrame = Frame
    monkeypatch.setattr(analyka, "pd", fake_pd)
    tables = {"S1": cci_table(["a_b--T|B"]), "S2": cci_table(["c_d--T|B"])}
    assert type(analyka.cci_get_means(tables)) is Frame
    assert type(analyka.cci_get_ni_mat(tables)["S1"]) is Frame


def test_get_cci_means_forwards(analyka, monkeypatch):
    tables = random_tables(1, n_samples=2, n_rows=50)
    pd.testing.assert_frame_equal(
        analyka.get_cci_means(tables, None, [], [], 0.01),
        analyka.cci_get_means(tables, None, [], [], 0.01),
    )
    calls = []
    monkeypatch.setattr(analyka, "cci_get_means", lambda *a: calls.append(a) or "sentinel")
    assert analyka.get_cci_means(tables, ["x"], pval_cutoff=0.2) == "sentinel"
    assert calls == [(tables, ["x"], [], [], 0.2)]


# --- cci_remove_common ------------------------------------------------------


def test_remove_common_keeps_rows_missing_elsewhere_in_input_order(analyka, pandas_mode):
    s1 = cci_table(["c_c--X|Y", "a_a--X|Y", "b_b--X|Y", "e_e--X|Y"])
    s2 = cci_table(["b_b--X|Y", "d_d--X|Y", "c_c--X|Y"])
    before = frozen({"S1": s1, "S2": s2})
    out = analyka.cci_remove_common({"S1": s1, "S2": s2})
    assert list(out) == ["S1", "S2"]
    assert list(out["S1"].index) == ["a_a--X|Y", "e_e--X|Y"]
    assert list(out["S2"].index) == ["d_d--X|Y"]
    pd.testing.assert_frame_equal(out["S1"], s1.iloc[[1, 3]])
    out["S1"].iloc[0, 0] = 99.0
    assert_unchanged({"S1": s1, "S2": s2}, before)


def test_remove_common_edge_cases(analyka):
    assert analyka.cci_remove_common({}) == {}
    s1 = cci_table(["a_a--X|Y", "b_b--X|Y"], extra=[1, 2])
    with pytest.warns(UserWarning, match="with a single table every interaction is common"):
        alone = analyka.cci_remove_common({"S1": s1})["S1"]
    assert alone.empty and list(alone.columns) == list(s1.columns)
    assert alone.dtypes.equals(s1.dtypes)
    s2 = cci_table(["c_c--X|Y"])
    out = analyka.cci_remove_common({"S1": s1, "S2": s2})
    pd.testing.assert_frame_equal(out["S1"], s1)
    assert out["S1"] is not s1
    with pytest.raises(AttributeError):
        analyka.cci_remove_common(None)


def test_remove_common_keeps_every_row_of_a_repeated_id(analyka):
    s1 = cci_table(["a_a--X|Y", "b_b--X|Y", "a_a--X|Y", "c_c--X|Y", "c_c--X|Y"])
    s1["mean"] = [1.0, 2.0, 3.0, 4.0, 5.0]
    s2 = cci_table(["c_c--X|Y"])
    out = analyka.cci_remove_common({"S1": s1, "S2": s2})
    assert out["S1"]["mean"].tolist() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("unicode", [False, True])
def test_remove_common_matches_the_pandas_transcription(analyka, unicode):
    tables = random_tables(2, n_samples=5, n_rows=1500, unicode=unicode)
    ours = analyka.cci_remove_common(tables)
    expected = reference.cci_remove_common(tables)
    for key in tables:
        assert set(ours[key].index) == set(expected[key].index)
        pd.testing.assert_frame_equal(ours[key], expected[key].loc[ours[key].index])


def test_remove_common_when_few_ids_stay_common(analyka):
    ids = [f"g{i}_h--X|Y" for i in range(300)]
    tables = {
        "S0": cci_table(ids[:100]),
        "S1": cci_table(ids[:10] + ids[200:290]),
        "S2": cci_table(ids[10:50] + ids[:5][::-1]),
        "S3": cci_table(ids[::-1]),
    }
    ours = analyka.cci_remove_common(tables)
    expected = reference.cci_remove_common(tables)
    for key in tables:
        assert sorted(ours[key].index) == sorted(expected[key].index)
        assert list(ours[key].index) == [i for i in tables[key].index if i not in ids[:5]]


def test_remove_common_compares_ids_as_a_set_does(analyka):
    # np.str_ equals str, 1 equals 1.0: both count as the same id
    s1 = cci_table(["a_a--X|Y", "b_b--X|Y", "c_c--X|Y"])
    s2 = cci_table(["a_a--X|Y", "d_d--X|Y", "c_c--X|Y"])
    s2.index = pd.Index([np.str_("a_a--X|Y"), 1, "c_c--X|Y"], dtype=object)
    s1.index = pd.Index(["a_a--X|Y", 1.0, "zz"], dtype=object)
    out = analyka.cci_remove_common({"S1": s1, "S2": s2})
    assert list(out["S1"].index) == ["zz"] and list(out["S2"].index) == ["c_c--X|Y"]


# --- cci_get_ni_mat ---------------------------------------------------------


def test_counts_are_directed_and_whole(analyka, pandas_mode):
    s1 = cci_table(["a_b--T|B", "c_d--T|B", "e_f--B|T"])
    mats = analyka.cci_get_ni_mat({"S1": s1}, False)
    m = mats["S1"]
    assert list(m.index) == list(m.columns) == ["B", "T"]
    assert m.loc["T", "B"] == 2 and m.loc["B", "T"] == 1 and m.loc["B", "B"] == 0
    assert (m.dtypes == np.int64).all()


def test_counts_share_one_sorted_axis(analyka):
    s1 = cci_table(["a_b--T|B", "x_y--Mono|NK"])
    s2 = cci_table(["a_b--T|B", "c_d--DC|T"])
    mats = analyka.cci_get_ni_mat({"S1": s1, "S2": s2}, False)
    axis = ["B", "DC", "Mono", "NK", "T"]
    for m in mats.values():
        assert list(m.index) == axis and list(m.columns) == axis
    assert mats["S2"].loc["Mono"].sum() == 0 and mats["S2"]["NK"].sum() == 0
    common_removed = analyka.cci_get_ni_mat({"S1": s1, "S2": s2})
    assert list(common_removed["S1"].index) == ["DC", "Mono", "NK", "T"]
    assert common_removed["S1"].to_numpy().sum() == 1


def test_counts_edge_cases(analyka):
    assert analyka.cci_get_ni_mat({}) == {}
    assert analyka.cci_get_ni_mat({}, False) == {}
    with pytest.warns(UserWarning, match="with a single table every interaction is common"):
        alone = analyka.cci_get_ni_mat({"S1": cci_table(["a_b--T|B"])})["S1"]
    assert alone.shape == (0, 0)
    with pytest.raises(KeyError, match="cell_B"):
        analyka.cci_get_ni_mat({"S1": cci_table(["a_b--T|B"]).drop(columns="cell_B")}, False)
    nan_cell = cci_table(["a_b--T|B"])
    nan_cell["cell_A"] = [np.nan]
    with pytest.raises(TypeError):
        analyka.cci_get_ni_mat({"S1": nan_cell}, False)
    with pytest.raises(AttributeError):
        analyka.cci_get_ni_mat(None)


@pytest.mark.parametrize("flag, removes", [(0, False), ("", False), ([], False), ("yes", True)])
def test_counts_test_remove_common_for_truth(analyka, flag, removes):
    tables = {"S1": cci_table(["a_b--T|B"]), "S2": cci_table(["a_b--T|B", "c_d--T|T"])}
    total = analyka.cci_get_ni_mat(tables, flag)["S2"].to_numpy().sum()
    assert total == (1 if removes else 2)


@pytest.mark.parametrize("remove_common", [True, False])
def test_counts_match_the_pandas_transcription(analyka, remove_common):
    tables = random_tables(3, n_samples=4, n_rows=600, unicode=True)
    ours = analyka.cci_get_ni_mat(tables, remove_common)
    expected = reference.cci_get_ni_mat(tables, remove_common)
    assert list(ours) == list(expected)
    for key in ours:
        pd.testing.assert_frame_equal(ours[key], expected[key].astype(np.int64))
    pd.testing.assert_frame_equal(analyka.get_cci_ni_mat(tables, remove_common)["S1"], ours["S1"])


def test_counts_of_cell_types_that_are_no_str(analyka):
    s1 = cci_table(["a_b--T|B", "c_d--T|B"])
    s1["cell_A"] = [2, 10]
    s1["cell_B"] = [10, 10]
    m = analyka.cci_get_ni_mat({"S1": s1}, False)["S1"]
    assert list(m.index) == [2, 10] and m.to_numpy().tolist() == [[0, 1], [0, 1]]


@pytest.mark.parametrize("dtype", ["category", "string"])
def test_counts_of_other_cell_dtypes(analyka, dtype):
    tables = random_tables(4, n_samples=3, n_rows=200)
    converted = {k: t.astype({"cell_A": dtype, "cell_B": dtype}) for k, t in tables.items()}
    ours = analyka.cci_get_ni_mat(converted, False)
    expected = analyka.cci_get_ni_mat(tables, False)
    for key in tables:
        pd.testing.assert_frame_equal(ours[key], expected[key])


def test_counts_call_the_module_removal(analyka, monkeypatch):
    tables = random_tables(5, n_samples=3, n_rows=200)
    expected = analyka.cci_get_ni_mat(tables)
    own = analyka.cci_remove_common
    seen = []

    def wrapped(df_dct):
        seen.append(df_dct)
        return own(df_dct)

    monkeypatch.setattr(analyka, "cci_remove_common", wrapped)
    ours = analyka.cci_get_ni_mat(tables)
    assert len(seen) == 1 and seen[0] is tables
    for key in tables:
        pd.testing.assert_frame_equal(ours[key], expected[key])
    # whatever the removal returns is what gets counted
    monkeypatch.setattr(analyka, "cci_remove_common", lambda d: {"only": cci_table(["a_b--T|B"])})
    assert list(analyka.cci_get_ni_mat(tables)) == ["only"]
    assert analyka.cci_get_ni_mat(tables, False).keys() == tables.keys()


def test_get_cci_ni_mat_forwards(analyka, monkeypatch):
    calls = []
    monkeypatch.setattr(analyka, "cci_get_ni_mat", lambda *a: calls.append(a) or "sentinel")
    assert analyka.get_cci_ni_mat("d") == "sentinel"
    assert analyka.get_cci_ni_mat("d", remove_common=False) == "sentinel"
    assert calls == [("d", True), ("d", False)]


# --- cci_get_df_to_plot -----------------------------------------------------


def test_plot_tables_match_the_pandas_transcription(analyka, displayed, pandas_mode):
    tables = random_tables(6, n_samples=4, n_rows=500, unicode=True)
    before = frozen(tables)
    ours = analyka.cci_get_df_to_plot(tables, 0.01, 1)
    shown = []
    expected = reference.cci_get_df_to_plot(tables, 0.01, 1, display=shown.append)
    assert displayed == shown
    for key in tables:
        assert list(ours[key].columns) == list(expected[key].columns)
        assert set(ours[key].index) == set(expected[key].index)
        pd.testing.assert_frame_equal(
            ours[key], expected[key].loc[ours[key].index], check_dtype=False
        )
        assert ours[key]["mean"].dtype == ours[key]["pval"].dtype == np.float64
    assert_unchanged(tables, before)


@pytest.mark.parametrize(
    "pval, mean, passes",
    [(0.005, 0.5, False), (0.005, 1.0, True), (0.01, 1.0, True), (0.02, 5, False)],
)
def test_plot_filter_boundaries(analyka, displayed, pval, mean, passes):
    with warns_if(not passes, "no interaction has pval <= 0.01 and mean >= 1"):
        out = analyka.cci_get_df_to_plot({"S1": cci_table(["a_b--X|Y"], pval=pval, mean=mean)})
    assert len(out["S1"]) == int(passes)
    assert displayed == [f"Union of Interactions: {int(passes)}"]


def test_plot_rows_of_absent_interactions(analyka, displayed):
    s1 = cci_table(["b_c--T cell|B", "a_b--T cell|B"], mean=[3.0, 2.0], score=[7.0, 8.0])
    s1["note"] = ["x", "y"]
    s2 = cci_table(["z_z--Q|R", "a_b--T cell|B"], pval=0.5, mean=[0.1, 0.2], score=[5.0, 6.0])
    s2["note"] = ["u", "v"]
    out = analyka.cci_get_df_to_plot({"S1": s1, "S2": s2})
    assert displayed == ["Union of Interactions: 2"]
    assert list(out["S1"].index) == list(out["S2"].index) == ["b_c--T cell|B", "a_b--T cell|B"]
    row = out["S2"].loc["b_c--T cell|B"]
    assert (row["mean"], row["pval"]) == (0.0, 1.0)
    assert np.isnan(row["score"]) and pd.isna(row["note"])
    assert row[PART_COLUMNS].tolist() == ["b_c", "T cell|B", "b", "c", "T cell", "B"]
    present = out["S2"].loc["a_b--T cell|B"]
    assert (present["mean"], present["pval"], present["score"], present["note"]) == (
        0.2,
        0.5,
        6.0,
        "v",
    )
    assert list(out["S1"].columns) == list(s1.columns) + ["gene_pair", "cell_pair"]


def test_plot_overwrites_existing_part_columns_in_place(analyka, quiet):
    s1 = cci_table(["a_b--X|Y"])
    s1 = s1.assign(cell_B="wrong", gene_pair="wrong")[["cell_B", "mean", "gene_pair", "pval"]]
    out = analyka.cci_get_df_to_plot({"S1": s1})["S1"]
    assert list(out.columns) == ["cell_B", "mean", "gene_pair", "pval"] + [
        "cell_pair",
        "gene_A",
        "gene_B",
        "cell_A",
    ]
    assert out.iloc[0].tolist() == ["Y", 2.0, "a_b", 0.001, "X|Y", "a", "b", "X"]


@pytest.mark.parametrize(
    "target_cells, kept, warning",
    [
        (("T cell",), ["a_b--T cell|B", "c_d--NK|B"], "target_cells is a tuple, not a list"),
        (["T cell"], ["a_b--T cell|B"], None),
        (type("Cells", (list,), {})(["B"]), ["a_b--T cell|B", "c_d--NK|B"], None),
        (np.array(["NK"]), ["a_b--T cell|B", "c_d--NK|B"], "target_cells is a ndarray"),
        ([], [], "so every plot table is empty"),
    ],
)
def test_plot_cell_filter_only_for_lists(analyka, quiet, target_cells, kept, warning):
    s1 = cci_table(["a_b--T cell|B", "c_d--NK|B"])
    with warns_if(warning is not None, warning):
        out = analyka.cci_get_df_to_plot({"S1": s1}, target_cells=target_cells)
    assert list(out["S1"].index) == kept


def test_plot_edge_cases(analyka, displayed):
    assert analyka.cci_get_df_to_plot({}) == {}
    assert displayed == ["Union of Interactions: 0"]
    s1 = cci_table(["a_b--X|Y"], pval=0.5, extra=[1])
    with pytest.warns(UserWarning, match="so every plot table is empty"):
        none = analyka.cci_get_df_to_plot({"S1": s1})["S1"]
    assert none.empty and list(none.columns) == list(s1.columns) + ["gene_pair", "cell_pair"]
    with pytest.raises(KeyError, match="mean"):
        analyka.cci_get_df_to_plot({"S1": s1.drop(columns="mean")})
    with pytest.raises(KeyError, match="cell_A"):
        analyka.cci_get_df_to_plot({"S1": s1.drop(columns="cell_A")}, target_cells=["X"])
    with pytest.raises(AttributeError):
        analyka.cci_get_df_to_plot(None)


@pytest.mark.parametrize(
    "ids, error",
    [(["a_b--X"], IndexError), (["ab--X|Y"], IndexError), ([7], AttributeError)],
)
def test_plot_ids_that_cannot_be_split(analyka, displayed, ids, error):
    s1 = cci_table(["a_b--X|Y"])
    s1.index = pd.Index(ids, dtype=object)
    with pytest.raises(error):
        analyka.cci_get_df_to_plot({"S1": s1})
    assert displayed == ["Union of Interactions: 1"]


def test_plot_refuses_a_selected_id_repeated_in_a_table(analyka, quiet):
    s1 = cci_table(["a_b--X|Y", "a_b--X|Y"])
    with pytest.raises(ValueError, match="duplicate labels"):
        analyka.cci_get_df_to_plot({"S1": s1})
    s1["pval"] = [0.5, 0.5]
    s2 = cci_table(["c_d--X|Y"])
    assert list(analyka.cci_get_df_to_plot({"S1": s1, "S2": s2})["S1"].index) == ["c_d--X|Y"]


def test_plot_calls_the_module_parser_per_id_and_table(analyka, quiet, monkeypatch):
    tables = {"S1": cci_table(["a_b--X|Y", "c_d--X|Y"]), "S2": cci_table(["e_f--X|Y"])}
    calls = []

    def parser(idx):
        calls.append(idx)
        return (f"gp:{idx}", "cp", "ga", "gb", "ca", "cb")

    monkeypatch.setattr(analyka, "cpdb_get_gp_n_cp", parser)
    out = analyka.cci_get_df_to_plot(tables)
    ids = ["a_b--X|Y", "c_d--X|Y", "e_f--X|Y"]
    assert calls == ids + ids
    assert out["S2"]["gene_pair"].tolist() == [f"gp:{i}" for i in ids]
    monkeypatch.setattr(analyka, "cpdb_get_gp_n_cp", lambda idx: ("only", "five", 1, 2, 3))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        analyka.cci_get_df_to_plot(tables)


def test_plot_tables_are_independent(analyka, quiet):
    tables = {"S1": cci_table(["a_b--X|Y"]), "S2": cci_table(["c_d--X|Y"])}
    out = analyka.cci_get_df_to_plot(tables)
    out["S1"].index.name = "interaction"
    out["S1"].loc["a_b--X|Y", "gene_A"] = "changed"
    assert out["S2"].index.name is None
    assert out["S2"].loc["a_b--X|Y", "gene_A"] == "a"


def test_plot_with_ids_of_other_types(analyka, quiet):
    s1 = cci_table(["a_b--X|Y", "c_d--X|Y"])
    s1.index = pd.Index([np.str_("a_b--X|Y"), "c_d--X|Y"], dtype=object)
    out = analyka.cci_get_df_to_plot({"S1": s1})["S1"]
    assert out["cell_B"].tolist() == ["Y", "Y"] and out["gene_A"].tolist() == ["a", "c"]
