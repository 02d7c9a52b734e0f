"""Calling a function many times, on success and on error paths, leaves the
reference counts of its arguments and of the modules' default objects
unchanged and the process's memory flat."""

import contextlib
import gc
import gzip
import os
import shutil
import sys
import tarfile
import types
import warnings
import zipfile

import numpy as np
import pandas as pd
import pytest

import pelorkit.fetchora
import pelorkit.readers
from tests.robustness.hostile import Boom, RaisingItems, RaisingShape, RaisingText, Text
from tests.support import workloads
from tests.support.fetch_data import h5ad_bytes
from tests.support.modules import own_functions

# Under the sanitizers only the reference counts are checked, on a tenth of
# the calls: ASan keeps freed memory in quarantine, so memory does grow.
SANITIZED = bool(os.environ.get("PELORKIT_SANITIZED"))
CALLS = 10_000
# Functions that build pandas frames take about a millisecond per call, and
# the loaders that read an .h5ad file with anndata several: they make fewer
# calls so that CI stays fast. A reference kept per call shows after one
# call; memory kept per call shows once it adds up to MEMORY_SLACK.
FRAME_CALLS = 2_000
LOADER_CALLS = 300
# Calls that write files spend milliseconds in the file system.
FILE_CALLS = 1_000
WARM_UP = 30
MEMORY_SLACK = 2 << 20


def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# -- what is watched -----------------------------------------------------------
SHARED = (str, int, float, bool, type(None), bytes, complex)


def watched(value, depth=0):
    """The argument and the objects it holds (one level down): containers,
    frames, arrays. Shared scalars (small ints, interned strings) are left
    out: other code changes their counts all the time."""
    if isinstance(value, SHARED) or isinstance(value, np.generic):
        return []
    found = [value]
    if depth == 0:
        if isinstance(value, dict):
            inner = list(value.values())
        elif isinstance(value, list | tuple):
            inner = list(value)
        elif type(value).__name__ == "AnnData":
            inner = [value.obs, value.var, value.X, value.uns]
        else:
            inner = []
        for item in inner:
            found += watched(item, depth + 1)
    return found


def module_defaults(module):
    """Every function object of the module, its defaults tuple and the
    mutable default objects in it, plus the catalogs of the loading module."""
    found = []
    functions = own_functions(module)
    for name, value in vars(module).items():
        if name in functions:
            found.append(value)
            if value.__defaults__:
                found.append(value.__defaults__)
                found += [d for d in value.__defaults__ if not isinstance(d, SHARED)]
        elif name.endswith("_dict") and isinstance(value, dict):
            found.append(value)
    return found


def counts(objects):
    return [sys.getrefcount(o) for o in objects]


