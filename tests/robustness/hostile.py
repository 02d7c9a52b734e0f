"""Hostile objects for the robustness suites: methods that raise (Boom) where
a library would call them, lie about their length, or change the container
they sit in while it is read."""


class Boom(Exception):
    pass


class RaisingEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__


class RaisingHash:
    def __hash__(self):
        raise Boom("__hash__")


class RaisingLen:
    def __len__(self):
        raise Boom("__len__")

    def __iter__(self):
        raise Boom("__iter__")


class RaisingGetitem:
    def keys(self):
        return ["a", "b"]

    def __getitem__(self, key):
        raise Boom("__getitem__")

    def __len__(self):
        return 2


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class Text(str):
    pass


class RaisingStr:
    """Hashable and comparable, but cannot be shown as text."""

    def __str__(self):
        raise Boom("__str__")

    __repr__ = __format__ = __str__


class RaisingAttribute:
    """Every attribute lookup fails with something other than AttributeError."""

    def __getattr__(self, name):
        raise Boom(name)


class LyingLen:
    """Claims more items than it yields, and a length Python cannot hold."""

    def __len__(self):
        return 2**70

    def __iter__(self):
        return iter(["a"])


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")

    def __int__(self):
        raise Boom("__int__")


class RaisingPath:
    def __fspath__(self):
        raise Boom("__fspath__")


class ShrinkingDict(dict):
    """Loses its entries while it is being read."""

    def __getitem__(self, key):
        value = dict.__getitem__(self, key)
        self.clear()
        return value


class ClearingItem:
    """Empties the list it sits in when compared."""

    def __init__(self, home):
        self.home = home

    def __eq__(self, other):
        self.home.clear()
        return False

    __hash__ = object.__hash__

    def __lt__(self, other):
        self.home.clear()
        return False


class RaisingItems:
    def __getitem__(self, key):
        raise Boom(key)


class RaisingShape:
    dtype = "float64"

    @property
    def shape(self):
        raise Boom("shape")


class RaisingText:
    def __str__(self):
        raise Boom("str")
