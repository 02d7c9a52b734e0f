"""Welch's t-test per item between groups of samples, against scipy bit for
bit and against the pandas transcription in tests/reference/grouptest.py."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest
import scipy
import scipy.special
from scipy import stats

from tests.reference.grouptest import KEYWORDS
from tests.reference.grouptest import cci_get_diff_interactions as reference


def without_warnings(fn, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fn(*args, **kwargs)


def random_table(rng, sizes, items, nan_rate, from_matrix, extremes=True):
    """Samples x items with decimal, near-constant, tied and all-NaN columns
    mixed in, and with `extremes` huge, tiny and infinite ones."""
    n = sum(sizes)
    data = rng.standard_normal((n, items)) * rng.choice([1e-6, 1.0, 1e4]) + rng.choice(
        [0, 0.1, 1e6]
    )
    kinds = rng.choice(8, items, p=[0.36, 0.1, 0.1, 0.1, 0.1, 0.08, 0.08, 0.08])
    if not extremes:
        kinds[(kinds == 5) | (kinds == 6)] = 0
    for j, kind in enumerate(kinds):
        if kind == 1:
            data[:, j] = 0.1
        elif kind == 2:
            data[:, j] = rng.choice([0.1, 0.2, 0.30000000000000004], n)
        elif kind == 3:
            data[:, j] = np.round(data[:, j], 1)
        elif kind == 4:  # squares underflow
            data[:, j] *= rng.choice([1e-80, 1e-160, 1e-300])
        elif kind == 5:  # squares overflow
            data[:, j] *= rng.choice([1e150, 1e300])
        elif kind == 6:
            data[rng.integers(0, n, 2), j] = rng.choice([np.inf, -np.inf], 2)
        elif kind == 7:  # values that tie exactly next to others
            data[:, j] = np.where(data[:, j] > 0, 3.0, data[:, j])
    data[rng.random(data.shape) < nan_rate] = np.nan
    if nan_rate and items:
        data[:, 0] = np.nan
    samples = [f"s{i}" for i in range(n)]
    cols = [f"i{j}" for j in range(items)]
    labels = rng.permutation(np.repeat([f"g{k}" for k in range(len(sizes))], sizes))
    if from_matrix:  # rows of a column are strided, numpy adds them one after the other
        df = pd.DataFrame(data, index=samples, columns=cols)
    else:  # one array per column, numpy adds them pairwise
        df = pd.DataFrame({c: data[:, j] for j, c in enumerate(cols)}, index=samples)
    return df, dict(zip(samples, labels, strict=True))


@pytest.mark.parametrize("from_matrix", [True, False], ids=["matrix", "columns"])
@pytest.mark.parametrize("nan_rate", [0.0, 0.1, 0.6])
@pytest.mark.parametrize("max_group", [4, 14, 300])
def test_native_path_equals_scipy_bit_for_bit(analyka, from_matrix, nan_rate, max_group):
    rng = np.random.default_rng([int(from_matrix), int(nan_rate * 10), max_group])
    for trial in range(12 if max_group < 300 else 3):
        sizes = rng.integers(1, max_group, rng.integers(2, 5))
        items, extremes = int(rng.integers(1, 25)), trial % 4 == 3
        df, group_map = random_table(rng, sizes, items, nan_rate, from_matrix, extremes)
        ref_group = None if trial % 3 else "g1"
        cutoff = [1.0, 0.05, 0.5][trial % 3]
        got = without_warnings(analyka.cci_get_diff_interactions, df, group_map, ref_group, cutoff)
        want = without_warnings(reference, df, group_map, ref_group, cutoff)
        pd.testing.assert_frame_equal(got, want, check_exact=True)


def test_many_items_with_ties_keep_scipys_values_and_a_stable_order(analyka):
    # Over 65,536 items the p-values and the ordering are computed block by
    # block; repeated columns tie exactly, across block boundaries too.
    rng = np.random.default_rng(7)
    distinct, _ = random_table(rng, [4, 6, 5], 700, 0.0, True, extremes=False)
    df = pd.concat([distinct] * 200, axis=1)
    df.columns = [f"i{j}" for j in range(df.shape[1])]
    group_map = dict(
        zip(df.index, rng.permutation(np.repeat(["g0", "g1", "g2"], [4, 6, 5])), strict=True)
    )
    for ref_group, cutoff in [(None, 1.0), ("g1", 0.05)]:
        got = without_warnings(analyka.cci_get_diff_interactions, df, group_map, ref_group, cutoff)
        want = without_warnings(reference, df, group_map, ref_group, cutoff)
        pd.testing.assert_frame_equal(got, want, check_exact=True)


DEGENERATE = {
    # item: (values of group A, values of group B)
    "one_usable_value": ([1.0, np.nan, np.nan], [1.0, 2.0, 3.0]),
    "all_nan": ([np.nan] * 3, [np.nan] * 3),
    "constant_equal_means": ([2.0] * 3, [2.0] * 3),
    "constant_unequal_means": ([2.0] * 3, [5.0] * 3),
    "near_constant_decimals": ([0.1] * 3, [0.1] * 3),
    "ordinary": ([1.0, 2.5, 2.0], [4.0, 3.0, 6.5]),
}


@pytest.mark.parametrize("with_nan", [False, True], ids=["no-nan", "nan-elsewhere"])
def test_degenerate_columns_follow_scipy(analyka, with_nan):
    items = dict(DEGENERATE)
    if not with_nan:  # keep the whole table free of NaN: scipy's vectorised call
        items = {k: v for k, v in items.items() if not np.isnan(v[0] + v[1]).any()}
    df = pd.DataFrame({k: a + b for k, (a, b) in items.items()}, index=list("abcdef"))
    group_map = dict(zip("abcdef", "BBBAAA", strict=True))
    got = without_warnings(analyka.cci_get_diff_interactions, df, group_map, None, 1.0)["B_vs_A"]
    want = without_warnings(stats.ttest_ind, df.iloc[:3], df.iloc[3:], **KEYWORDS).pvalue
    want = pd.Series(np.where(np.isnan(want), 1.0, want), index=df.columns)
    pd.testing.assert_series_equal(
        got.sort_index(), want.sort_index(), check_names=False, rtol=1e-12
    )
    assert got["constant_equal_means"] == 1.0  # NaN p-value reported as 1
    assert got["constant_unequal_means"] == 0.0
    if with_nan:
        assert got["one_usable_value"] == got["all_nan"] == 1.0


def test_rounding_noise_of_decimal_groups_is_kept(analyka):
    df = pd.DataFrame({"x": [0.1] * 7}, index=list("abcdefg"))
    got = without_warnings(
        analyka.cci_get_diff_interactions,
        df,
        dict(zip("abcdefg", "AAABBBB", strict=True)),
        None,
        1.0,
    )
    assert got.loc["x", "B_vs_A"] == pytest.approx(0.29, abs=0.01)


def test_groups_of_one_sample(analyka):
    df = pd.DataFrame({"x": [1.0, 2.0, 9.0]}, index=["a", "b", "c"])
    got = without_warnings(
        analyka.cci_get_diff_interactions, df, {"a": "A", "b": "B", "c": "C"}, None, 1.0
    )
    assert list(got.columns) == ["B_vs_A", "C_vs_A", "C_vs_B"] and (got == 1.0).all().all()


def fake_stats(pvalues_by_call):
    """A stats module whose ttest_ind returns the given p-values in turn."""
    calls = []

    def ttest_ind(a, b, **kwargs):
        calls.append((list(a.index), list(b.index), kwargs))
        return types.SimpleNamespace(pvalue=pvalues_by_call[len(calls) - 1])

    return types.SimpleNamespace(ttest_ind=ttest_ind), calls


@pytest.fixture
def abc():
    df = pd.DataFrame(np.arange(24.0).reshape(6, 4), index=list("uvwxyz"), columns=list("pqrs"))
    return df, dict(zip("uvwxyz", ["B", "A", "C", "B", "A", "C"], strict=True))


def test_comparisons_order_and_samples(analyka, abc, monkeypatch):
    df, group_map = abc
    fake, calls = fake_stats([np.full(4, 0.01)] * 3)
    monkeypatch.setattr(analyka, "stats", fake)
    got = analyka.cci_get_diff_interactions(df, group_map)
    assert list(got.columns) == ["B_vs_A", "C_vs_A", "C_vs_B"]
    assert [c[:2] for c in calls] == [(["u", "x"], ["v", "y"]), (["w", "z"], ["v", "y"]),
                                      (["w", "z"], ["u", "x"])]  # fmt: skip
    calls.clear()
    got = analyka.cci_get_diff_interactions(df, group_map, "B")
    assert list(got.columns) == ["A_vs_B", "C_vs_B"]
    assert [c[:2] for c in calls] == [(["v", "y"], ["u", "x"]), (["w", "z"], ["u", "x"])]


def test_selection_count_and_order_of_items(analyka, abc, monkeypatch):
    df, group_map = abc
    first = np.array([0.01, 0.06, 0.0, 0.05])  # p, q, r, s
    second = np.array([0.2, 0.3, 0.9, 0.04])
    fake, _ = fake_stats([first, second])
    monkeypatch.setattr(analyka, "stats", fake)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # -log10(0) is inf, without numpy's divide report
        got = analyka.cci_get_diff_interactions(df, group_map, "C")
    # s is significant twice (cutoff inclusive); r's zero p-value beats p; q is dropped
    assert list(got.index) == ["s", "r", "p"]
    assert got.loc["r"].tolist() == [0.0, 0.9]


def test_ties_keep_item_order(analyka, abc, monkeypatch):
    df, group_map = abc
    fake, _ = fake_stats([np.array([0.01, 0.02, 0.01, 0.01])])
    monkeypatch.setattr(analyka, "stats", fake)
    got = analyka.cci_get_diff_interactions(df.iloc[[0, 1, 3, 4]], group_map)
    assert list(got.index) == ["p", "r", "s", "q"]


@pytest.mark.parametrize(
    "pvalue",
    [
        [0.01, np.nan, 0.5, 0.02],
        pd.Series([0.5, 0.01], index=["s", "p"]),  # aligned on the items
        0.03,
        np.array([0.01, 0.2, 0.04, 0.9], dtype=np.float32),
    ],
    ids=["list", "series", "scalar", "float32"],
)
def test_other_pvalue_kinds_follow_pandas_assignment(analyka, abc, monkeypatch, pvalue):
    df, group_map = abc
    fake, _ = fake_stats([pvalue, np.array([0.3, 0.01, 0.6, 0.7])])
    monkeypatch.setattr(analyka, "stats", fake)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nothing of pandas' slice or chain warnings
        got = analyka.cci_get_diff_interactions(df, group_map, "A")
    fake, _ = fake_stats([pvalue, np.array([0.3, 0.01, 0.6, 0.7])])
    pd.testing.assert_frame_equal(got, reference(df, group_map, "A", ttest=fake.ttest_ind))


@pytest.mark.parametrize(
    "signature, passed",
    [
        ("a, b, *, axis=0, equal_var=True, nan_policy='propagate', alternative='two-sided', trim=0", False),
        ("a, b, axis=0, equal_var=True, nan_policy='propagate', permutations=None, random_state=None, "
         "alternative='two-sided', trim=0", True),
        ("a, b, **kwargs", True),
    ],
    ids=["current-scipy", "older-scipy", "kwargs"],
)  # fmt: skip
def test_removed_keywords_passed_only_when_accepted(analyka, abc, monkeypatch, signature, passed):
    seen = []
    namespace = {"seen": seen, "np": np, "types": types}
    body = (
        "    seen.append(dict(locals()))\n    return types.SimpleNamespace(pvalue=np.full(4, 0.01))"
    )
    exec(f"def ttest_ind({signature}):\n{body}", namespace)
    monkeypatch.setattr(analyka, "stats", types.SimpleNamespace(ttest_ind=namespace["ttest_ind"]))
    df, group_map = abc
    analyka.cci_get_diff_interactions(df, group_map, "A")
    kwargs = seen[0].get("kwargs", seen[0])
    assert {k: kwargs.get(k) for k in KEYWORDS} == KEYWORDS
    assert (("permutations" in kwargs) and ("random_state" in kwargs)) == passed
    assert kwargs.get("permutations", None) is None and kwargs.get("random_state", None) is None


def test_rebound_scipy_call_equals_native(analyka, monkeypatch):
    rng = np.random.default_rng(3)
    df, group_map = random_table(rng, [5, 9, 3], 30, 0.2, True)
    native = without_warnings(analyka.cci_get_diff_interactions, df, group_map, None, 1.0)
    monkeypatch.setattr(analyka, "stats", types.SimpleNamespace(ttest_ind=stats.ttest_ind))
    called = without_warnings(analyka.cci_get_diff_interactions, df, group_map, None, 1.0)
    pd.testing.assert_frame_equal(native, called, check_exact=True)


def reproduced_release(version):
    """Whether the group test computes this scipy release's t-test natively."""
    major, minor = version.split(".")[:2]
    return major == "1" and 13 <= int(minor) <= 18


