// The public face of the callable type of the modules: the bound arguments of
// one call, the table entry that describes a function, and the test that lets
// a sibling run a function's C++ body directly. The type itself, its argument
// binder and the signature parser are in src/common/pyfunction.cpp, compiled
// into each module.
//
// A function is described by its signature text, e.g.
//     "get_population(pids, cts, sort_by=[])"
// The text is the docstring and is parsed with Python's `ast` when the module
// starts, so names, defaults and inspect.signature always agree. A parameter
// written with a type in front ("str ss: str = None") only accepts exactly
// that type or None. Only plain parameters bind (no *args, **kwargs,
// keyword-only or positional-only ones); any number of them.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyutil.hpp"

#include <string_view>

namespace pelorkit {

// The bound arguments of one call, in declaration order, plus the module
// namespace the function belongs to.
class Call {
public:
    Call(PyObject *globals, PyObject *const *args, Py_ssize_t count)
        : globals_(globals), args_(args), count_(count) {}

    py::handle arg(Py_ssize_t i) const { return args_[i]; }
    Py_ssize_t size() const { return count_; }
    PyObject *globals() const { return globals_; }
    // Module attribute (or builtin) as a function body would see it now.
    py::object global(const Name &name) const { return lookup_global(globals_, name); }
    void print(std::string_view text) const { print_line(globals_, text); }
    void print(py::handle text) const { print_line(globals_, text); }

private:
    PyObject *globals_;
    PyObject *const *args_;
    Py_ssize_t count_;
};

using Impl = py::object (*)(const Call &);

struct FunctionSpec {
    const char *signature; // first docstring line, parsed for names and defaults
    Impl impl;
    const char *doc_body = nullptr; // further docstring text after an empty line
};

// Whether `function` is still one of this module's own functions built on
// `impl` (a caller may have rebound the module attribute to anything else).
// While it is, a sibling may run its C++ body directly instead of calling it:
// the one exception to calling siblings through the module namespace, each
// use documented where it is made (docs/dev/architecture.md).
bool is_own_function(py::handle function, Impl impl);

// The namespace an own function looks its names up in.
PyObject *function_globals(py::handle function);

// For the module builder: the function type of one module (a heap type owned
// by the module), and one signature text made a function of that type bound
// to the namespace `globals`. Defaults are evaluated there, once, so each
// function gets default objects of its own.
PyTypeObject *make_function_type(PyObject *module);
py::object make_function(PyTypeObject *type, PyObject *globals, const FunctionSpec &entry);

} // namespace pelorkit
