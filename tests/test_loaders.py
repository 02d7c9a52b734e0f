"""The sample-data loaders: catalog lookup, download, unpacking and reading,
with every failure each loader reports, swallows or passes on."""

import gzip
import os
import pathlib
import tarfile
import types

import anndata
import pytest

from tests.support.fetch_data import (
    DRIVE_URL,
    FakeGdown,
    assert_small_adata,
    h5ad_bytes,
    tar_entry,
    tar_gz_of,
    zip_of,
)

LOADERS = [
    "load_h5ad",
    "load_anndata",
    "load_sample_data",
    "load_pelor_processed_anndata",
    "load_pelor_processed_sample_data",
]
# The argument each loader gets in the failure matrix: a catalog name where
# only names are accepted, a file identifier where identifiers are.
ARG = {
    "load_h5ad": "Lung",
    "load_anndata": "Lung",
    "load_sample_data": "file-id-1",
    "load_pelor_processed_anndata": "Lung",
    "load_pelor_processed_sample_data": "file-id-1",
}
PROCESSED = {"load_pelor_processed_anndata", "load_pelor_processed_sample_data"}


@pytest.fixture
def drive(fetchora, monkeypatch, workdir, tmp_path_factory):
    """A fake gdown; drive.archive(kind, content) builds what it will hand out."""
    fake = FakeGdown()
    store = tmp_path_factory.mktemp("archives")

    def archive(kind, content=None):
        content = h5ad_bytes() if content is None else content
        path = store / f"{kind}-{len(os.listdir(store))}"
        if kind == "zip":
            zip_of(path, {"member.h5ad": content})
        elif kind == "gz":
            path.write_bytes(gzip.compress(content))
        elif kind == "tar.gz":
            tar_gz_of(path, [tar_entry("pkg", tarfile.DIRTYPE), ("pkg/member.h5ad", content)])
        else:
            path.write_bytes(content)
        fake.payload = path

    fake.archive = archive
    monkeypatch.setattr(fetchora, "gdown", fake)
    return fake


def key_list(fetchora, loader):
    catalog = "processed_sample_data_fid_dict" if loader in PROCESSED else "sample_data_fid_dict"
    return ", ".join(getattr(fetchora, catalog))


def unpack_message(file_type, arg, ok):
    """What the unpacking step itself prints before any loader message."""
    if file_type == "zip":
        return "" if ok else "오류 발생: File is not a zip file\n"
    if not ok:
        return ""
    if file_type == "gz":
        name = "Lung" if arg == "Lung" else "downloaded"
        return f"File saved to: {name}.h5ad\n"
    return "File saved to: member.h5ad\n"


# success


@pytest.mark.parametrize("file_type", ["zip", "gz", "tar.gz"])
@pytest.mark.parametrize(
    "loader, arg",
    [(name, "Lung") for name in LOADERS]
    + [("load_sample_data", "file-id-1"), ("load_pelor_processed_sample_data", "file-id-1")],
)
def test_loads_each_archive_type(fetchora, drive, capsys, monkeypatch, loader, arg, file_type):
    reads = []
    monkeypatch.setattr(
        fetchora,
        "anndata",
        types.SimpleNamespace(read_h5ad=lambda p: reads.append(p) or anndata.read_h5ad(p)),
    )
    drive.archive(file_type)
    result = getattr(fetchora, loader)(arg, file_type)

    expected_file = "member.h5ad"
    if file_type == "gz":
        expected_file = "Lung.h5ad" if arg == "Lung" else "downloaded.h5ad"
    if loader == "load_h5ad":
        assert result == expected_file and type(result) is str
    else:
        assert_small_adata(result)
    # load_anndata checks the file inside load_h5ad and reads it again for the result
    twice = loader == "load_anndata" or (loader == "load_sample_data" and arg == "Lung")
    assert reads == [expected_file] * (2 if twice else 1)

    catalog = "processed_sample_data_fid_dict" if loader in PROCESSED else "sample_data_fid_dict"
    file_id = getattr(fetchora, catalog)["Lung"] if arg == "Lung" else arg
    assert drive.calls == [((DRIVE_URL + file_id, "downloaded"), {"quiet": False})]
    assert os.listdir() == [expected_file]  # archive removed, no scratch directory left
    assert capsys.readouterr().out == unpack_message(file_type, arg, ok=True)