@pytest.mark.parametrize(
    "version, value, underflow",
    [
        (None, None, "ignore"),
        ("1.12.0", None, "ignore"),
        ("1.19.0", None, "ignore"),
        ("2.0.0", None, "ignore"),
        (None, np.inf, "ignore"),
        (None, -1e200, "ignore"),
        (None, None, "warn"),
    ],
    ids=["installed", "older", "newer", "next-major", "infinite", "huge", "underflow-reported"],
)
def test_native_path_on_reproduced_releases_only(analyka, monkeypatch, version, value, underflow):
    # numpy reports overflows and invalid values along the way for infinite or
    # huge values, underflows only when asked to: scipy's own call gives them
    df, group_map = random_table(np.random.default_rng(4), [4, 5, 6], 40, 0.2, False, False)
    if value is not None:
        df.iloc[3, 5] = value
    with np.errstate(under=underflow):
        want = without_warnings(reference, df, group_map)
    stats_py = scipy.stats._stats_py
    tests, pvalue_calls = [], []
    denom = stats_py._unequal_var_ttest_denom
    monkeypatch.setattr(
        stats_py, "_unequal_var_ttest_denom", lambda *a, **k: tests.append(a) or denom(*a, **k)
    )
    # the p-value function the release's test calls: stdtr, or t.sf before 1.16
    before_16 = scipy.__version__.startswith(("1.13.", "1.14.", "1.15."))
    owner, name = (stats_py.distributions.t, "sf") if before_16 else (scipy.special, "stdtr")
    function = getattr(owner, name)
    monkeypatch.setattr(owner, name, lambda *a: pvalue_calls.append(a) or function(*a))
    if version:
        monkeypatch.setattr(scipy, "__version__", version)
    with np.errstate(under=underflow):
        got = without_warnings(analyka.cci_get_diff_interactions, df, group_map)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    # scipy itself, with NaN in the table, tests and evaluates item by item
    if reproduced_release(scipy.__version__) and value is None and underflow == "ignore":
        assert not tests
        assert len(pvalue_calls) == 3 and all(np.shape(a[0]) == (40,) for a in pvalue_calls)
    else:  # the first item has no values; the value is in two comparisons
        assert len(tests) == (3 if value is None else 2) * 39


