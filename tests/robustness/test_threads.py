"""Eight threads calling a function at once on shared inputs get exactly the
result of a call made alone. The counting, scanning and moment kernels run
without the interpreter lock, so the threads really overlap there; the
display and sample-map functions switch threads at every Python call they
make. The readers' cases are named readers.<function>. The kernels on the
thread pool give the same result for every pool size, and keep to one thread
inside Dask tasks."""

import os
import pickle
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from tests.support import workloads
from tests.support.inputs import warns_if

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


# Cases whose input is meant to draw a warning, and its text.
WARNS = {
    "cci_get_ni_mat": "on more than one row, and each row is counted",  # random ids repeat
    "readers.read_liana": "to more than one row of a sample",
}

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
    with warns_if(case in WARNS, WARNS.get(case)):  # from every thread's calls too
        try:
            expected = function(*args, **kwargs)
        except NotImplementedError:
            pytest.skip(f"{function.__name__} is not built yet")
        results = call_together(function, arguments)
    for result in results:
        assert_same(expected, result)


# Inputs past every kernel's threshold for the pool: a million cells and
# more, labels with rare values that first appear late (codes the pieces
# number out of order), a CSR matrix of several million entries, many CCI ids.
# The child prints the pickled results of each case and how many threads the
# process ran.
THREAD_COUNT_CHILD = """
import os, pickle, sys
import numpy as np
import pandas as pd
import pelorkit.analyka as pk
from tests.support import workloads

n = 1_300_000
rng = np.random.default_rng(5)
pids, cts = workloads.population_inputs(n, n_samples=30, n_types=12)
late = rng.integers(0, 40, n)
late[: n - 50_000] %= 7
words = np.array([f"type {i}" for i in range(40)])
dense = workloads.expression_adata(30_000, 120, 40, 12)
dense.X = dense.X.toarray()
by_columns = dense.copy()
by_columns.X = np.asfortranarray(dense.X)
cases = {
    "population/categorical": lambda: pk.get_population(pids, cts),
    "population/integers, strings": lambda: pk.get_population(late, words[late[::-1]]),
    "expression": lambda: pk.get_gene_expression(
        workloads.expression_adata(300_000, 400, 25, 12)
    ),
    "expression, dense": lambda: pk.get_gene_expression(dense),
    "expression, dense by columns": lambda: pk.get_gene_expression(by_columns),
    "cci_get_means": lambda: pk.cci_get_means(
        {k: t[~t.index.duplicated()] for k, t in workloads.cci_tables(6, 60_000).items()}
    ),
}
results = {name: case() for name, case in cases.items()}
threads = len(os.listdir("/proc/self/task")) if os.path.isdir("/proc/self/task") else None
sys.stdout.buffer.write(pickle.dumps((results, threads)))
"""


def test_every_thread_count_gives_the_same_result(tmp_path):
    # The pool's size is read once, at start-up: each count gets its own
    # interpreter.
    runs = {}
    for count in (1, 2, 3, 8):
        env = dict(os.environ, PELORKIT_NUM_THREADS=str(count))
        done = subprocess.run(
            [sys.executable, "-c", THREAD_COUNT_CHILD],
            env=env,
            capture_output=True,
            check=False,
            cwd=Path(__file__).resolve().parents[2],
        )
        assert done.returncode == 0, done.stderr.decode()
        runs[count] = pickle.loads(done.stdout)
    expected, alone = runs[1]
    for count in (2, 3, 8):
        results, threads = runs[count]
        assert list(results) == list(expected)
        for name in expected:
            assert_same(expected[name], results[name])
        if alone is not None:
            assert threads > alone, "the pool never started its workers"


@pytest.mark.parametrize("scheduler", ["threads", "processes", "sync", "distributed"])
def test_dask_tasks_keep_the_kernels_to_one_thread(analyka, scheduler):
    # _blocks.thread_budget() is the hook that says how many threads a kernel
    # called from where it runs may use.
    dask = pytest.importorskip("dask")
    budget = sys.modules["pelorkit.analyka._blocks"].thread_budget
    outside = budget()
    in_task = outside if os.environ.get("PELORKIT_NUM_THREADS") else 1
    if scheduler == "sync":  # tasks run in the caller's thread, one at a time
        in_task = outside
    if scheduler == "distributed":
        distributed = pytest.importorskip("distributed")
        with (
            distributed.LocalCluster(
                n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            assert client.submit(budget, pure=False).result() == in_task
    else:
        assert dask.delayed(budget)().compute(scheduler=scheduler) == in_task
    assert budget() == outside