def test_catalog_is_read_at_each_call(fetchora, drive, monkeypatch, capsys):
    monkeypatch.setitem(fetchora.sample_data_fid_dict, "Mine", "my-own-file-id")
    monkeypatch.delitem(fetchora.sample_data_fid_dict, "Lung")
    drive.archive("zip")
    assert fetchora.load_h5ad("Mine") == "member.h5ad"
    assert drive.urls == [DRIVE_URL + "my-own-file-id"]
    assert fetchora.load_anndata("Lung") is None
    keys = list(fetchora.sample_data_fid_dict)
    assert keys[-1] == "Mine" and "Lung" not in keys
    assert capsys.readouterr().out == f"tissue must be one of {', '.join(keys)}. \n"


@pytest.mark.parametrize(
    "caller, callee, keyword",
    [
        ("load_anndata", "load_h5ad", True),
        ("load_sample_data", "load_anndata", False),
        ("load_pelor_processed_sample_data", "load_pelor_processed_anndata", False),
    ],
)
def test_catalog_names_are_passed_on(fetchora, drive, monkeypatch, caller, callee, keyword):
    calls, sentinel = [], None if keyword else object()
    monkeypatch.setattr(fetchora, callee, lambda *a, **k: calls.append((a, k)) or sentinel)
    assert getattr(fetchora, caller)("Lung", "gz") is sentinel
    assert calls == [(("Lung",), {"file_type": "gz"}) if keyword else (("Lung", "gz"), {})]
    assert drive.calls == []


# failure matrix

RAISES = "raises"
FILE_ID_LINES = [
    "ERROR: The file_id you requested does not exist.",
    "You can try one of {keys}. ",
]
THREE_FILE_TYPE_LINES = [
    "ERROR: The file_type might be a wrong one.",
    "You can try with one of tar.gz or gz for file_type argument. ",
    "Or, You can try one of {keys} for file_id_or_tissue_name. ",
]
TWO_FILE_TYPE_LINES = [
    "ERROR: The file_type might be a wrong one.",
    "You can try with one of tar.gz, zip, or gz for file_type argument. ",
]
READ_LINES = [
    "ERROR: Cannot read the downloaded file.",
    "You can try one of {keys} for file_id_or_tissue_name. ",
]


def check(fetchora, capsys, loader, expected, call, error_type=None, before=""):
    """Runs call(): expected is RAISES (an error_type must come out, and is
    returned) or the loader's own message lines (the result must be None).
    `before` is what the unpacking step prints first."""
    raised, lines = None, []
    if expected is RAISES:
        with pytest.raises(error_type) as info:
            call()
        raised = info.value
    else:
        assert call() is None
        lines = [line.format(keys=key_list(fetchora, loader)) for line in expected]
    assert capsys.readouterr().out == before + "".join(line + "\n" for line in lines)
    return raised


@pytest.mark.parametrize("loader", ["load_h5ad", "load_anndata", "load_pelor_processed_anndata"])
@pytest.mark.parametrize("name", ["lung", "Melanoma-x", None, ["Lung"]])
def test_unknown_names_are_refused_without_download(fetchora, drive, capsys, loader, name):
    assert getattr(fetchora, loader)(name) is None
    assert capsys.readouterr().out == f"tissue must be one of {key_list(fetchora, loader)}. \n"
    assert drive.calls == []
    if loader == "load_pelor_processed_anndata":
        assert fetchora.load_pelor_processed_anndata() is None
        assert fetchora.load_pelor_processed_anndata("Melanoma") is None  # not processed
        assert capsys.readouterr().out.count("tissue must be one of") == 2


@pytest.mark.parametrize(
    "loader, arg, text",
    [
        ("load_sample_data", "lung", "lung"),
        ("load_sample_data", 12345, "12345"),
        ("load_pelor_processed_sample_data", None, "None"),
        ("load_pelor_processed_sample_data", "Melanoma", "Melanoma"),
    ],
)
def test_unknown_names_are_downloaded_as_identifiers(fetchora, drive, loader, arg, text):
    drive.archive("tar.gz")
    assert_small_adata(getattr(fetchora, loader)(arg, "tar.gz"))
    assert drive.urls == [DRIVE_URL + text]
    if arg is None:
        drive.calls.clear()
        assert_small_adata(fetchora.load_pelor_processed_sample_data())
        assert drive.urls == [DRIVE_URL + "None"]


