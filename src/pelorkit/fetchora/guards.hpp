// How the loading functions catch failures and show values in messages: the
// bare `except:` guard, the Python exception a C++ exception stands for, and
// the default text of a value.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyutil.hpp"

#include <exception>
#include <new>
#include <string_view>
#include <utility>

namespace pelorkit::fetchora {

// format(value, ''): how a message shows a value (a path object as its path).
inline py::object default_text(py::handle value) {
    return steal(PyObject_Format(value.ptr(), nullptr));
}

// prefix + format(value, '').
inline py::object text_with(std::string_view prefix, py::handle value) {
    return steal(PyUnicode_Concat(make_str(prefix).ptr(), default_text(value).ptr()));
}

// format % args, as Python's `%` operator on a str does it.
inline py::object percent(const char *format, py::handle args) {
    return steal(PyUnicode_Format(make_str(format).ptr(), args.ptr()));
}

// Runs `body` as under a bare `except:`: true when it raised anything,
// interruptions included; the exception is dropped.
template <class Body> bool fails(Body &&body) {
    try {
        std::forward<Body>(body)();
        return false;
    } catch (const std::exception &) {
        return true;
    }
}

// Called inside a catch block: the exception in flight as the Python
// exception a caller of the function would see.
inline py::error_already_set current_python_error() {
    try {
        throw;
    } catch (py::error_already_set &e) {
        return e;
    } catch (...) {
        restore_current_exception();
    }
    return py::error_already_set();
}

} // namespace pelorkit::fetchora
