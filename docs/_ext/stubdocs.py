"""Function docstrings for the API reference, read from the package's .pyi stubs.

The compiled functions carry only their signature line as ``__doc__`` (that is
what ``inspect`` and ``help()`` see at run time). Their full documentation lives
in ``src/pelorkit/<module>.pyi``, where IDEs read it. autodoc still imports and
documents the real objects, so names and signatures come from the compiled
modules; this extension swaps in the stub docstring of each function and warns
(an error under ``-W``) when a function has no stub docstring or a stub
function is missing from the API pages.
"""

from __future__ import annotations

import ast
import pathlib

from sphinx.application import Sphinx
from sphinx.util import logging

logger = logging.getLogger(__name__)

MODULES = ("pelorkit.analyka", "pelorkit.fetchora", "pelorkit.readers")


def read_stub(path: pathlib.Path) -> dict[str, str | None]:
    """Function name -> cleaned docstring (None when the stub has none)."""
    tree = ast.parse(path.read_text(encoding="utf-8"), filename=str(path))
    return {
        node.name: ast.get_docstring(node, clean=True)
        for node in tree.body
        if isinstance(node, ast.FunctionDef)
    }


def load_stubs(app: Sphinx) -> None:
    folder = pathlib.Path(app.config.stubdocs_folder)
    app.env.stubdocs = {
        module: read_stub(folder / (module.rsplit(".", 1)[1] + ".pyi")) for module in MODULES
    }


def stub_docstring(app: Sphinx, what, name, obj, options, lines: list[str]) -> None:
    module, _, function = name.rpartition(".")
    stubs = getattr(app.env, "stubdocs", {}).get(module)
    if stubs is None or what != "function":
        return
    if function not in stubs:
        # A second name bound to the same function object (show_tree).
        function = getattr(obj, "__name__", function)
    doc = stubs.get(function)
    if not doc:
        logger.warning("%s has no docstring in its .pyi stub", name, type="stubdocs")
        return
    lines[:] = doc.splitlines() + [""]


def check_coverage(app: Sphinx, env) -> None:
    """Every stub function has an entry in the API reference."""
    documented = set(env.get_domain("py").objects)
    for module, stubs in getattr(env, "stubdocs", {}).items():
        for function in stubs:
            if f"{module}.{function}" not in documented:
                logger.warning(
                    "%s.%s is missing from the API reference", module, function, type="stubdocs"
                )


def setup(app: Sphinx) -> dict:
    app.add_config_value("stubdocs_folder", "", "env")
    app.connect("builder-inited", load_stubs)
    # Before napoleon (default priority 500), which turns the numpydoc
    # sections of the swapped-in text into fields.
    app.connect("autodoc-process-docstring", stub_docstring, priority=400)
    app.connect("env-check-consistency", check_coverage)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
