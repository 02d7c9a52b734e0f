"""Unpacking of gz, zip and tar.gz archives: results, messages, removal flags,
scratch directories, failures, hostile archives and streaming."""

import gzip
import os
import pathlib
import subprocess
import sys
import tarfile
import textwrap
import types
import zipfile

import anndata
import pytest

from tests.support.fetch_data import (
    assert_small_adata,
    gz_of,
    h5ad_bytes,
    tar_entry,
    tar_gz_of,
    write_h5ad,
    zip_of,
)

COUNT_MESSAGE = "Zip 파일에 하나 이상의 파일이 포함되어 있습니다.\n"


def tree(root):
    """Every path under root with the bytes of each file (links not followed)."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            path = pathlib.Path(dirpath, name)
            if path.is_symlink():
                found[path] = ("link", os.readlink(path))
            elif path.is_file():
                found[path] = path.read_bytes()
            else:
                found[path] = "dir"
    return found


# One ordinary archive per unpacker and the call that unpacks it.
def _gz(f, flag):
    pathlib.Path("in.gz").write_bytes(gzip.compress(h5ad_bytes()))
    return "in.gz", f.decompress_gz("in.gz", "out.h5ad", flag)


def _zip(f, flag):
    zip_of("in.zip", {"data.h5ad": h5ad_bytes()})
    return "in.zip", f.decompress_zip("in.zip", "ex", flag)


def _zip_and_move(f, flag):
    zip_of("in.zip", {"data.h5ad": h5ad_bytes()})
    return "in.zip", f.decompress_zip_and_move("in.zip", "temp_extract", flag)


def _tar_gz(f, flag):
    tar_gz_of("in.tgz", [("data.h5ad", h5ad_bytes())])
    return "in.tgz", f.decompress_tar_gz("in.tgz", flag)


UNPACKERS = {"gz": _gz, "zip": _zip, "zip_and_move": _zip_and_move, "tar_gz": _tar_gz}


class Falsy:
    def __bool__(self):
        return False


@pytest.mark.parametrize("kind", list(UNPACKERS))
@pytest.mark.parametrize(
    "flag, removed",
    [(True, True), (1, True), ("no", True), ([0], True), (False, False), (0, False),
     ("", False), (None, False), (Falsy(), False)],
)  # fmt: skip
def test_removal_flags_are_tested_for_truth(fetchora, workdir, kind, flag, removed):
    archive, result = UNPACKERS[kind](fetchora, flag)
    assert result is not None
    assert os.path.exists(archive) is not removed


def test_gz_round_trip_message_and_results(fetchora, workdir, capsys):
    gz_of(write_h5ad("src.h5ad"), "data.gz")
    out = pathlib.Path("data.h5ad")
    assert fetchora.decompress_gz("data.gz", out) is out
    assert capsys.readouterr().out == "File saved to: data.h5ad\n"
    assert not os.path.exists("data.gz")
    assert out.read_bytes() == pathlib.Path("src.h5ad").read_bytes()
    assert_small_adata(anndata.read_h5ad(out))


def test_gz_output_is_closed_before_input_goes_and_message_shows(fetchora, workdir, monkeypatch):
    gz_of(write_h5ad("src.h5ad"), "data.gz")
    opened, seen = [], []

    def tracking_open(*args, **kwargs):
        opened.append(open(*args, **kwargs))
        return opened[-1]

    def remove(path):
        seen.append(("remove", opened[0].closed))
        os.remove(path)

    monkeypatch.setattr(fetchora, "open", tracking_open, raising=False)
    monkeypatch.setattr(fetchora, "os", types.SimpleNamespace(path=os.path, remove=remove))
    monkeypatch.setattr(fetchora, "print", lambda text: seen.append((text, opened[0].closed)), raising=False)  # fmt: skip
    assert fetchora.decompress_gz("data.gz", "out.h5ad") == "out.h5ad"
    assert seen == [("remove", True), ("File saved to: out.h5ad", True)]


def _interrupt(*args, **kwargs):
    raise KeyboardInterrupt


@pytest.mark.parametrize(
    "make_input, file_out, patch",
    [
        (lambda: pathlib.Path("data.gz").write_bytes(b"plain text, not gzip"), "out", None),
        (lambda: pathlib.Path("data.gz").write_bytes(gzip.compress(b"x" * 5000)[:-20]), "out", None),
        (lambda: gz_of(write_h5ad("src.h5ad"), "data.gz"), "no/such/dir/out", None),
        (lambda: gz_of(write_h5ad("src.h5ad"), "data.gz"), "out", "interrupt"),
        (lambda: None, "out", None),
    ],
    ids=["not-gzip", "truncated", "unwritable-output", "interrupted", "missing"],
)  # fmt: skip
def test_gz_failures_are_silent_and_keep_the_input(
    fetchora, workdir, monkeypatch, capsys, make_input, file_out, patch
):
    make_input()
    before = tree(workdir)
    if patch == "interrupt":
        monkeypatch.setattr(fetchora, "shutil", types.SimpleNamespace(copyfileobj=_interrupt))
    assert fetchora.decompress_gz("data.gz", file_out) is None
    assert capsys.readouterr().out == ""
    assert {p: v for p, v in tree(workdir).items() if p.name != "out"} == before


@pytest.mark.parametrize("remove_gz", [True, False])
def test_gz_onto_itself_is_refused_and_the_input_survives(fetchora, workdir, capsys, remove_gz):
    data = gzip.compress(b"precious" * 1000)
    pathlib.Path("data.gz").write_bytes(data)
    os.link("data.gz", "alias.gz")
    for target in ["data.gz", "./data.gz", "alias.gz"]:
        assert fetchora.decompress_gz("data.gz", target, remove_gz) is None
    assert capsys.readouterr().out == ""
    assert pathlib.Path("data.gz").read_bytes() == data


GZIP_STREAM_CHILD = """
import gzip, os, sys
import pelorkit.fetchora as f

