"""Ctrl-C during a long computation: run by test_interrupts.py in a child
interpreter, one workload per run; by hand, from the repository root:

    python -m tests.robustness.interrupting WORKLOAD

The input grows until one call takes about a second (or a memory cap is
reached). Then the call is repeated three times while SIGINT arrives at a
quarter, half and three quarters of that time (in up to five rounds, until
one signal lands during a call). Each interrupted call must
raise KeyboardInterrupt promptly and leave its inputs as they were, and a
last, uninterrupted call must give the first call's result. The signal comes
from a helper process, so that it arrives on time even while this process
holds the interpreter lock. Prints one JSON line.
"""

from __future__ import annotations

import ctypes
import hashlib
import json
import math
import os
import signal
import subprocess
import sys
import time
import types
import warnings

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp
import scipy.stats

import pelorkit.analyka as analyka
from tests.support import workloads

TARGET_SECONDS = 1.0
FRACTIONS = (0.25, 0.5, 0.75)
ROUNDS = 5


def digest(value, into=None):
    """A digest of everything `value` holds: array bytes (for object arrays
    the element pointers, so that a replaced element shows), frames with
    their index, dicts, AnnData obs and X, a namespace's attributes. Cheap on
    hundreds of megabytes."""
    top = into is None
    into = hashlib.blake2b() if top else into
    if isinstance(value, anndata.AnnData):
        digest(value.obs, into)
        digest(value.X, into)
    elif isinstance(value, types.SimpleNamespace):
        digest(vars(value), into)
    elif isinstance(value, pd.DataFrame):
        digest(value.index, into)
        into.update(repr(value.columns.tolist()).encode())
        if len(set(value.dtypes)) == 1 and isinstance(value.dtypes.iloc[0], np.dtype):
            # One numpy dtype: the columns as one array. Column by column, the
            # wide table of the group test (600,000 items) took 25 s a digest.
            digest(value.to_numpy(), into)
        else:
            for _, column in value.items():
                digest(column, into)
    elif isinstance(value, pd.Series | pd.Index):
        values = value.array
        if isinstance(values, pd.Categorical):
            digest(values.codes, into)
            digest(values.categories, into)
        else:
            digest(np.asarray(values), into)
    elif sp.issparse(value):
        for part in (value.data, value.indices, value.indptr):
            digest(part, into)
    elif isinstance(value, np.ndarray):
        array = np.ascontiguousarray(value)
        into.update(f"{array.dtype}{array.shape}".encode())
        into.update(ctypes.string_at(array.ctypes.data, array.nbytes))
    elif isinstance(value, dict | list | tuple):
        items = value.items() if isinstance(value, dict) else enumerate(value)
        for key, item in items:
            into.update(repr(key).encode())
            digest(item, into)
    else:
        into.update(repr(value).encode())
    return into.hexdigest() if top else into


# Each workload: the function, a builder of (args, kwargs) for a size, and
# the first and the largest size.
WORKLOADS = {
    "population": (
        "get_population",
        lambda n: (workloads.population_inputs(n), {}),
        4_000_000,
        64_000_000,
    ),
    "expression": (
        "get_gene_expression",
        lambda n: ((workloads.expression_adata(n, 2000, 100, 50),), {}),
        50_000,
        400_000,
    ),
    "expression, Dask chunks": (
        "get_gene_expression",
        lambda n: ((workloads.expression_dask_adata(n, 2000, 100, 50),), {}),
        50_000,
        400_000,
    ),
    "expression, backed file": (
        "get_gene_expression",
        lambda n: ((workloads.expression_backed_adata(n, 2000, 100, 50),), {}),
        50_000,
        400_000,
    ),
    "interaction counts": (
        "cci_get_ni_mat",
        lambda n: ((workloads.cci_tables(8, n, ids=False, n_types=30),), {"remove_common": False}),
        125_000,
        1_000_000,
    ),
    "group test": (
        "test_group_diff",
        lambda n: (workloads.sample_table(24, n), {}),
        200_000,
        1_600_000,
    ),
    # scipy's own column loop, which the group test calls where its native
    # path does not apply (see REBOUND)
    "group test, scipy's loop": (
        "test_group_diff",
        lambda n: (workloads.sample_table(24, n), {}),
        250,
        64_000,
    ),
    # The function reads adata.obs only: a holder of the table spares the
    # building of an AnnData of millions of cells.
    "diversity index": (
        "compute_sample_div_index",
        lambda n: ((types.SimpleNamespace(obs=workloads.tumour_obs(n, 50, 100)),), {}),
        500_000,
        4_000_000,
    ),
}

