"""Builders shared by the fetchora tests: a small AnnData written as .h5ad,
archives of files, and a stand-in for gdown that never touches the network."""

import functools
import gzip
import io
import os
import shutil
import tarfile
import tempfile
import zipfile

import anndata
import numpy as np
import pandas as pd

# The address gdown is given: this, then the file identifier.
DRIVE_URL = "https://drive.google.com/uc?export=download&id="


def small_adata():
    return anndata.AnnData(
        X=np.arange(12, dtype=np.float32).reshape(3, 4),
        obs=pd.DataFrame({"sample": ["s1", "s2", "s1"]}, index=["c1", "c2", "c3"]),
        var=pd.DataFrame(index=["g1", "g2", "g3", "g4"]),
    )


def write_h5ad(path):
    small_adata().write_h5ad(path)
    return path


@functools.cache
def h5ad_bytes():
    """The bytes of small_adata() written as .h5ad, made once."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "small.h5ad")
        write_h5ad(path)
        with open(path, "rb") as fh:
            return fh.read()


def assert_small_adata(adata):
    expected = small_adata()
    assert isinstance(adata, anndata.AnnData)
    np.testing.assert_array_equal(adata.X, expected.X)
    assert list(adata.obs_names) == list(expected.obs_names)
    assert list(adata.var_names) == list(expected.var_names)
    assert list(adata.obs["sample"]) == list(expected.obs["sample"])


def gz_of(src, dst):
    with open(src, "rb") as f_in, gzip.open(dst, "wb") as f_out:
        shutil.copyfileobj(f_in, f_out)
    return dst


def zip_of(dst, members):
    """members: {archive name: bytes}; a name ending in "/" is a folder entry."""
    with zipfile.ZipFile(dst, "w") as z:
        for name, data in members.items():
            z.writestr(name, data)
    return dst


def tar_gz_of(dst, entries):
    """entries: TarInfo objects, or (archive name, bytes) for regular files."""
    with tarfile.open(dst, "w:gz") as t:
        for entry in entries:
            if isinstance(entry, tarfile.TarInfo):
                t.addfile(entry)
            else:
                name, data = entry
                info = tarfile.TarInfo(name)
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
    return dst


def tar_entry(name, kind, linkname=""):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.linkname = linkname
    if kind == tarfile.DIRTYPE:
        info.mode = 0o755
    return info


class FakeGdown:
    """gdown.download that records its calls and, instead of fetching, copies
    `payload` (a local file) to the output path or raises `error`."""

    def __init__(self, payload=None, error=None, result="ignored"):
        self.payload = payload
        self.error = error
        self.result = result
        self.calls = []

    @property
    def urls(self):
        return [args[0] for args, _ in self.calls]

    def download(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        if self.payload is not None:
            shutil.copyfile(self.payload, args[1])
        return self.result
