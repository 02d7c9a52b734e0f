"""The shipped .pyi stubs agree with the modules' signatures and document every
function: each parameter named, examples that run."""

import ast
import doctest
import inspect
import pathlib
import re
import tempfile

import pytest

import pelorkit
import pelorkit.analyka as analyka
import pelorkit.fetchora as fetchora
import pelorkit.readers as readers
from tests.support.modules import own_functions

MODULES = [analyka, fetchora, readers]


def stub_functions(module):
    path = pathlib.Path(pelorkit.__file__).with_name(module.__name__.split(".")[-1] + ".pyi")
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module", MODULES)
def test_stub_parameters_match(module):
    stubs = stub_functions(module)
    functions = own_functions(module)
    assert set(stubs) == set(functions)
    for name, node in stubs.items():
        params = inspect.signature(functions[name]).parameters
        assert [a.arg for a in node.args.args] == list(params), name
        with_default = [p for p in params.values() if p.default is not inspect.Parameter.empty]
        assert len(node.args.defaults) == len(with_default), name
        for stub_default, p in zip(node.args.defaults, with_default, strict=False):
            if not (isinstance(stub_default, ast.Constant) and stub_default.value is Ellipsis):
                assert ast.literal_eval(stub_default) == p.default, (name, p.name)


def test_package_ships_stubs_and_marker():
    folder = pathlib.Path(pelorkit.__file__).parent
    assert (folder / "py.typed").exists()
    assert pathlib.Path(analyka.__file__).suffix == ".so"
    assert not any((folder / m.__name__.split(".")[-1]).is_dir() for m in MODULES)
    assert not list(folder.rglob("*.cpp")) and not list(folder.rglob("*.hpp"))


def stub_docs():
    for module in MODULES:
        for name, node in stub_functions(module).items():
            short = module.__name__.rsplit(".", 1)[1]
            yield pytest.param(module, name, ast.get_docstring(node), id=f"{short}.{name}")


def numpydoc_sections(doc):
    """Section title -> body, for the underlined headings of a numpydoc docstring."""
    parts = re.split(r"^(\w[\w ]*)\n-{3,}\n", doc, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2], strict=True))


@pytest.mark.parametrize(("module", "name", "doc"), list(stub_docs()))
def test_stub_docstring_documents_every_parameter(module, name, doc):
    assert doc, f"{name} has no docstring in its stub"
    summary = doc.splitlines()[0]
    assert summary.endswith(".") and len(summary) <= 100, summary
    sections = numpydoc_sections(doc)
    assert {"Returns", "Examples"} <= set(sections), sorted(sections)
    params = list(inspect.signature(getattr(module, name)).parameters)
    documented = re.findall(r"^(\w+) :", sections.get("Parameters", ""), flags=re.M)
    assert documented == params


@pytest.mark.parametrize(("module", "name", "doc"), list(stub_docs()))
def test_stub_examples_run(module, name, doc, workdir, monkeypatch):
    # Examples that need a scratch folder make one with tempfile: keep it here.
    monkeypatch.setattr(tempfile, "tempdir", str(workdir))
    test = doctest.DocTestParser().get_doctest(doc, {}, name, None, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
