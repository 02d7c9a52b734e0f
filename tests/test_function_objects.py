"""The modules' functions behave like Python functions: binding, defaults,
introspection, monkeypatching through the module namespace."""

import copy
import functools
import gc
import inspect
import pickle
import re

import pytest

import pelorkit.analyka as analyka
import pelorkit.fetchora as fetchora
import pelorkit.readers as readers
from tests.support.modules import own_functions

# Every function of the three modules (test_startup.py pins which they are).
ALL = [(m, name) for m in (analyka, fetchora, readers) for name in own_functions(m)]
IDS = [f"{m.__name__.split('.')[-1]}.{n}" for m, n in ALL]


def twin_of(function):
    """A pure-Python function with the same signature text as the docstring."""
    signature = function.__doc__.split("\n")[0]
    signature = re.sub(r"\b(\w+) (\w+)(\s*[:=,)])", r"\2\3", signature)  # "str ss: str"
    namespace = {}
    exec(f"def {signature}: return 'bound'", namespace)
    return namespace[function.__name__]


CALL_PATTERNS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3, 4, 5, 6, 7, 8, 9), {}),
    ((1,), {"nonexistent": 1}),
    ((1, 2, 3), {"unknown_a": 1, "unknown_b": 2}),
    ((), {"z": 2}),
]


@pytest.mark.parametrize("module, name", ALL, ids=IDS)
def test_function_attributes(module, name):
    f = getattr(module, name)
    assert f.__name__ == name and f.__qualname__ == name
    assert f.__module__ == module.__name__
    assert f.__globals__ is vars(module)
    assert repr(f).startswith(f"<function {name} at 0x")
    assert f.__doc__.split("\n")[0].startswith(name + "(")
    assert gc.is_tracked(f)
    assert f.__kwdefaults__ is None
    assert type(f).__name__ == "function"
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f and copy.copy(f) is f


@pytest.mark.parametrize("module, name", ALL, ids=IDS)
def test_signature_and_defaults_match_the_docstring(module, name):
    f = getattr(module, name)
    twin = twin_of(f)
    assert str(inspect.signature(f)) == str(inspect.signature(twin))
    assert f.__defaults__ == twin.__defaults__
    # The very default objects, every time.
    if f.__defaults__:
        assert all(a is b for a, b in zip(f.__defaults__, f.__defaults__, strict=False))
        sig_defaults = [
            p.default for p in inspect.signature(f).parameters.values()
            if p.default is not inspect.Parameter.empty
        ]  # fmt: skip
        assert all(a is b for a, b in zip(sig_defaults, f.__defaults__, strict=False))


@pytest.mark.parametrize("module, name", ALL, ids=IDS)
@pytest.mark.parametrize("args, kwargs", CALL_PATTERNS)
def test_binding_errors_match_python(module, name, args, kwargs):
    f = getattr(module, name)
    twin = twin_of(f)
    params = list(inspect.signature(twin).parameters)
    kwargs = dict(kwargs)
    if "z" in kwargs and params:  # a duplicate: positional and keyword for the first name
        kwargs = {params[0]: 2}
        args = (1,)
    try:
        twin(*args, **kwargs)
    except TypeError as expected:
        with pytest.raises(TypeError) as got:
            f(*args, **kwargs)
        assert str(got.value) == str(expected)


def test_shared_default_lists():
    assert analyka.get_population.__defaults__[0] == []
    assert analyka.get_gene_expression.__defaults__ == ([], "sample")
    assert analyka.cci_get_means.__defaults__ == (None, [], [], 0.05)
    assert analyka.evaluate_performance.__defaults__ == (["Tumor", "Normal"],)
    own = analyka.cci_get_means.__defaults__
    other = analyka.get_cci_means.__defaults__
    assert own[1] is not own[2]
    assert own[1] is not other[1] and own[2] is not other[2]
    assert fetchora.load_pelor_processed_anndata.__defaults__ == (None, "tar.gz")


def test_assigning_defaults_changes_later_calls(monkeypatch):
    f = analyka.get_sample_to_group_map
    monkeypatch.setattr(f, "__defaults__", (["S1", "S2"], ["A", "B"]))
    assert f() == {"S1": "A", "S2": "B"}
    assert str(inspect.signature(f)) == "(samples=['S1', 'S2'], conditions=['A', 'B'])"
    with pytest.raises(TypeError, match="must be set to a tuple"):
        f.__defaults__ = ["not", "a tuple"]
    monkeypatch.setattr(f, "__defaults__", None)
    with pytest.raises(TypeError, match="missing 2 required positional arguments"):
        f()


def test_keyword_names_may_be_str_subclasses():
    class Key(str):
        pass

    assert analyka.get_sample_to_group_dict(**{Key("samples"): ["a"], "conditions": ["x"]}) == {
        "a": "x"
    }
    with pytest.raises(TypeError, match="keywords must be strings"):
        analyka.get_sample_to_group_dict(**{1: 2})


def test_sibling_calls_go_through_the_module_namespace(monkeypatch):
    monkeypatch.setattr(analyka, "get_sample_to_group_dict", lambda s, c: ("patched", s, c))
    assert analyka.get_sample_to_group_map(1, conditions=2) == ("patched", 1, 2)


def test_missing_library_name_raises_name_error(monkeypatch):
    monkeypatch.delattr(analyka, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        analyka.get_sample_to_group_dict([1], [2])


def test_wraps_dict_and_method_binding():
    f = analyka.get_sample_to_group_dict

    @functools.wraps(f)
    def wrapper(*a, **k):
        return f(*a, **k)

    assert wrapper.__name__ == f.__name__ and wrapper.__doc__ == f.__doc__
    assert wrapper.__wrapped__ is f
    assert str(inspect.signature(wrapper)) == "(samples, conditions)"

    class Holder:
        method = f

    assert Holder.method is f
    holder = Holder()
    assert holder.method.__self__ is holder and holder.method.__func__ is f
    f.custom = 1
    assert f.__dict__["custom"] == 1
    del f.custom


def test_exceptions_inside_reach_the_caller_unchanged():
    class Boom(Exception):
        pass

    class Bad:
        def __array__(self, *a, **k):
            raise Boom("from inside")

    with pytest.raises(Boom, match="from inside"):
        analyka.get_sample_to_group_dict(Bad(), [1])