@pytest.mark.parametrize("error", [OSError("no such file"), KeyboardInterrupt("stop")])
@pytest.mark.parametrize(
    "loader, expected",
    [
        ("load_h5ad", RAISES),
        ("load_anndata", RAISES),
        ("load_sample_data", FILE_ID_LINES),
        ("load_pelor_processed_anndata", []),
        ("load_pelor_processed_sample_data", FILE_ID_LINES),
    ],
)
def test_download_raises(fetchora, drive, capsys, loader, expected, error):
    drive.error = error
    call = lambda: getattr(fetchora, loader)(ARG[loader])  # noqa: E731
    raised = check(fetchora, capsys, loader, expected, call, type(error))
    assert raised is (error if expected is RAISES else None)
    assert os.listdir() == []


@pytest.mark.parametrize("file_type", ["rar", "ZIP", None])
@pytest.mark.parametrize(
    "loader, expected",
    [
        ("load_h5ad", []),
        ("load_anndata", []),
        ("load_sample_data", THREE_FILE_TYPE_LINES),
        ("load_pelor_processed_anndata", []),
        ("load_pelor_processed_sample_data", TWO_FILE_TYPE_LINES),
    ],
)
def test_unknown_file_type(fetchora, drive, capsys, loader, expected, file_type):
    drive.archive("zip")
    call = lambda: getattr(fetchora, loader)(ARG[loader], file_type)  # noqa: E731
    check(fetchora, capsys, loader, expected, call)
    assert os.listdir() == ["downloaded"]  # downloaded, never unpacked


def reference_error(argument):
    try:
        anndata.read_h5ad(argument)
    except Exception as e:
        return e
    raise AssertionError("read_h5ad accepted the input")


@pytest.mark.parametrize("file_type", ["zip", "gz", "tar.gz"])
@pytest.mark.parametrize(
    "loader, expected",
    [
        ("load_h5ad", RAISES),
        ("load_anndata", RAISES),
        ("load_sample_data", THREE_FILE_TYPE_LINES),
        ("load_pelor_processed_anndata", []),
        ("load_pelor_processed_sample_data", RAISES),
    ],
)
def test_unpacking_fails(fetchora, drive, capsys, loader, expected, file_type):
    drive.archive("garbage", b"no archive at all")
    call = lambda: getattr(fetchora, loader)(ARG[loader], file_type)  # noqa: E731
    before = unpack_message(file_type, ARG[loader], ok=False)
    error = reference_error(None)
    raised = check(fetchora, capsys, loader, expected, call, type(error), before)
    assert expected is not RAISES or str(raised) == str(error)
    assert "downloaded" in os.listdir()


@pytest.mark.parametrize("file_type", ["zip", "gz", "tar.gz"])
@pytest.mark.parametrize(
    "loader, expected",
    [
        ("load_h5ad", RAISES),
        ("load_anndata", RAISES),
        ("load_sample_data", READ_LINES),
        ("load_pelor_processed_anndata", RAISES),
        ("load_pelor_processed_sample_data", RAISES),
    ],
)
def test_reading_fails(fetchora, drive, capsys, loader, expected, file_type):
    drive.archive(file_type, b"not an hdf5 file")
    pathlib.Path("probe.h5ad").write_bytes(b"not an hdf5 file")
    error = reference_error("probe.h5ad")
    os.remove("probe.h5ad")
    call = lambda: getattr(fetchora, loader)(ARG[loader], file_type)  # noqa: E731
    before = unpack_message(file_type, ARG[loader], ok=True)
    check(fetchora, capsys, loader, expected, call, type(error), before)
    assert "downloaded" not in os.listdir()


def test_guards_catch_interruptions(fetchora, drive, capsys, monkeypatch):
    drive.archive("tar.gz")

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    # the read guard of load_sample_data
    monkeypatch.setattr(fetchora, "anndata", types.SimpleNamespace(read_h5ad=interrupt))
    check(fetchora, capsys, "load_sample_data", READ_LINES,
          lambda: fetchora.load_sample_data("file-id-1", "tar.gz"),
          before="File saved to: member.h5ad\n")  # fmt: skip
    # the download-and-unpack guard of load_pelor_processed_anndata
    monkeypatch.setattr(fetchora, "decompress_tar_gz", interrupt)
    assert fetchora.load_pelor_processed_anndata("Lung") is None
    assert capsys.readouterr().out == ""
