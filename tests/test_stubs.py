"""The shipped .pyi stubs agree with the modules' signatures."""

import ast
import inspect
import pathlib

import pytest

import pelorkit
import pelorkit.analyka as analyka
import pelorkit.fetchora as fetchora


def stub_functions(module):
    path = pathlib.Path(pelorkit.__file__).with_name(module.__name__.split(".")[-1] + ".pyi")
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


@pytest.mark.parametrize("module", [analyka, fetchora])
def test_stub_parameters_match(module):
    stubs = stub_functions(module)
    functions = {
        name: obj
        for name, obj in vars(module).items()
        if type(obj).__name__ == "function"
        and obj.__module__ == module.__name__
        and name == obj.__name__
    }
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
    assert not (folder / "analyka").is_dir() and not (folder / "fetchora").is_dir()
    assert not list(folder.rglob("*.cpp")) and not list(folder.rglob("*.hpp"))