def run_repeatedly(function, args, kwargs, raises, calls):
    """Calls function(*args, **kwargs) `calls` times after a warm-up; every
    call must raise `raises` (when given), none may change what is watched."""
    expected = raises or ()

    def once():
        try:
            function(*args, **kwargs)
        except expected:
            return
        if raises:
            raise AssertionError(f"{function.__name__} did not raise {raises.__name__}")

    try:
        function(*args, **kwargs)
    except NotImplementedError:
        pytest.skip(f"{function.__name__} is not built yet")
    except Exception:
        pass
    for _ in range(WARM_UP):
        once()
    objects = [o for v in [*args, *kwargs.values()] for o in watched(v)]
    objects += module_defaults(sys.modules[function.__module__])
    gc.collect()
    before, memory = counts(objects), rss()
    for _ in range(calls // 10 if SANITIZED else calls):
        once()
    gc.collect()
    after = counts(objects)
    changed = [
        (type(o).__name__, b, a) for o, b, a in zip(objects, before, after, strict=True) if a != b
    ]
    assert not changed, f"reference counts changed (type, before, after): {changed}"
    if not SANITIZED:
        grown = rss() - memory
        assert grown < MEMORY_SLACK, f"memory grew by {grown >> 10} KiB"


# -- the analysis module ------------------------------------------------------------
def case(*args, _raises=None, _calls=CALLS, **kwargs):
    return args, kwargs, _raises, _calls


def fails(raises, *args, _calls=CALLS, **kwargs):
    return case(*args, _raises=raises, _calls=_calls, **kwargs)


# Functions whose calls build pandas frames (FRAME_CALLS calls each).
BUILDS_FRAMES = {
    "get_population", "get_gene_expression", "cci_get_means", "get_cci_means",
    "cci_get_diff_interactions", "test_group_diff", "cci_remove_common", "cci_get_ni_mat",
    "get_cci_ni_mat", "cci_get_df_to_plot", "get_markers_from_deg", "filter_gsa_result",
    "evaluate_performance", "compute_sample_div_index",
}  # fmt: skip


def analysis_cases():
    cases = {
        name: [
            case(*a, _calls=FRAME_CALLS if name in BUILDS_FRAMES else CALLS, **k) for a, k in calls
        ]
        for name, calls in workloads.valid_calls().items()
    }
    table, groups = workloads.sample_table(6, 5, n_groups=2)
    pids, cts = workloads.population_inputs(60, n_samples=3, n_types=4)
    expression = workloads.expression_adata(30, n_genes=6, per_row=3, n_samples=3)
    y = np.array(["Tumor", "Tumor", "Normal", "Normal", "Tumor"])
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"]})
    nested = {"a": 1, "bb": {"x": [1, 2], "y": "hi"}}
    looped = {}
    looped["again"] = looped
    failing = {
        "get_sample_to_group_dict": [
            fails(IndexError, [1.5, np.nan], ["A", "B"]),  # NaN equals no record
            fails(TypeError, [frame, frame], ["A", "B"]),  # unhashable
            fails(IndexError, ["S1", "S2", "S1"], ["A", "B"]),
        ],
        "get_sample_to_group_map": [fails(TypeError, ["S1"])],
        "get_population": [fails(KeyError, pids, cts, sort_by=["no such type"])],
        "get_gene_expression": [fails(KeyError, expression, group_col="no such column")],
        "cci_get_means": [fails(KeyError, {"S1": frame})],
        "get_cci_means": [fails(AttributeError, None)],
        "cci_get_diff_interactions": [fails(KeyError, table, {"S000": "grp0"})],
        "test_group_diff": [fails(KeyError, table, {})],
        "cci_remove_common": [fails(AttributeError, None)],
        "cci_get_ni_mat": [fails(KeyError, {"S1": frame}, False)],
        "get_cci_ni_mat": [fails(AttributeError, None)],
        "cpdb_get_gp_n_cp": [fails(IndexError, "A_B--X"), fails(AttributeError, 5)],
        "cci_get_df_to_plot": [fails(KeyError, {"S1": frame})],
        "get_markers_from_deg": [fails(KeyError, {"T_x": frame}, ref_col="a")],
        "filter_gsa_result": [
            fails(KeyError, {"k": frame}, 1.0),
            fails(TypeError, workloads.gsa_tables()),
        ],
        "get_abbreviations": [fails(TypeError, frame)],
        "get_abbreviations_uni": [fails(TypeError, bogus=frame)],
        "split_text": [fails(TypeError, frame, 0), fails(TypeError, "text", s="again")],
        "evaluate_performance": [
            fails(ValueError, pd.Series(y), pd.Series(y, index=list("abcde")), _calls=FRAME_CALLS)
        ],
        "compute_sample_div_index": [
            fails(KeyError, workloads.tumour_adata(40, 3, 3), cluster_col="no such column")
        ],
        "get_axes": [
            fails(ZeroDivisionError, [[1, 2]], 2, 0, 1),
            fails(Boom, RaisingItems(), 1, 1, 0),
        ],
        "_get_value_info": [fails(TypeError, frame, key_name="k"), fails(Boom, RaisingShape())],
        "_display_dict_or_dataframe_recursive": [
            fails(TypeError, nested, 0, "", limited_keys=[], ss=Text("x")),
            fails(Boom, {RaisingText(): 1}, 0, "", limited_keys=[]),
        ],
        "show_anndata_tree": [
            fails(TypeError, nested, limited_keys=5),
            # Unwinds a hundred levels per call.
            fails(RecursionError, looped, max_depth=10**6, limited_keys=[], _calls=500),
        ],
    }
    assert set(failing) == set(cases)
    cases["get_gene_expression"] += beyond_memory_cases()
    return {name: cases[name] + failing[name] for name in cases}


def beyond_memory_cases():
    """X in a backed file (whole and a view, listed genes) and in Dask chunks,
    where h5py and dask are installed."""
    found = []
    with contextlib.suppress(ImportError):
        import h5py  # noqa: F401

        backed = workloads.expression_backed_adata(200, n_genes=30, per_row=6, n_samples=3)
        found += [
            case(backed, _calls=LOADER_CALLS),
            case(backed[50:150:2], ["G007", "G001", "G007"], _calls=LOADER_CALLS),
            fails(KeyError, backed, ["G001", "no such gene"], _calls=LOADER_CALLS),
        ]
    with contextlib.suppress(ImportError):
        dask_x = workloads.expression_dask_adata(200, n_genes=30, per_row=6, n_samples=3)
        found += [case(dask_x, ["G003"], _calls=LOADER_CALLS)]
    return found


ANALYSIS = analysis_cases()


@pytest.mark.parametrize(
    "name, case",
    [(name, i) for name, cases in ANALYSIS.items() for i in range(len(cases))],
)
def test_analysis_calls_leave_counts_and_memory_unchanged(analyka, quiet, name, case):
    args, kwargs, raises, calls = ANALYSIS[name][case]
    # A self-containing dictionary goes as deep as the recursion limit allows.
    shallow = raises is RecursionError
    with workloads.recursion_headroom(200) if shallow else contextlib.nullcontext():
        run_repeatedly(getattr(analyka, name), args, kwargs, raises, calls)


def test_every_analysis_function_has_cases(analyka):
    assert set(own_functions(analyka)) == set(ANALYSIS)


# -- the loading module -------------------------------------------------------------
class FakeGdown:
    """Copies a prepared local file to the output path, or raises."""

    def __init__(self):
        self.payload = None

    def download(self, url, output, quiet=False):
        if self.payload is None:
            raise Boom("no such file id")
        shutil.copyfile(self.payload, output)
        return output


def archives(folder):
    """Archives of one small .h5ad file in each format the loaders unpack."""
    data = h5ad_bytes()
    paths = types.SimpleNamespace(
        gz=folder / "member.h5ad.gz",
        zip=folder / "member.zip",
        tar=folder / "member.tar.gz",
        junk=folder / "junk",
    )
    paths.gz.write_bytes(gzip.compress(data))
    with zipfile.ZipFile(paths.zip, "w") as archive:
        archive.writestr("member.h5ad", data)
    source = folder / "member.h5ad"
    source.write_bytes(data)
    with tarfile.open(paths.tar, "w:gz") as archive:
        archive.add(source, arcname="member.h5ad")
    paths.junk.write_bytes(b"not an archive")
    return paths


@pytest.fixture
def loading(fetchora, monkeypatch, workdir, tmp_path_factory):
    gdown = FakeGdown()
    monkeypatch.setattr(fetchora, "gdown", gdown)
    monkeypatch.setattr(fetchora, "print", lambda *args, **kwargs: None, raising=False)
    return types.SimpleNamespace(gdown=gdown, files=archives(tmp_path_factory.mktemp("archives")))


def download(payload, *args, _raises=None, _calls=FILE_CALLS, **kwargs):
    """A loading case: what the fake gdown hands out (an archive of
    `archives`, or None: it raises), then the call."""
    return payload, args, kwargs, _raises, _calls


def loading_cases(f):
    s = str
    return {
        "download_from_google_drive": [
            download("zip", "file-id"),
            download("zip", 42, "out.bin"),
            download(None, "file-id", _raises=Boom, _calls=CALLS),
        ],
        "decompress_gz": [
            download(None, s(f.gz), "out.h5ad", False),
            download(None, s(f.junk), "out.bin", False),  # swallowed: None
        ],
        "decompress_zip": [
            download(None, s(f.zip), "zip_out", False),
            download(None, s(f.junk), remove_zip=False, _calls=CALLS),
        ],
        "decompress_zip_and_move": [
            download(None, s(f.zip), remove_zip=False),
            download(None, "missing.zip", _calls=CALLS),  # a message, None
            download(None, extract_dir="x", _raises=TypeError, _calls=CALLS),
        ],
        "decompress_tar_gz": [
            download(None, s(f.tar), False),
            download(None, s(f.zip), False, _calls=CALLS),  # swallowed: None
        ],
        "load_h5ad": [
            download("zip", "Lung", _calls=LOADER_CALLS),
            download("zip", "no such tissue", _calls=CALLS),
            download(None, "Lung", _raises=Boom, _calls=CALLS),
        ],
        "load_anndata": [
            download("gz", "Lung", "gz", _calls=LOADER_CALLS),
            download("junk", "Lung", "zip", _raises=TypeError),  # the reader gets None
        ],
        "load_sample_data": [
            download("zip", "file-id", _calls=LOADER_CALLS),
            download("zip", "file-id", "rar"),
            download(None, "file-id", _calls=CALLS),
        ],
        "load_pelor_processed_anndata": [
            download("tar", "Lung", _calls=LOADER_CALLS),
            download(None, "Lung", _calls=CALLS),
            download("tar", _calls=CALLS),  # no tissue: a message, None
        ],
        "load_pelor_processed_sample_data": [
            download("tar", "file-id", _calls=LOADER_CALLS),
            download("gz", "Lung", "gz", _calls=LOADER_CALLS),
            download("junk", "file-id", "zip", _raises=TypeError),
        ],
    }


@pytest.mark.parametrize("name", list(own_functions(pelorkit.fetchora)))
def test_loading_calls_leave_counts_and_memory_unchanged(fetchora, loading, name):
    for payload, args, kwargs, raises, calls in loading_cases(loading.files)[name]:
        loading.gdown.payload = None if payload is None else getattr(loading.files, payload)
        run_repeatedly(getattr(fetchora, name), args, kwargs, raises, calls)


def test_every_loading_function_has_cases(fetchora, loading):
    assert set(loading_cases(loading.files)) == set(own_functions(fetchora))


# -- the reader module -------------------------------------------------------------
# A reader call builds frames for some milliseconds; a result table kept per
# call (tens of kilobytes) adds up to MEMORY_SLACK well within these calls.
READER_CALLS = 500


def reader_cases(folder):
    """Calls of the readers on frames, on a run's files and on mistakes."""
    means, pvals = workloads.cellphonedb_run()
    tables = workloads.v5_names("statistical_analysis", "01_15_2024_093000", means, pvals)
    run = workloads.write_run(folder / "run", **tables)
    liana = workloads.liana_results(40)
    calls = {
        name: [case(*a, _calls=READER_CALLS, **k) for a, k in found]
        for name, found in workloads.reader_calls().items()
    }
    calls["read_cellphonedb"] += [
        case(str(run), _calls=LOADER_CALLS),
        case({"a": run, "b": str(run)}, _calls=LOADER_CALLS),
        fails(FileNotFoundError, str(folder / "missing")),
        fails(FileNotFoundError, str(folder), _calls=FILE_CALLS),  # no run in it
        fails(ValueError, means=means, pvalues=pvals.iloc[1:], _calls=READER_CALLS),
        fails(ValueError, means=means, pvalues=means, _calls=READER_CALLS),  # means as p-values
        fails(ValueError, means=means, pvalues=pvals, sample_sep="::", _calls=READER_CALLS),
        fails(TypeError, means=means),
    ]
    calls["read_liana"] += [
        fails(ValueError, liana, "no such column"),
        fails(ValueError, liana.assign(source="A|B"), "sample", _calls=READER_CALLS),
        fails(TypeError, {"sample": [1]}, "sample"),
    ]
    return calls


@pytest.mark.parametrize("name", list(own_functions(pelorkit.readers)))
def test_reader_calls_leave_counts_and_memory_unchanged(readers, tmp_path, name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the notes on repeated ids, once per call
        for args, kwargs, raises, calls in reader_cases(tmp_path)[name]:
            run_repeatedly(getattr(readers, name), args, kwargs, raises, calls)


def test_every_reader_function_has_cases(readers, tmp_path):
    assert set(reader_cases(tmp_path)) == set(own_functions(readers))


# -- the check itself ------------------------------------------------------------
KEPT = []


def keeps_its_argument(value):
    KEPT.append(value)


def keeps_memory(value):
    KEPT.append(bytearray(1 << 16))  # 128 MB over 2,000 calls: more than freed memory can hide


@pytest.mark.parametrize("leaky", [keeps_its_argument, keeps_memory])
def test_the_check_sees_what_a_call_keeps(analyka, leaky):
    if leaky is keeps_memory and SANITIZED:
        pytest.skip("memory is not measured under the sanitizers")
    leaky.__module__ = analyka.__name__
    try:
        with pytest.raises(AssertionError):
            run_repeatedly(leaky, ([],), {}, None, 2_000)
    finally:
        KEPT.clear()
