"""Download through gdown: the address, the arguments gdown gets, the result."""

import pathlib

import pytest

from tests.support.fetch_data import DRIVE_URL, FakeGdown


class Formatted:
    def __format__(self, fmt):
        return f"custom[{fmt}]"

    def __str__(self):
        return "not used"


@pytest.mark.parametrize(
    "file_id, text",
    [
        ("1AbC-_xyz", "1AbC-_xyz"),
        (42, "42"),
        (pathlib.PurePosixPath("dir/file id"), "dir/file id"),
        (Formatted(), "custom[]"),
        (None, "None"),
    ],
    ids=["str", "int", "path", "format-hook", "none"],
)
def test_url_carries_default_text_of_the_id(fetchora, monkeypatch, workdir, file_id, text):
    fake = FakeGdown()
    monkeypatch.setattr(fetchora, "gdown", fake)
    assert fetchora.download_from_google_drive(file_id) == "downloaded"
    # positional url and path, quiet by keyword, no encoding of the id
    assert fake.calls == [((DRIVE_URL + text, "downloaded"), {"quiet": False})]


@pytest.mark.parametrize("gdown_result", [None, "elsewhere", False])
def test_returns_the_out_path_object_whatever_gdown_reports(
    fetchora, monkeypatch, workdir, gdown_result, capsys
):
    monkeypatch.setattr(fetchora, "gdown", FakeGdown(result=gdown_result))
    out = pathlib.Path("target.zip")
    assert fetchora.download_from_google_drive("id", out) is out
    assert fetchora.download_from_google_drive(7, out_path=out) is out
    assert capsys.readouterr().out == ""
    assert not out.exists()  # nothing checked or created by the function itself


@pytest.mark.parametrize("error", [OSError("no route"), KeyboardInterrupt()])
def test_gdown_errors_propagate_silently(fetchora, monkeypatch, workdir, capsys, error):
    monkeypatch.setattr(fetchora, "gdown", FakeGdown(error=error))
    with pytest.raises(type(error)) as info:
        fetchora.download_from_google_drive("id")
    assert info.value is error
    assert capsys.readouterr().out == ""