def test_empty_results(analyka, abc):
    df, group_map = abc
    with pytest.warns(UserWarning, match="every sample of the table belongs to one group"):
        one_group = analyka.cci_get_diff_interactions(df, {k: "A" for k in group_map})
    assert one_group.shape == (0, 0)
    pd.testing.assert_frame_equal(one_group, reference(df, {k: "A" for k in group_map}))
    with pytest.warns(UserWarning, match="ref_group 'Z' is not the group of any sample"):
        unknown_reference = analyka.cci_get_diff_interactions(df, group_map, "Z")
    pd.testing.assert_frame_equal(unknown_reference, one_group)
    no_items = analyka.cci_get_diff_interactions(df.iloc[:, :0], group_map)
    assert no_items.shape == (0, 3)
    pd.testing.assert_frame_equal(no_items, reference(df.iloc[:, :0], group_map))


@pytest.mark.parametrize(
    "table, group_map",
    [
        (pd.DataFrame(np.arange(12).reshape(4, 3) ** 2, index=[1, 2, 3, 4]), {1: 1, 2: 2, 3: 1, 4: 2}),
        (pd.DataFrame({"x": [1, 2, 3, 5], "y": [0.5, 0.1, 0.3, 0.2]}), pd.Series(["b", "a", "b", "a"])),
        (pd.DataFrame([[1.0, 2.0], [2.0, 5.0], [3.0, 1.0], [4.0, 0.0]], columns=["d", "d"]),
         {0: "x", 1: "y", 2: "x", 3: "y"}),
        (pd.DataFrame(np.eye(4), columns=pd.MultiIndex.from_product([["a", "b"], [1, 2]])),
         {0: "x", 1: "y", 2: "x", 3: "y"}),
    ],
    ids=["int-table-numeric-labels", "mixed-dtypes-series-map", "duplicate-items", "tuple-items"],
)  # fmt: skip
@pytest.mark.parametrize("cutoff", [1, np.float32(0.5), 1.0])
def test_input_forms(analyka, table, group_map, cutoff):
    before, map_before = table.copy(), group_map.copy()
    got = without_warnings(analyka.cci_get_diff_interactions, table, group_map, None, cutoff)
    pd.testing.assert_frame_equal(
        got, without_warnings(reference, table, group_map, None, cutoff), check_exact=True
    )
    pd.testing.assert_frame_equal(table, before)
    assert dict(group_map) == dict(map_before)


