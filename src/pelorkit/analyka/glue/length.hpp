// len(obj) for the glue, named for its contract. (pybind11's py::len is the
// third: the builtin's answer, raising what len raises.)
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "glue/names.hpp"

#include <optional>

namespace pelorkit::analyka {

// len(obj) as a function body calls it: the module's `len`, so that a
// replaced module attribute reaches the call.
inline Py_ssize_t module_len(const Call &call, py::handle obj) {
    return call.global(len_name)(obj).cast<Py_ssize_t>();
}

// len(obj), or nullopt when obj has none or its __len__ fails with an
// ordinary exception (a diagnostic then says nothing); Ctrl-C goes through.
inline std::optional<Py_ssize_t> len_if_sized(py::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n >= 0)
        return n;
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
}

} // namespace pelorkit::analyka
