// Python operators for glue code that works on pandas, numpy and user objects
// the way a Python function body would (`a == b`, `a & b`, `a + b`, `x in c`,
// isinstance, hasattr, ...): each returns a new reference (or a bool) or
// throws the Python error.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyutil.hpp"

#include <initializer_list>

namespace pelorkit::analyka::pyops {

using pelorkit::steal;

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
inline py::object bit_or(py::handle a, py::handle b) {
    return steal(PyNumber_Or(a.ptr(), b.ptr()));
}
inline py::object invert(py::handle a) {
    return steal(PyNumber_Invert(a.ptr()));
}
inline py::object negative(py::handle a) {
    return steal(PyNumber_Negative(a.ptr()));
}

// a + b + c + ..., evaluated left to right.
inline py::object concat(std::initializer_list<py::handle> parts) {
    auto it = parts.begin();
    py::object result = py::reinterpret_borrow<py::object>(*it);
    for (++it; it != parts.end(); ++it)
        result = add(result, *it);
    return result;
}

// list(iterable)
inline py::list as_list(py::handle iterable) {
    return py::reinterpret_steal<py::list>(steal(PySequence_List(iterable.ptr())).release());
}

// The slice start:stop; an empty handle stands for an omitted bound.
inline py::object slice_of(py::handle start, py::handle stop) {
    return steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
}
// The slice `:`.
inline py::object full_slice() {
    return slice_of(py::handle(), py::handle());
}

// `l = list(set(values)); l.sort()`: the distinct values in ascending order,
// raising what hashing or the sort raises.
inline py::list sorted_distinct(py::handle values) {
    py::list out = as_list(steal(PySet_New(values.ptr())));
    if (PyList_Sort(out.ptr()) < 0)
        throw py::error_already_set();
    return out;
}

// bool(a <op> b)
inline bool holds(py::handle a, py::handle b, int op) {
    return truthy(steal(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// item in container
inline bool contains(py::handle container, py::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

inline bool is_instance(py::handle obj, py::handle type) {
    int result = PyObject_IsInstance(obj.ptr(), type.ptr());
    if (result < 0)
        throw py::error_already_set();
    return result != 0;
}

inline bool is_instance(py::handle obj, PyTypeObject *type) {
    return is_instance(obj, reinterpret_cast<PyObject *>(type));
}

// Where a pandas string dtype holds its items: Python str objects in an
// object array (the array's own, which np.asarray(array, "object") gives
// without a copy) or Arrow buffers; none for any other dtype.
enum class StringStorage { none, python, arrow };
inline StringStorage string_storage(py::handle pd, py::handle dtype) {
    if (!py::isinstance(dtype, pd.attr("StringDtype")))
        return StringStorage::none;
    return holds(dtype.attr("storage"), py::str("python"), Py_EQ) ? StringStorage::python
                                                                  : StringStorage::arrow;
}

// getattr(obj, name) when hasattr(obj, name) holds: only AttributeError
// counts as absent, any other error propagates. An empty object when absent.
inline py::object attribute_if_present(py::handle obj, const Name &name) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.get());
    if (value != nullptr)
        return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// sys.modules[module].name, or an empty object when the module is not
// imported or lacks the attribute: objects of a library that is not loaded
// cannot exist, so a type test needs no import.
inline py::object imported_attribute(const char *module, const char *name) {
    PyObject *found = PyImport_GetModule(py::str(module).ptr());
    if (found == nullptr) {
        if (PyErr_Occurred())
            throw py::error_already_set();
        return py::object();
    }
    py::object owner = py::reinterpret_steal<py::object>(found);
    PyObject *value = PyObject_GetAttrString(owner.ptr(), name);
    if (value != nullptr)
        return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// isinstance(obj, sys.modules[module].name), false when it is not loaded.
inline bool is_instance_of_imported(py::handle obj, const char *module, const char *name) {
    py::object type = imported_attribute(module, name);
    return type && is_instance(obj, type);
}

inline py::object text_of(py::handle obj) {
    return steal(PyObject_Str(obj.ptr()));
}

// type(obj).__name__
inline py::object type_name(py::handle obj) {
    return steal(PyType_GetName(Py_TYPE(obj.ptr())));
}

// A constant text as a new reference.
inline py::object text(const Name &name) {
    return py::reinterpret_borrow<py::object>(name.get());
}

} // namespace pelorkit::analyka::pyops