# Module attributes a workload replaces in the child before it runs: `stats`
# as a plain namespace holding scipy's function sends the group test to
# scipy's own loop.
REBOUND = {
    "group test, scipy's loop": lambda: {
        "stats": types.SimpleNamespace(ttest_ind=scipy.stats.ttest_ind)
    },
}

# Workloads that need an optional package, by the module they import.
REQUIRES = {"expression, Dask chunks": "dask.array", "expression, backed file": "h5py"}

HELPER = """
import os, signal, sys, time
for line in sys.stdin:
    pid, at = line.split()
    time.sleep(max(0.0, float(at) - time.monotonic()))
    os.kill(int(pid), signal.SIGINT)
    print(time.monotonic(), flush=True)
"""


class Interrupter:
    """SIGINT from a helper process at a given time; the handler raises
    KeyboardInterrupt only while a call is armed, so a late signal is dropped."""

    def __init__(self):
        self.armed = False
        signal.signal(signal.SIGINT, self.handle)
        self.helper = subprocess.Popen(
            [sys.executable, "-c", HELPER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )

    def handle(self, signum, frame):
        if self.armed:
            self.armed = False
            raise KeyboardInterrupt

    def call(self, function, args, kwargs, after):
        """(interrupted, seconds from the signal to the KeyboardInterrupt)."""
        start = time.monotonic()
        self.helper.stdin.write(f"{os.getpid()} {start + after}\n")
        self.helper.stdin.flush()
        self.armed = True
        try:
            function(*args, **kwargs)
            caught = None
        except KeyboardInterrupt:
            caught = time.monotonic()
        finally:
            self.armed = False
        sent = float(self.helper.stdout.readline())
        return caught is not None, None if caught is None else caught - sent

    def close(self):
        self.helper.stdin.close()
        self.helper.wait()


def timed(function, args, kwargs):
    start = time.perf_counter()
    result = function(*args, **kwargs)
    return result, time.perf_counter() - start


def same_result(a, b):
    if isinstance(a, tuple | list):
        return len(a) == len(b) and all(same_result(x, y) for x, y in zip(a, b, strict=True))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_result(a[k], b[k]) for k in a)
    if isinstance(a, pd.DataFrame):
        try:
            pd.testing.assert_frame_equal(a, b, check_exact=True)
        except AssertionError:
            return False
        return True
    return bool(np.all(a == b))


# The one function that writes into its input: the column it adds.
WRITTEN_COLUMN = {"compute_sample_div_index": "sample_diversity_index"}


def built(name):
    """Whether the workload's function answers a small call (stubs raise
    NotImplementedError)."""
    function_name, build = WORKLOADS[name][:2]
    args, kwargs = build(1000)
    try:
        getattr(analyka, function_name)(*args, **kwargs)
    except NotImplementedError:
        return False
    return True


def run(name):
    function_name, build, size, largest = WORKLOADS[name]
    for attribute, value in REBOUND.get(name, dict)().items():
        setattr(analyka, attribute, value)
    function = getattr(analyka, function_name)
    if not built(name):
        return {"status": "unbuilt", "function": function_name}

    # Grow the input until a call takes about TARGET_SECONDS.
    while True:
        args, kwargs = build(size)
        reference, seconds = timed(function, args, kwargs)
        if seconds >= TARGET_SECONDS or size >= largest:
            break
        size = min(largest, size * min(8, max(2, math.ceil(1.5 * TARGET_SECONDS / seconds))))
        del args, kwargs, reference
    # Time a second call: the first may pay one-off costs (pandas caches, page
    # faults) that would put every signal after the end of a warm call.
    _, seconds = timed(function, args, kwargs)

    # An interrupted call writes its column completely or not at all.
    written = WRITTEN_COLUMN.get(function_name)
    if written:
        complete = args[0].obs.pop(written)

    def left_alone():
        if written and written in args[0].obs:
            if not args[0].obs.pop(written).equals(complete):
                return False
        return digest([args, kwargs]) == before

    before = digest([args, kwargs])
    interrupter = Interrupter()
    delays, untouched = [], []
    try:
        # A call that stays short at the largest size may end before every
        # signal of a round; a few more rounds make one land.
        for _ in range(ROUNDS):
            for fraction in FRACTIONS:
                interrupted, delay = interrupter.call(function, args, kwargs, fraction * seconds)
                if interrupted:
                    delays.append(delay)
                    untouched.append(left_alone())
            if delays:
                break
    finally:
        interrupter.close()
    after = function(*args, **kwargs)
    return {
        "status": "done",
        "function": function_name,
        "size": size,
        "seconds": seconds,
        "delays": delays,
        "inputs_left_alone": all(untouched),
        "same_result_after": same_result(reference, after),
    }


if __name__ == "__main__":
    warnings.simplefilter("ignore")
    print(json.dumps(run(sys.argv[1])))
