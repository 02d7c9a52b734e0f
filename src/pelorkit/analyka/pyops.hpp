// Python operators for glue code that works on pandas and numpy objects the
// way a Python function body would (`a == b`, `a & b`, `a / b`, ...): each
// returns a new reference or throws the Python error.
#pragma once

#include "pelorkit/python.hpp"

namespace pelorkit::analyka::pyops {

// Takes ownership of a result of the C API; nullptr means an error is set.
inline py::object steal(PyObject *obj) {
    if (obj == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

inline py::object compare(py::handle a, py::handle b, int op) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
inline py::object eq(py::handle a, py::handle b) {
    return compare(a, b, Py_EQ);
}

inline py::object add(py::handle a, py::handle b) {
    return steal(PyNumber_Add(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
    return steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object div(py::handle a, py::handle b) {
    return steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object bit_and(py::handle a, py::handle b) {
    return steal(PyNumber_And(a.ptr(), b.ptr()));
}
inline py::object invert(py::handle a) {
    return steal(PyNumber_Invert(a.ptr()));
}
inline py::object negative(py::handle a) {
    return steal(PyNumber_Negative(a.ptr()));
}

} // namespace pelorkit::analyka::pyops
