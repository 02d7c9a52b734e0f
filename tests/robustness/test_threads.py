"""Eight threads calling a function at once on shared inputs get exactly the
result of a call made alone. The counting, scanning and moment kernels run
without the interpreter lock, so the threads really overlap there; the
display and sample-map functions switch threads at every Python call they
make. The readers' cases are named readers.<function>."""

import threading

import numpy as np
import pandas as pd
import pytest

from tests.support import workloads

THREADS = 8
ROUNDS = 3


# Each case builds its inputs when its test runs and returns what each
# thread calls to get its arguments.
def shared(build):
    """Every thread gets the very same argument objects."""

    def arguments():
        args, kwargs = build()
        return lambda: (args, kwargs)

    return arguments


def own_anndata_over_shared_columns(build):
    """A fresh AnnData per thread over the same obs columns: the function
    writes one obs column, and a pandas frame is not safe to change from
    several threads at once."""

    def arguments():
        adata = build()

        def per_thread():
            own = adata.copy()
            own.obs = adata.obs.copy(deep=False)
            return (own,), {}

        return per_thread

    return arguments


CASES = {
    "get_population": shared(lambda: (workloads.population_inputs(400_000), {})),
    "get_population/sorted": shared(
        lambda: (workloads.population_inputs(100_000), {"sort_by": ["T003", "T001"]})
    ),
    "get_gene_expression": shared(lambda: ((workloads.expression_adata(20_000, 500, 25, 20),), {})),
    "get_gene_expression/items": shared(
        lambda: ((workloads.expression_adata(20_000, 500, 25, 20), ["G007", "G002"]), {})
    ),
    "get_gene_expression/backed": shared(
        lambda: ((workloads.expression_backed_adata(20_000, 500, 25, 20), ["G007", "G002"]), {})
    ),
    "get_gene_expression/dask": shared(
        lambda: ((workloads.expression_dask_adata(20_000, 500, 25, 20),), {})
    ),
    "cci_get_ni_mat": shared(lambda: ((workloads.cci_tables(4, 50_000, n_types=20),), {})),
    "cci_get_means": shared(
        lambda: (
            ({k: t[~t.index.duplicated()] for k, t in workloads.cci_tables(4, 20_000).items()},),
            {"pval_cutoff": 0.01},
        )  # fmt: skip
    ),
    "cci_get_diff_interactions": shared(lambda: (workloads.sample_table(24, 20_000), {})),
    "test_group_diff": shared(
        lambda: (workloads.sample_table(24, 20_000), {"ref_group": "grp1", "pval_cutoff": 0.2})
    ),
    "compute_sample_div_index": own_anndata_over_shared_columns(
        lambda: workloads.tumour_adata(200_000, 20, 30)
    ),
    "get_sample_to_group_dict": shared(
        lambda: (([f"S{i % 97}" for i in range(20_000)], [i % 3 for i in range(20_000)]), {})
    ),
    "show_anndata_tree": shared(lambda: ((workloads.display_adata(),), {"max_depth": 4})),
}


def kidney_head(rows):
    """The first rows of the kidney result's two tables, as read_cellphonedb's arguments."""
    means, pvals = workloads.kidney_result()
    return (), {"means": means.head(rows), "pvalues": pvals.head(rows)}


# The readers, which write their ids without the interpreter lock.
CASES |= {
    "readers.read_cellphonedb": shared(lambda: kidney_head(200)),
    "readers.read_liana": shared(lambda: ((workloads.liana_results(2_000), "sample"), {})),
}


def assert_same(expected, actual):
    if isinstance(expected, pd.DataFrame) and set(expected.dtypes) == {np.dtype(float)}:
        # The wide float tables (16,000 interactions) in one comparison:
        # pandas' own check takes a second per frame, column by column.
        assert type(actual) is type(expected)
        pd.testing.assert_index_equal(actual.index, expected.index, exact=True)
        pd.testing.assert_index_equal(actual.columns, expected.columns, exact=True)
        assert set(actual.dtypes) == {np.dtype(float)}
        assert np.array_equal(actual.to_numpy(), expected.to_numpy(), equal_nan=True)
    elif isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(actual, expected, check_exact=True)
    elif isinstance(expected, dict):
        assert list(actual) == list(expected)
        for key in expected:
            assert_same(expected[key], actual[key])
    elif isinstance(expected, tuple | list):
        assert type(actual) is type(expected) and len(actual) == len(expected)
        for e, a in zip(expected, actual, strict=True):
            assert_same(e, a)
    else:
        assert type(actual) is type(expected)
        assert np.all(actual == expected)


def call_together(function, arguments):
    """Every thread's results, after all threads started calling at once."""
    start = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def work(slot):
        try:
            args, kwargs = arguments()
            start.wait()
            results[slot] = [function(*args, **kwargs) for _ in range(ROUNDS)]
        except BaseException as error:  # reported below, in the test's thread
            errors.append(error)
            start.abort()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return [result for rounds in results for result in rounds]


# Cases that need an optional package, by the module they import.
REQUIRES = {"get_gene_expression/backed": "h5py", "get_gene_expression/dask": "dask.array"}


@pytest.mark.parametrize("case", list(CASES))
def test_threads_get_the_result_of_a_lone_call(analyka, readers, case):
    if case in REQUIRES:
        pytest.importorskip(REQUIRES[case])
    module = readers if case.startswith("readers.") else analyka
    function = getattr(module, case.removeprefix("readers.").split("/")[0])
    arguments = CASES[case]()
    args, kwargs = arguments()
    try:
        expected = function(*args, **kwargs)
    except NotImplementedError:
        pytest.skip(f"{function.__name__} is not built yet")
    for result in call_together(function, arguments):
        assert_same(expected, result)
