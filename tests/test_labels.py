"""Label helpers: abbreviation tables, label wrapping and subplot selection."""

import copy
import random

import matplotlib
import pytest

from tests.reference.labels import split_text as reference_split

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def test_abbreviation_tables(analyka):
    levels = analyka.get_abbreviations()
    flat = analyka.get_abbreviations_uni()
    assert list(levels) == ["celltype_major", "celltype_minor", "celltype_subset"]
    assert [len(t) for t in levels.values()] == [7, 15, 40]
    assert len(flat) == 80
    assert levels["celltype_minor"]["Aneuploid Epithelial cell"] == "Epi (Aneup)"
    assert levels["celltype_subset"]["B cell(Memory)"] == "Bmem"
    assert flat["Gamma (PP) cell"] == "Gamma" and flat["Microfold cell"] == "mFold"
    assert list(flat)[:2] == ["Epithelial cell", "Aneuploid Epithelial cell"]
    assert list(flat.items())[-1] == ("Mammary epithelial cell", "Epi (Mam)")
    assert list(levels["celltype_subset"].items())[-1] == ("Mammary epithelial cell", "Epi mam")
    # The flat table agrees with every level except the two epithelial subtypes.
    differ = {
        (name, short)
        for table in levels.values()
        for name, short in table.items()
        if flat[name] != short
    }
    assert differ == {
        ("Luminal epithelial cell", "Epi lum"),
        ("Mammary epithelial cell", "Epi mam"),
    }


def test_abbreviation_tables_are_fresh(analyka):
    levels, flat = analyka.get_abbreviations(), analyka.get_abbreviations_uni()
    shipped = copy.deepcopy((levels, flat))
    levels["celltype_major"]["T cell"] = "changed"
    del levels["celltype_minor"]
    flat.clear()
    assert (analyka.get_abbreviations(), analyka.get_abbreviations_uni()) == shipped


@pytest.mark.parametrize(
    "s, n_max, expected",
    [
        ("Smooth muscle cell", 20, "Smooth muscle cell"),
        ("Aneuploid Intestinal Epithelial cell", 20, "Aneuploid Intestinal \nEpithelial cell"),
        ("Aneuploid Intestinal Epithelial cell", 10, "Aneuploid \nIntestinal \nEpithelial \ncell"),
        ("Lymphatic Endothelial cell", 20, "Lymphatic \nEndothelial cell"),
        ("abcde abcdefghij abcd", 20, "abcde abcdefghij abcd"),
        ("x" * 50, 20, "x" * 50),
        ("ä" * 12 + " " + "ö" * 8, 20, "ä" * 12 + " " + "ö" * 8),
        ("ä" * 12 + " " + "ö" * 9, 20, "ä" * 12 + " \n" + "ö" * 9),
        ("ab cd", 2.5, "ab \ncd"),
        ("", -1, ""),
    ],
)
def test_split_text_examples(analyka, s, n_max, expected):
    assert analyka.split_text(s, n_max) == expected
    assert analyka.split_text(s, N_max=n_max).replace("\n", "") == s


def test_split_text_matches_break_rule(analyka):
    rng = random.Random(7)
    for _ in range(500):
        words = ["".join(rng.choice("aéz") for _ in range(rng.randint(0, 12))) for _ in range(6)]
        s = " ".join(words)
        n_max = rng.randint(-1, 25)
        assert analyka.split_text(s, n_max) == reference_split(s, n_max), (s, n_max)
    short = "short label"
    assert analyka.split_text(short) is short


def test_split_text_needs_text(analyka):
    assert analyka.split_text([1, 2]) == [1, 2]
    with pytest.raises(TypeError):
        analyka.split_text(list(range(30)))
    with pytest.raises(TypeError):
        analyka.split_text(None)


@pytest.fixture
def grid():
    figures = []

    def make(nr, nc, **kwargs):
        fig, axes = plt.subplots(nr, nc, **kwargs)
        figures.append(fig)
        return axes

    yield make
    for fig in figures:
        plt.close(fig)


def test_get_axes_on_subplot_grids(analyka, grid):
    axes = grid(2, 3)
    for j in range(6):
        assert analyka.get_axes(axes, 2, 3, j) is axes[j // 3][j % 3]
    row = grid(1, 5)
    assert analyka.get_axes(row, 1, 99, 4) is row[4]
    column = grid(3, 1, squeeze=False)
    assert analyka.get_axes(axes=column, nr=3, nc=1, j=2) is column[2][0]
    nested = [["a", "b"], ["c", "d"]]
    assert analyka.get_axes(nested, 2.0, 2, 3) == "d"
    assert analyka.get_axes(nested, 2, 2, -1) == "d"  # floor(-0.5) = -1, -1 % 2 = 1


def test_get_axes_failures_and_lookup(analyka, grid, monkeypatch):
    axes = grid(2, 2)
    with pytest.raises(ZeroDivisionError):
        analyka.get_axes(axes, 2, 0, 1)
    with pytest.raises(IndexError):
        analyka.get_axes(axes, 2, 2, 4)
    with pytest.raises(TypeError):
        analyka.get_axes(grid(3, 1), 3, 1, 0)

    class FloorAlwaysZero:
        @staticmethod
        def floor(x):
            return 0.0

    monkeypatch.setattr(analyka, "np", FloorAlwaysZero)
    assert analyka.get_axes(axes, 2, 2, 3) is axes[0][1]