def test_missing_sample_and_unorderable_groups_raise(analyka, abc):
    df, group_map = abc
    with pytest.raises(KeyError):
        analyka.cci_get_diff_interactions(df, {"u": "A"})
    with pytest.raises(TypeError):
        analyka.cci_get_diff_interactions(df, {**group_map, "u": 1})


def warnings_of(fn, *args):
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        fn(*args)
    return {(type(w.message).__name__, str(w.message)) for w in record}


@pytest.mark.parametrize(
    "values",
    [
        {"x": [0.1] * 5, "y": [1.0, 2.0, 3.0, 4.0, 6.0]},  # cancellation, no NaN
        {"x": [0.1] * 5, "y": [np.nan, np.nan, 1.0, 2.0, 3.0]},  # no value left in a group
        {"x": [np.nan, 1.0, 1.0, 2.0, 3.0]},  # one value left in a group
        {"x": [np.nan, np.inf, 1.0, 2.0, 3.0]},  # one infinite value left
    ],
    ids=["cancellation", "empty", "single", "single-inf"],
)
@pytest.mark.parametrize("first_group", ["AABBB", "ABBBB"], ids=["pair", "single-sample"])
def test_warns_as_scipy_does(analyka, values, first_group):
    df = pd.DataFrame(values, index=list("abcde"))
    group_map = dict(zip("abcde", first_group, strict=True))
    got = warnings_of(analyka.cci_get_diff_interactions, df, group_map)
    got.discard(next((w for w in got if w[0] == "UserWarning"), None))  # our single-sample note
    assert got == warnings_of(reference, df, group_map)
    with np.errstate(all="raise"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            want = reference(df, group_map)
        except FloatingPointError as error:  # numpy's report made an error, as in scipy
            with pytest.raises(FloatingPointError, match=str(error)):
                analyka.cci_get_diff_interactions(df, group_map)
        else:
            pd.testing.assert_frame_equal(analyka.cci_get_diff_interactions(df, group_map), want)


def test_test_group_diff_forwards(analyka, abc, monkeypatch):
    df, group_map = abc
    pd.testing.assert_frame_equal(
        analyka.test_group_diff(df, group_map, "A", 0.5),
        analyka.cci_get_diff_interactions(df, group_map, "A", 0.5),
    )
    seen = []
    monkeypatch.setattr(
        analyka, "cci_get_diff_interactions", lambda *a, **k: seen.append((a, k)) or "r"
    )
    assert analyka.test_group_diff(df, group_map) == "r"
    assert seen == [((df, group_map, None, 0.05), {})]
