"""What pandas 3 changes for every function: text held in pandas' string
dtype (its default for text, Python- or Arrow-backed) gives the values that
object columns give, and every frame a call returns owns its data, whatever
copy-on-write knows about the arrays the native code shares."""

import warnings

import numpy as np
import pandas as pd
import pytest

from tests.support import workloads
from tests.support.strings import STRING_DTYPES

with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    import anndata

FUNCTIONS = sorted(workloads.valid_calls())


def all_text(values):
    present = [v for v in values if not pd.isna(v)]
    return bool(present) and all(isinstance(v, str) for v in present)


def to_strings(obj, dtype):
    """`obj` with every text column, index, Series and text categorical held in `dtype`."""
    if isinstance(obj, anndata.AnnData):
        out = obj.copy()
        with warnings.catch_warnings():
            # anndata 0.10 takes an empty var index for one without strings
            warnings.filterwarnings("ignore", r"\s*AnnData expects", UserWarning)
            out.obs, out.var = to_strings(obj.obs, dtype), to_strings(obj.var, dtype)
        return out
    if isinstance(obj, pd.DataFrame):
        out = obj.copy()
        out.index = to_strings(obj.index, dtype)
        for j in range(out.shape[1]):
            out.isetitem(j, to_strings(out.iloc[:, j], dtype))
        return out
    if isinstance(obj, pd.Series | pd.Index):
        text = obj.dtype == object or isinstance(obj.dtype, pd.CategoricalDtype)
        return obj.astype(dtype) if text and all_text(obj) else obj
    if isinstance(obj, dict):
        return {key: to_strings(value, dtype) for key, value in obj.items()}
    if isinstance(obj, list | tuple):
        return type(obj)(to_strings(item, dtype) for item in obj)
    return obj


def plain(frame):
    """The frame with text of any dtype as object values, missing as NaN."""

    def objects(values):
        values = pd.Series(values).astype(object)
        return values.where(values.notna(), np.nan).tolist()

    out = pd.DataFrame(
        {j: objects(frame.iloc[:, j]) for j in range(frame.shape[1])},
        index=pd.Index(objects(frame.index), dtype=object),
    )
    out.columns = pd.Index(objects(frame.columns), dtype=object)
    return out


def assert_same_values(got, expected):
    assert type(got) is type(expected) or isinstance(got, pd.DataFrame), (got, expected)
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(plain(got), plain(expected), check_dtype=False)
    elif isinstance(expected, dict):
        assert list(got) == list(expected)
        for key in expected:
            assert_same_values(got[key], expected[key])
    elif isinstance(expected, list | tuple):
        if all(isinstance(v, str) for v in expected):
            expected, got = sorted(expected), sorted(got)  # set orders
        assert len(got) == len(expected)
        for g, e in zip(got, expected, strict=True):
            assert_same_values(g, e)
    else:
        assert got == expected or (pd.isna(got) and pd.isna(expected)), (got, expected)


@pytest.mark.parametrize("dtype", list(STRING_DTYPES))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_string_dtype_inputs_give_the_values_of_object_inputs(analyka, quiet, name, dtype):
    function = getattr(analyka, name)
    calls = workloads.valid_calls()[name]
    for (args, kwargs), (sargs, skwargs) in zip(
        calls, to_strings(calls, STRING_DTYPES[dtype]), strict=True
    ):
        assert_same_values(function(*sargs, **skwargs), function(*args, **kwargs))


def frames_in(obj):
    if isinstance(obj, pd.DataFrame):
        yield obj
    elif isinstance(obj, anndata.AnnData):
        yield from (obj.obs, obj.var)
    elif isinstance(obj, dict):
        for value in obj.values():
            yield from frames_in(value)
    elif isinstance(obj, list | tuple):
        for item in obj:
            yield from frames_in(item)


def changed(value):
    if isinstance(value, str):
        return value + "!"
    if isinstance(value, bool | np.bool_):
        return not value
    if isinstance(value, float | np.floating):
        return 0.5 if np.isnan(value) else value + 1
    if isinstance(value, int | np.integer):
        return value + 1
    return "changed"


FRAME_FUNCTIONS = [
    "get_population",
    "get_gene_expression",
    "cci_get_means",
    "cci_get_diff_interactions",
    "cci_remove_common",
    "cci_get_ni_mat",
    "cci_get_df_to_plot",
    "filter_gsa_result",
    "compute_sample_div_index",
]


@pytest.mark.parametrize("dtype", ["object", *STRING_DTYPES])
@pytest.mark.parametrize("name", FRAME_FUNCTIONS)
def test_returned_frames_own_their_data(analyka, quiet, name, dtype):
    """A cell written into one returned frame shows in no other frame, returned or given."""
    for args, kwargs in workloads.valid_calls()[name]:
        if dtype != "object":
            args, kwargs = to_strings((args, kwargs), STRING_DTYPES[dtype])
        results = list(frames_in(getattr(analyka, name)(*args, **kwargs)))
        given = [f for f in frames_in((args, kwargs)) if not any(f is r for r in results)]
        for target in results:
            others = [f for f in results + given if f is not target]
            before = [f.copy(deep=True) for f in others]
            for j, dtype_j in enumerate(target.dtypes):
                if len(target) and not isinstance(dtype_j, pd.CategoricalDtype):
                    target.iloc[0, j] = changed(target.iloc[0, j])
            for frame, copy in zip(others, before, strict=True):
                pd.testing.assert_frame_equal(frame, copy)