def status_kb(key):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key):
                return int(line.split()[1])

with gzip.open("zeros.gz", "wb", compresslevel=1) as g:
    chunk = bytes(1 << 20)
    for _ in range(200):
        g.write(chunk)
del chunk
with gzip.open("small.gz", "wb") as g:
    g.write(b"warm-up")
assert f.decompress_gz("small.gz", "small.out") == "small.out"
try:
    with open("/proc/self/clear_refs", "w") as fh:  # resets the peak to the current size
        fh.write("5")
except OSError:
    print("SKIP")
    sys.exit(0)
before = status_kb("VmRSS:")
assert f.decompress_gz("zeros.gz", "zeros.bin") == "zeros.bin"
print(status_kb("VmHWM:") - before, os.path.getsize("zeros.bin"), os.path.exists("zeros.gz"))
"""


@pytest.mark.skipif(
    bool(os.environ.get("PELORKIT_SANITIZED")),
    reason="AddressSanitizer holds freed memory in quarantine",
)
def test_gz_streams_without_growing_memory(fetchora, workdir):
    stage = os.path.dirname(os.path.dirname(fetchora.__file__))
    env = dict(os.environ, PYTHONPATH=stage)
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(GZIP_STREAM_CHILD)],
        capture_output=True, text=True, env=env, cwd=workdir, timeout=600,
    )  # fmt: skip
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    if lines[-1] == "SKIP":
        pytest.skip("peak memory cannot be reset here")
    growth_kb, size, input_left = lines[-1].split()
    assert int(size) == 200 << 20 and input_left == "False"
    assert int(growth_kb) < 8 * 1024


# zip


def test_zip_extracts_all_and_reports_the_directory(fetchora, workdir, capsys):
    zip_of("a.zip", {"x.txt": b"x", "sub/": b"", "sub/y.txt": b"y"})
    assert fetchora.decompress_zip("a.zip") == "./"
    assert capsys.readouterr().out == "Files extracted to: ./\n"
    assert pathlib.Path("sub/y.txt").read_bytes() == b"y" and not os.path.exists("a.zip")

    zip_of("b.zip", {"x.txt": b"x2"})
    target = pathlib.Path("new/dir")
    assert fetchora.decompress_zip("b.zip", target, remove_zip=False) is target
    assert capsys.readouterr().out == "Files extracted to: new/dir\n"
    assert (target / "x.txt").read_bytes() == b"x2" and os.path.exists("b.zip")


@pytest.mark.parametrize("content", [b"not a zip", None], ids=["not-zip", "missing"])
def test_zip_failures_are_silent(fetchora, workdir, capsys, content):
    if content is not None:
        pathlib.Path("a.zip").write_bytes(content)
    assert fetchora.decompress_zip("a.zip", "ex") is None
    assert capsys.readouterr().out == ""
    assert os.path.exists("a.zip") is (content is not None)


@pytest.mark.parametrize("remove_zip", [True, False])
@pytest.mark.parametrize("member", ["data.h5ad", "sub/data.h5ad", "./data.h5ad"])
def test_zip_and_move_single_member(fetchora, workdir, capsys, member, remove_zip):
    pathlib.Path("data.h5ad").write_bytes(b"old file, replaced")
    zip_of("a.zip", {member: h5ad_bytes()})
    result = fetchora.decompress_zip_and_move("a.zip", remove_zip=remove_zip)
    assert result == "data.h5ad" and type(result) is str
    assert capsys.readouterr().out == ""
    assert_small_adata(anndata.read_h5ad("data.h5ad"))
    assert not os.path.exists("temp_extract")
    assert os.path.exists("a.zip") is not remove_zip


@pytest.mark.parametrize(
    "members",
    [{}, {"a.h5ad": b"a", "b.h5ad": b"b"}, {"sub/": b"", "sub/a.h5ad": b"a"}],
    ids=["empty", "two-files", "folder-entry"],
)
def test_zip_and_move_refuses_other_member_counts(fetchora, workdir, capsys, members):
    zip_of("a.zip", members)
    assert fetchora.decompress_zip_and_move("a.zip") is None
    assert capsys.readouterr().out == COUNT_MESSAGE
    assert os.path.exists("a.zip")
    files = {
        p.relative_to("temp_extract").as_posix() for p in pathlib.Path("temp_extract").rglob("*")
    }
    assert files == {m.rstrip("/") for m in members}


def test_zip_and_move_reports_ordinary_errors(fetchora, workdir, capsys, monkeypatch):
    try:
        zipfile.ZipFile("missing.zip", "r")
    except OSError as e:
        expected = f"오류 발생: {e}\n"
    assert fetchora.decompress_zip_and_move("missing.zip") is None
    assert capsys.readouterr().out == expected

    def broken(*args):
        raise ValueError("broken archive")

    monkeypatch.setattr(fetchora, "zipfile", types.SimpleNamespace(ZipFile=broken))
    assert fetchora.decompress_zip_and_move("any.zip") is None
    assert capsys.readouterr().out == "오류 발생: broken archive\n"


class InterruptingArchive:
    """A zip/tar stand-in whose extraction is interrupted; records its exit."""

    exits = []

    def __init__(self, *args, **kwargs):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.exits.append(exc[0])
        return False

    def getmembers(self):
        return []

    def extractall(self, *args, **kwargs):
        raise KeyboardInterrupt


def test_interruptions_caught_except_by_zip_and_move(fetchora, workdir, monkeypatch, capsys):
    monkeypatch.setattr(fetchora, "zipfile", types.SimpleNamespace(ZipFile=InterruptingArchive))
    monkeypatch.setattr(fetchora, "tarfile", types.SimpleNamespace(open=InterruptingArchive))
    InterruptingArchive.exits.clear()
    with pytest.raises(KeyboardInterrupt):
        fetchora.decompress_zip_and_move("a.zip")
    assert fetchora.decompress_zip("a.zip") is None
    assert fetchora.decompress_tar_gz("a.tgz") is None
    # the archive is closed on the way out, as a with statement does
    assert InterruptingArchive.exits == [KeyboardInterrupt] * 3
    assert capsys.readouterr().out == ""


# tar.gz


@pytest.mark.parametrize("layout", ["file", "folder"])
def test_tar_gz_keeps_the_first_entry(fetchora, workdir, capsys, layout):
    data = h5ad_bytes()
    entries = [("data.h5ad", data)]
    if layout == "folder":
        entries = [tar_entry("pkg", tarfile.DIRTYPE), ("pkg/data.h5ad", data)]
    tar_gz_of("in.tgz", entries)
    pathlib.Path("data.h5ad").write_bytes(b"old file, replaced")
    os.makedirs("extract_tmp/leftover")  # cleared before extraction
    result = fetchora.decompress_tar_gz("in.tgz")
    assert result == "data.h5ad" and type(result) is str
    assert capsys.readouterr().out == "File saved to: data.h5ad\n"
    assert_small_adata(anndata.read_h5ad("data.h5ad"))
    assert sorted(os.listdir()) == ["data.h5ad"]


@pytest.mark.parametrize("make", [
    lambda: zip_of("in.tgz", {"data.h5ad": b"zip, not tar"}),
    lambda: tar_gz_of("in.tgz", []),
    lambda: None,
], ids=["zip-archive", "empty-archive", "missing"])  # fmt: skip
def test_tar_gz_failures_are_silent(fetchora, workdir, capsys, make):
    make()
    assert fetchora.decompress_tar_gz("in.tgz") is None
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("kind", ["zip_and_move", "tar_gz"])
def test_member_named_like_the_archive_takes_its_place(fetchora, workdir, capsys, kind):
    if kind == "zip_and_move":
        zip_of("downloaded", {"downloaded": h5ad_bytes()})
        assert fetchora.decompress_zip_and_move("downloaded") == "downloaded"
    else:
        tar_gz_of("downloaded", [("downloaded", h5ad_bytes())])
        assert fetchora.decompress_tar_gz("downloaded") == "downloaded"
    assert os.listdir() == ["downloaded"]
    assert pathlib.Path("downloaded").read_bytes() == h5ad_bytes()


# Hostile archives. The working area is workdir/work; workdir/outside holds a
# file an archive tries to reach.


@pytest.fixture
def outside(workdir):
    (workdir / "outside").mkdir()
    (workdir / "outside" / "victim.txt").write_bytes(b"keep me")
    (workdir / "work").mkdir()
    os.chdir(workdir / "work")
    return workdir / "outside"


def outside_work(root):
    """tree(root) without root/work, the working area."""
    return {p: v for p, v in tree(root).items() if not p.is_relative_to(root / "work")}


def test_decompress_zip_keeps_every_member_inside(fetchora, outside):
    victim = str(outside / "victim.txt")
    before = outside_work(outside.parent)
    zip_of("evil.zip", {"../victim.txt": b"a", "../outside/victim.txt": b"b", victim: b"c"})
    assert fetchora.decompress_zip("evil.zip", "ex") == "ex"
    assert outside_work(outside.parent) == before
    assert pathlib.Path("ex/victim.txt").read_bytes() == b"a"
    assert pathlib.Path("ex/outside/victim.txt").read_bytes() == b"b"
    assert pathlib.Path("ex", victim.lstrip("/")).read_bytes() == b"c"


@pytest.mark.parametrize("member", ["../victim.txt", "../outside/victim.txt", "a/../../x", "abs"])
def test_zip_and_move_refuses_names_leaving_the_directory(fetchora, outside, capsys, member):
    if member == "abs":
        member = str(outside / "victim.txt")
    pathlib.Path("../victim.txt").write_bytes(b"keep me too")
    before = outside_work(outside.parent)
    zip_of("evil.zip", {member: b"payload"})
    assert fetchora.decompress_zip_and_move("evil.zip") is None
    out = capsys.readouterr().out
    assert out.startswith("오류 발생: ") and repr(member) in out
    assert outside_work(outside.parent) == before
    assert os.path.exists("evil.zip")


@pytest.mark.parametrize(
    "entries",
    [
        [("../escaped.txt", b"x")],
        [("../../escaped.txt", b"x")],
        [("../../outside/victim.txt", b"overwritten")],
        [("ABS", b"overwritten")],
        [tar_entry("link", tarfile.SYMTYPE, "ABS")],
        [tar_entry("link", tarfile.SYMTYPE, "../../outside/victim.txt")],
        [tar_entry("link", tarfile.SYMTYPE, "../../outside"), ("link/victim.txt", b"overwritten")],
        [tar_entry("hard", tarfile.LNKTYPE, "ABS")],
        [tar_entry("hard", tarfile.LNKTYPE, "../../outside/victim.txt")],
        [tar_entry("dev", tarfile.CHRTYPE)],
        [("ok.txt", b"fine"), ("../escaped.txt", b"x")],
    ],
    ids=["dotdot", "dotdot-twice", "dotdot-overwrite", "absolute", "symlink-absolute", "symlink-dotdot",
         "write-through-symlink", "hardlink-absolute", "hardlink-dotdot", "device",
         "after-good-member"],
)  # fmt: skip
def test_tar_gz_refuses_members_reaching_outside(fetchora, outside, capsys, entries):
    victim = str(outside / "victim.txt")
    fixed = []
    for entry in entries:
        if isinstance(entry, tarfile.TarInfo):
            entry.linkname = entry.linkname.replace("ABS", victim)
        elif entry[0] == "ABS":
            entry = (victim, entry[1])
        fixed.append(entry)
    tar_gz_of("evil.tgz", fixed)
    before = outside_work(outside.parent)
    assert fetchora.decompress_tar_gz("evil.tgz") is None
    assert capsys.readouterr().out == ""
    assert outside_work(outside.parent) == before
    assert set(os.listdir()) <= {"evil.tgz", "extract_tmp"}
