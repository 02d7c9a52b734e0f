"""Tumour-call scores and the per-cluster sample diversity index."""

import types
import warnings

import anndata
import numpy as np
import pandas as pd
import pytest

from tests.reference import tumour as reference
from tests.support.inputs import warns_if
from tests.support.strings import PYTHON_STRING_DTYPES, STRING_INFERENCE

COLUMNS = ["Tumor_pct", "N_samples", "sample_diversity_index", "Ref_pct", "Tumor"]


def cells(clusters, samples, ploidy=None, ref=None, **extra):
    n = len(clusters)
    index = pd.Index([f"cell{i}" for i in range(n)], dtype=object)
    return pd.DataFrame(
        {
            "sample": samples,
            "cnv_cluster": clusters,
            "ploidy_dec": ["Diploid"] * n if ploidy is None else ploidy,
            "cnv_ref_ind": [False] * n if ref is None else ref,
            **extra,
        },
        index=index,
    )


def run_both(analyka, obs, **kwargs):
    """Our result and the transcription's, each on its own copy of obs."""
    ours, theirs = types.SimpleNamespace(obs=obs.copy()), types.SimpleNamespace(obs=obs.copy())
    got = analyka.compute_sample_div_index(ours, **kwargs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        expected = reference.compute_sample_div_index(theirs, **kwargs)
    pd.testing.assert_frame_equal(got, expected)
    pd.testing.assert_frame_equal(ours.obs, theirs.obs)
    return got, ours.obs


# --- compute_sample_div_index ---------------------------------------------


def test_worked_example_to_the_digit(analyka):
    obs = cells(
        ["k1"] * 6,
        list("AAABBC"),
        ploidy=["Aneuploid"] * 4 + ["Diploid"] * 2,
        ref=[True] + [False] * 5,
    )
    adata = anndata.AnnData(obs=obs)
    df = analyka.compute_sample_div_index(adata)
    assert list(df.columns) == COLUMNS and list(df.index) == ["k1"]
    row = df.loc["k1"]
    assert row["sample_diversity_index"] == 1.4591479170272448
    assert type(row["sample_diversity_index"]) is np.float64
    assert (row["Tumor_pct"], row["N_samples"], row["Ref_pct"]) == (66, 3, 16)
    assert type(row["Tumor_pct"]) is int and type(row["N_samples"]) is np.int64
    assert row["Tumor"] is np.True_
    assert list(df.dtypes.astype(str)) == ["object", "object", "object", "float64", "bool"]
    assert adata.obs["sample_diversity_index"].tolist() == ["1"] * 6


@pytest.mark.parametrize(
    "samples, index, text",
    [
        (list("AABB"), 1.0, "1"),
        (list("ABCD"), 2.0, "2"),
        (list("AAAA"), 0.0, "0"),
        # 0.5 rounds to the even 0; 1.5 and 2.5 to 2
        (["A"] * 3 + ["B"] * 5, None, "1"),
    ],
)
def test_reference_values_and_written_text(analyka, samples, index, text):
    df, obs = run_both(analyka, cells(["x"] * len(samples), samples))
    if index is not None:
        assert df.loc["x", "sample_diversity_index"] == index
    assert df.loc["x", "N_samples"] == len(set(samples))
    assert set(obs["sample_diversity_index"]) == {text}


def test_tumour_threshold_and_truncation(analyka):
    n = 1000
    obs = cells(
        ["half"] * 4 + ["most"] * n,
        ["S"] * (4 + n),
        ploidy=["Aneuploid", "Diploid"] * 2 + ["Aneuploid"] * 499 + ["Diploid"] * 501,
        ref=[1, 1, 1, 0] + [1] * 2 + [0] * (n - 2),
    )
    df, _ = run_both(analyka, obs)
    assert df["Tumor_pct"].tolist() == [50, 49]
    assert df["Tumor"].tolist() == [True, False]
    assert df["Ref_pct"].tolist() == [75.0, 0.0]


def test_categorical_and_missing_samples(analyka):
    samples = pd.Categorical(["A", "A", None, "B", "C", "C"], categories=["A", "B", "C", "Z"])
    df, _ = run_both(analyka, cells(["p", "p", "p", "p", "q", "q"], samples))
    # unused category Z and the missing sample count nowhere
    assert df["N_samples"].tolist() == [2, 1]
    assert df.loc["p", "sample_diversity_index"] == pytest.approx(0.9182958340544896)
    assert df.loc["q", "sample_diversity_index"] == 0


@pytest.mark.parametrize(
    "labels",
    [
        [3, 1, 3, 2, 1, 1],
        np.array([3, 1, 3, 2, 1, 1], dtype=np.int8),
        [3.0, 1.0, 3.0, 2.0, 1.0, 1.0],
        pd.Categorical([3, 1, 3, 2, 1, 1]),
        [True, False, True, True, False, False],
        # missing labels are matched by the text "nan"
        [3.0, np.nan, 3.0, 2.0, np.nan, np.nan],
        pd.Categorical(np.array([3, 1, 3, 2, 1, 1], dtype=np.float32)),
    ],
    ids=["int", "int8", "float", "categorical-int", "bool", "float-nan", "categorical-float32"],
)
def test_non_text_cluster_labels_are_matched_by_text(analyka, labels):
    df, obs = run_both(analyka, cells(labels, list("ABABAB"), ploidy=["Aneuploid"] * 6))
    assert df["Tumor_pct"].tolist() == [100] * len(df)
    assert len(df) == pd.Series(labels).nunique(dropna=False)
    assert obs["sample_diversity_index"].notna().all()


@pytest.mark.parametrize("categorical", [False, True])
def test_labels_whose_text_selects_nothing_fail_like_the_scalar_arithmetic(analyka, categorical):
    # float32 labels: str() of the Python float differs from the column's text
    # (pandas 3 writes float32 categories at double precision: not followed)
    labels = np.array([0.1, 0.1], dtype=np.float32)
    obs = cells(pd.Categorical(labels) if categorical else labels, ["A", "B"])
    adata = types.SimpleNamespace(obs=obs.copy())
    with pytest.warns(RuntimeWarning), pytest.raises(ValueError, match="NaN to integer"):
        analyka.compute_sample_div_index(adata)
    pd.testing.assert_frame_equal(adata.obs, obs)


@pytest.mark.parametrize(
    "ref",
    [
        np.array([1, 0, 1, 0, 0, 1], dtype=np.uint8),
        np.array([1.0, np.nan, 1.0, 0.0, 0.5, 1.0]),
        np.array([True, False, True, False, False, True], dtype=object),
        pd.array([True, None, True, False, False, True], dtype="boolean"),
    ],
    ids=["uint8", "float-nan", "object", "nullable"],
)
def test_reference_indicator_types(analyka, ref):
    ploidy = pd.Categorical(["Aneuploid", "X", None, "Aneuploid", "X", "X"])
    run_both(analyka, cells(list("aabbbb"), list("ABABAB"), ploidy=ploidy, ref=ref))


@pytest.mark.parametrize("infer_string", [False, True])
def test_random_tables_match_transcription(analyka, infer_string):
    if infer_string and not STRING_INFERENCE:
        pytest.skip("string inference needs pandas 2.3 or pyarrow")
    rng = np.random.default_rng(7)
    n = 3000
    obs = cells(
        rng.choice([f"c{i}" for i in range(9)], n),
        pd.Categorical(rng.choice([f"S{i}" for i in range(30)] + [None], n)),
        ploidy=rng.choice(["Aneuploid", "Diploid", None], n),
        ref=rng.random(n) < 0.3,
    )
    with pd.option_context("future.infer_string", infer_string):
        run_both(analyka, obs.astype({"cnv_cluster": str}))
        run_both(analyka, obs.astype({"sample": object}), tumor_name="Diploid")
        # Python-backed string columns, with missing samples
        for dtype in PYTHON_STRING_DTYPES:
            run_both(analyka, obs.astype({"sample": dtype, "cnv_cluster": dtype}))


def test_writes_only_its_column(analyka):
    obs = cells(["a", "b", "a"], ["S1", "S1", "S2"])
    adata = anndata.AnnData(X=np.ones((3, 2)), obs=obs, uns={"k": 1})
    before = adata.obs.copy()
    df = analyka.compute_sample_div_index(adata, sdi_col="sdi")
    assert "sample_diversity_index" in df.columns
    assert list(adata.obs.columns) == [*before.columns, "sdi"]
    pd.testing.assert_frame_equal(adata.obs[before.columns], before)
    assert adata.obs["sdi"].tolist() == ["1", "0", "1"]
    # a second call overwrites in place
    adata.obs["cnv_cluster"] = ["a", "a", "a"]
    analyka.compute_sample_div_index(adata, sdi_col="sdi")
    assert adata.obs["sdi"].tolist() == ["1", "1", "1"]
    assert list(adata.obs.columns) == [*before.columns, "sdi"]
    assert adata.uns == {"k": 1} and adata.X.sum() == 6


@pytest.mark.parametrize("store", ["h5ad", "zarr"])
def test_lazily_read_obs_gets_its_column_in_memory(analyka, tmp_path, store):
    from tests.support import stores

    rng = np.random.default_rng(3)
    obs = cells(rng.choice(["c1", "c2", "c3"], 500), rng.choice(["S1", "S2", "S3"], 500),
                ploidy=rng.choice(["Aneuploid", "Diploid"], 500), ref=rng.random(500) < 0.3)  # fmt: skip
    path = tmp_path / f"cells.{store}"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if store == "zarr":
            stores.write_zarr(anndata.AnnData(obs=obs), path)
            eager = anndata.read_zarr(path)
        else:
            anndata.AnnData(obs=obs).write_h5ad(path)
            eager = anndata.read_h5ad(path)
    lazy = stores.read_lazy(path)
    df = analyka.compute_sample_div_index(lazy, sdi_col="sdi")
    pd.testing.assert_frame_equal(df, analyka.compute_sample_div_index(eager, sdi_col="sdi"))
    # Written into the lazy obs, as the in-memory call writes it; the file is untouched.
    assert lazy.obs.to_memory()["sdi"].tolist() == eager.obs["sdi"].tolist()
    assert "sdi" not in stores.read_lazy(path).obs.keys()
    view, eager_view = lazy[100:300], eager[100:300].copy()
    pd.testing.assert_frame_equal(
        analyka.compute_sample_div_index(view), analyka.compute_sample_div_index(eager_view)
    )
    column = view.obs.to_memory()["sample_diversity_index"]
    assert column.tolist() == eager_view.obs["sample_diversity_index"].tolist()


def test_duplicate_cell_names(analyka):
    obs = cells(["a", "b", "a", "b"], ["S1", "S2", "S2", "S2"]).set_axis(["c", "c", "d", "d"])
    _, written = run_both(analyka, obs)
    assert written["sample_diversity_index"].tolist() == ["1", "0", "1", "0"]


def test_empty_adata(analyka):
    df, obs = run_both(analyka, cells([], []))
    assert list(df.columns) == ["Tumor_pct", "N_samples", "sample_diversity_index", "Tumor"]
    assert len(df) == 0 and len(obs["sample_diversity_index"]) == 0


def test_errors_leave_obs_untouched(analyka):
    obs = cells(["a", "b"], ["S1", "S2"])
    for missing in ["cnv_cluster", "sample", "ploidy_dec", "cnv_ref_ind"]:
        adata = types.SimpleNamespace(obs=obs.drop(columns=missing))
        with pytest.raises(KeyError):
            analyka.compute_sample_div_index(adata)
        assert "sample_diversity_index" not in adata.obs
    with pytest.raises(TypeError):  # labels that cannot be sorted
        analyka.compute_sample_div_index(types.SimpleNamespace(obs=cells(["a", 1], ["S", "S"])))


# --- evaluate_performance -------------------------------------------------

Y = ["Tumor", "Tumor", "Normal", "Normal", "Tumor"]
Y_PRED = ["Tumor", "Normal", "Normal", "Tumor", "Tumor"]
EXPECTED = {
    "Accuracy": 0.6,
    "F1": 0.6,
    "F1 (Tumor)": 0.667,
    "Precision (Tumor)": 0.667,
    "Recall (Tumor)": 0.667,
    "FPR (Tumor)": 0.5,
    "F1 (Normal)": 0.5,
    "Precision (Normal)": 0.5,
    "Recall (Normal)": 0.5,
    "FPR (Normal)": 0.333,
}


@pytest.mark.parametrize(
    "wrap",
    [np.array, lambda v: pd.Series(v, index=range(10, 15)), list, tuple],
    ids=["array", "series", "list", "tuple"],
)
def test_worked_example(analyka, wrap):
    perf = analyka.evaluate_performance(wrap(Y), wrap(Y_PRED))
    assert list(perf) == list(EXPECTED)
    assert perf == EXPECTED
    assert all(type(v) is np.float64 for v in perf.values())


@pytest.mark.parametrize(
    "labels",
    [["Tumor", "Normal"], ["Normal", "Tumor", "Normal"], ["Tumor", "Other"], [], ["Tumor"]],
    ids=["default", "repeated", "absent", "empty", "one"],
)
@pytest.mark.parametrize("noise", [0.0, 0.2])
def test_random_calls_match_transcription(analyka, labels, noise):
    rng = np.random.default_rng(3)
    y = rng.choice(["Tumor", "Normal"], 200)
    y_pred = np.where(rng.random(200) >= noise, y, rng.choice(["Tumor", "Normal", "Other"], 200))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        expected = reference.evaluate_performance(y, y_pred, labels)
        # without noise, 'Other' is found neither in y nor in y_pred
        with warns_if("Other" in labels and noise == 0, "'Other' occur neither"):
            got = analyka.evaluate_performance(y, y_pred, labels)
            from_lists = analyka.evaluate_performance(y.tolist(), tuple(y_pred), labels)
    assert list(got) == list(expected) == list(from_lists)
    np.testing.assert_equal(got, expected)
    np.testing.assert_equal(from_lists, expected)


def test_zero_denominators_give_nan_with_warning(analyka):
    y = pd.Series(["Tumor", "Normal", "Tumor"])
    with pytest.warns(RuntimeWarning), pytest.warns(UserWarning, match="'Ghost' occur neither"):
        perf = analyka.evaluate_performance(y, pd.Series(["Normal"] * 3), ["Tumor", "Ghost"])
    assert np.isnan(perf["Precision (Tumor)"]) and np.isnan(perf["F1 (Tumor)"])
    assert np.isnan(perf["F1"])
    assert np.isnan(perf["Precision (Ghost)"]) and np.isnan(perf["Recall (Ghost)"])
    assert perf["FPR (Ghost)"] == 0.0
    with pytest.warns(RuntimeWarning):
        perf = analyka.evaluate_performance(np.array(Y), np.array(Y), [])
    assert list(perf) == ["Accuracy", "F1"] and np.isnan(perf["F1"])


def test_default_labels_untouched_and_module_numpy_used(analyka, monkeypatch):
    default = analyka.evaluate_performance.__defaults__[0]
    y, y_pred = np.array(Y), np.array(Y_PRED)
    analyka.evaluate_performance(y, y_pred)
    assert (
        default == ["Tumor", "Normal"] and analyka.evaluate_performance.__defaults__[0] is default
    )
    assert y.tolist() == Y and y_pred.tolist() == Y_PRED
    fake = types.SimpleNamespace(**{k: getattr(np, k) for k in ("sum", "array", "asarray")})
    fake.round = lambda x, d: "rounded"
    monkeypatch.setattr(analyka, "np", fake)
    assert set(analyka.evaluate_performance(Y, Y_PRED).values()) == {"rounded"}
