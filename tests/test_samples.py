"""Sample-to-condition maps."""

import numpy as np
import pandas as pd
import pytest

from tests.support import stores


def test_sorted_keys_and_first_record_wins(analyka):
    d = analyka.get_sample_to_group_dict(["S2", "S1", "S2", "S10"], ["B", "A", "C", "A"])
    assert list(d.items()) == [("S1", "A"), ("S10", "A"), ("S2", "B")]
    assert all(type(k) is np.str_ for k in d) and all(type(v) is np.str_ for v in d.values())


@pytest.mark.parametrize(
    "samples",
    [
        ["b", "a", "b", "c"],
        np.array(["b", "a", "b", "c"]),
        np.array(["b", "a", "b", "c"], dtype=object),
        pd.Series(["b", "a", "b", "c"], index=[9, 8, 7, 6]),
        pd.Series(["b", "a", "b", "c"], dtype="category"),
        pd.Series(["b", "a", "b", "c"], dtype="string"),
    ],
    ids=["list", "str-array", "object-array", "series", "categorical", "string-dtype"],
)
def test_input_forms_agree(analyka, samples):
    d = analyka.get_sample_to_group_dict(samples, ["g2", "g1", "gX", "g3"])
    assert list(d.items()) == [("a", "g1"), ("b", "g2"), ("c", "g3")]


def test_numeric_samples_and_conditions(analyka):
    d = analyka.get_sample_to_group_dict([3, 1, 2, 1], [30.0, 10.0, 20.0, 11.0])
    assert list(d.items()) == [(1, 10.0), (2, 20.0), (3, 30.0)]
    assert type(next(iter(d))) is np.int64


def test_mixed_object_values_follow_python_equality(analyka):
    # 1 and 1.0 are one sample for a set; the first record carrying either wins.
    d = analyka.get_sample_to_group_dict(np.array([1.0, 2, 1], dtype=object), ["x", "y", "z"])
    assert list(d.items()) == [(1, "x"), (2, "y")]


def test_empty_and_series_index_ignored(analyka):
    assert analyka.get_sample_to_group_dict([], []) == {}
    s = pd.Series(["a", "b"], index=["i", "j"])
    assert analyka.get_sample_to_group_dict(s, pd.Series(["x", "y"], index=[5, 6])) == {
        "a": "x",
        "b": "y",
    }


def test_length_mismatch_raises_numpys_index_error(analyka):
    with pytest.raises(IndexError, match="boolean index did not match"):
        analyka.get_sample_to_group_dict(["a", "b", "a"], ["x", "y"])
    # no sample, nothing selected, nothing raised
    assert analyka.get_sample_to_group_dict([], ["x"]) == {}


def test_nan_sample_selects_nothing_and_raises(analyka):
    # NaN never equals itself, so its selection is empty, as with a boolean mask.
    with pytest.raises(IndexError):
        analyka.get_sample_to_group_dict([1.0, np.nan], ["x", "y"])


def test_unorderable_samples_raise_type_error(analyka):
    with pytest.raises(TypeError):
        analyka.get_sample_to_group_dict(np.array(["a", 1], dtype=object), ["x", "y"])


def test_raising_equality_propagates(analyka):
    class Sample:
        def __init__(self, key):
            self.key = key

        def __hash__(self):
            return hash(self.key)

        def __eq__(self, other):
            raise RuntimeError("no equality")

        def __lt__(self, other):
            return self.key < other.key

    with pytest.raises(RuntimeError, match="no equality"):
        analyka.get_sample_to_group_dict([Sample(2), Sample(1)], ["a", "b"])


def test_map_forwards(analyka):
    args = (["S2", "S1"], ["B", "A"])
    assert analyka.get_sample_to_group_map(*args) == analyka.get_sample_to_group_dict(*args)


def test_large_input_matches_the_literal_algorithm(analyka):
    rng = np.random.default_rng(0)
    samples = rng.choice([f"S{i}" for i in range(200)], size=20000)
    conditions = rng.choice(["ctrl", "treated", "other"], size=20000)
    expected = {}
    for s in sorted(set(samples)):
        expected[s] = conditions[samples == s][0]
    assert analyka.get_sample_to_group_dict(samples, conditions) == expected


# Lazily held labels: each form and the in-memory values it stands for.
LAZY_FORMS = {
    "data-array": lambda a, tmp: (__import__("xarray").DataArray(a), a),
    "dask-array": lambda a, tmp: (__import__("dask.array").array.from_array(a, chunks=2), a),
    "lazy-obs-column": lambda a, tmp: stores.lazy_column(a, tmp),
    "lazy-categorical": lambda a, tmp: stores.lazy_column(pd.Categorical(a), tmp, "h5ad"),
}


@pytest.mark.parametrize("form", LAZY_FORMS)
def test_lazy_input_forms_give_the_in_memory_map(analyka, tmp_path, form):
    pytest.importorskip("xarray" if form == "data-array" else "dask.array")
    for samples, conditions in [(["b", "a", "b", "c"], ["g2", "g1", "gX", "g3"]),
                                ([3, 1, 2, 1], [30.0, 10.0, 20.0, 11.0])]:  # fmt: skip
        samples, ref_samples = LAZY_FORMS[form](np.array(samples), tmp_path)
        conditions, ref_conditions = LAZY_FORMS[form](np.array(conditions), tmp_path)
        got = analyka.get_sample_to_group_dict(samples, conditions)
        ref = analyka.get_sample_to_group_dict(ref_samples, ref_conditions)
        assert list(got.items()) == list(ref.items())
        assert [type(k) for k in got] == [type(k) for k in ref]
