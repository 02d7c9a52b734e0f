"""The modules' own functions, as the tests enumerate them."""


def own_functions(module):
    """{name: function} for the functions the module defines, in binding order;
    second names bound to the same object (show_tree) are left out."""
    return {
        name: value
        for name, value in vars(module).items()
        if callable(value)
        and getattr(value, "__module__", None) == module.__name__
        and getattr(value, "__name__", None) == name
    }
