"""Sphinx configuration of the pelorkit documentation.

Build from the repository root (the package must be importable, e.g. installed
or staged on PYTHONPATH):

    python -m sphinx -W --keep-going -n -b html docs build/docs/html
"""

from __future__ import annotations

import pathlib
import sys

import pelorkit
import pelorkit.analyka  # noqa: F401
import pelorkit.fetchora  # noqa: F401
import pelorkit.readers  # noqa: F401

# The compiled modules are imported here on purpose: autodoc then documents
# the real functions, with their true signatures and defaults. (Recent Sphinx
# versions would otherwise load the .pyi stubs in their place, where shared
# default lists read "...".)
DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

project = "pelorkit"
author = "the pelorkit developers"
copyright = "the pelorkit developers"
release = version = pelorkit.__version__

extensions = [
    "myst_nb",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "stubdocs",
]

# API reference: autodoc documents the compiled functions; their text comes from
# the .pyi stubs of the source tree (see _ext/stubdocs.py).
stubdocs_folder = str(ROOT / "src" / "pelorkit")
autosummary_generate = True
autodoc_default_options = {"member-order": "bysource"}
add_module_names = False
default_role = "py:obj"
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_param = False
napoleon_use_rtype = False
napoleon_use_ivar = True

# Cross-references are checked (-n). Python's own types and the pandas, numpy
# and AnnData classes are named in the text but documented elsewhere, and the
# build reaches no network to fetch their inventories.
nitpicky = True
nitpick_ignore_regex = [
    (r"py:(class|exc|obj|data)", r"(builtins\.)?[A-Za-z_]+(Error|Exception|Interrupt)"),
    (r"py:(class|obj)", r"(pandas|pd|numpy|np|anndata|scipy|matplotlib)\..*"),
]

# Notebooks and MyST pages with code cells are executed at every build.
nb_execution_mode = "force"
nb_execution_timeout = 900
nb_execution_raise_on_error = True
nb_execution_show_tb = True
nb_merge_streams = True
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

source_suffix = {".rst": "restructuredtext", ".md": "myst-nb", ".ipynb": "myst-nb"}
templates_path = ["_templates"]
exclude_patterns = ["_build", "**.ipynb_checkpoints", "tour/tour_output", "tour/data"]

html_theme = "sphinx_book_theme"
html_title = "pelorkit"
html_static_path = ["_static"]
html_css_files = ["custom.css"]
html_theme_options = {
    # One search field, in the sidebar (the parent theme would add a second
    # one in a header bar above the page).
    "navbar_persistent": [],
    # Pages get a table of contents on the right, except the function pages
    # (api/generated/), which have one entry: the room goes to the text.
    "secondary_sidebar_items": {
        page: ["page-toc"]
        for page in (
            "index",
            "getting-started",
            "guide/*",
            "tour/*",
            "api/index",
            "api/analyka",
            "api/fetchora",
            "api/readers",
            "dev/*",
        )
    },
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "use_download_button": True,
}


def mirror_examples() -> None:
    """Expose examples/tour.ipynb as docs/tour/tour.ipynb.

    The notebook runs with its own folder as working directory and imports the
    files beside it (tour.py, data/), so the page folder links every entry of
    examples/ except other documents, which would become pages of their own.
    """
    examples = ROOT / "examples"
    mirror = DOCS / "tour"
    mirror.mkdir(exist_ok=True)
    for entry in examples.iterdir():
        if entry.suffix in source_suffix and entry.name != "tour.ipynb":
            continue
        link = mirror / entry.name
        if link.is_symlink() and link.resolve() == entry.resolve():
            continue
        if link.is_symlink() or link.is_file():
            link.unlink()
        link.symlink_to(entry)


mirror_examples()
