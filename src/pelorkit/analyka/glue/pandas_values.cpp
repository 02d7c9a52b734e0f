// pandas and numpy values for native code (see pandas_values.hpp).
#include "pelorkit/python.hpp"

#include "glue/names.hpp"
#include "glue/pandas_values.hpp"
#include "glue/pyops.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <utility>

namespace pelorkit::analyka {
namespace {

const Name astype_name{"astype"};
const Name asarray_name{"asarray"};
const Name array_protocol_name{"__array__"};

// A pandas extension array (string, categorical, ...) as the object ndarray
// it converts to, whose items are those that iterating it gives; iterating
// it in Python would cost a call per item. Anything else is kept as it is.
py::object object_ndarray_of(py::handle values) {
    auto &api = py::detail::npy_api::get();
    PyObject *obj = values.ptr();
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || api.PyArray_Check_(obj) ||
        !PyObject_HasAttr(obj, array_protocol_name.get()))
        return py::reinterpret_borrow<py::object>(values);
    PyObject *dtype = PyObject_GetAttr(obj, dtype_name.get());
    if (dtype == nullptr) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(values);
    }
    const bool numpy_dtype = api.PyArrayDescr_Check_(dtype);
    Py_DECREF(dtype);
    if (numpy_dtype)
        return py::reinterpret_borrow<py::object>(values);
    PyObject *array =
        api.PyArray_FromAny_(obj, api.PyArray_DescrFromType_(py::detail::npy_api::NPY_OBJECT_), 1,
                             1, py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_, nullptr);
    if (array == nullptr) {
        PyErr_Clear();
        return py::reinterpret_borrow<py::object>(values);
    }
    return py::reinterpret_steal<py::object>(array);
}

} // namespace

ObjectItems::ObjectItems(py::handle values, bool owned) {
    py::object source = object_ndarray_of(values);
    if (!owned && buffer_.acquire(source, 'O')) {
        owner_ = std::move(source);
        items_ = buffer_.data<PyObject *const>();
        size_ = static_cast<Py_ssize_t>(buffer_.size());
        return;
    }
    if (!owned && PyList_CheckExact(source.ptr()))
        owner_ = std::move(source);
    else
        owner_ = py::reinterpret_steal<py::object>(PySequence_List(source.ptr()));
    if (!owner_)
        throw py::error_already_set();
    items_ = PySequence_Fast_ITEMS(owner_.ptr());
    size_ = PyList_GET_SIZE(owner_.ptr());
}

py::object values_of(const Call &call, py::handle labelled) {
    py::object values = labelled.attr(values_name);
    py::object dtype = pyops::attribute_if_present(values, dtype_name);
    if (!dtype || !pyops::is_instance(dtype, call.global(pd_name).attr(StringDtype_name)))
        return values;
    // Python-backed: the array's own object array, no copy; Arrow-backed: one
    // conversion instead of a str per item through iteration.
    return call.global(np_name).attr(asarray_name)(values, py::str("object"));
}

py::list keys_of(py::handle mapping) {
    return pyops::as_list(mapping.attr(keys_name)());
}

bool read_mask(ArrayView &mask, py::handle b, Py_ssize_t rows) {
    PyObject *values = PyObject_GetAttr(b.ptr(), values_name.get());
    if (values == nullptr) {
        PyErr_Clear();
        return false;
    }
    py::object held = py::reinterpret_steal<py::object>(values);
    return mask.acquire(held, '?') && mask.size() == static_cast<std::size_t>(rows);
}

py::object object_array(py::handle np, std::span<PyObject *const> items) {
    py::object array = np.attr(empty_name)(items.size(), py::str("object"));
    ArrayView buffer;
    if (!buffer.acquire(array, 'O', 1, /*writable=*/true))
        throw std::logic_error("numpy.empty gave an unexpected buffer");
    PyObject **slots = buffer.data<PyObject *>();
    for (std::size_t i = 0; i < items.size(); ++i)
        Py_SETREF(slots[i], Py_NewRef(items[i]));
    return array;
}

std::vector<double> floats_at(py::handle np, py::handle to_float, py::handle column,
                              std::span<const std::int64_t> rows) {
    std::vector<double> out(rows.size());
    ArrayView buffer;
    py::object values = column.attr(values_name);
    if (buffer.acquire(values, 'd')) {
        const double *data = buffer.data<const double>();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i] >= static_cast<Py_ssize_t>(buffer.size()))
                throw py::index_error("a table changed while it was read");
            out[i] = data[rows[i]];
        }
        return out;
    }
    ArrayView positions;
    py::object where = new_array(np, static_cast<Py_ssize_t>(rows.size()), "intp", positions);
    std::copy(rows.begin(), rows.end(), positions.data<std::int64_t>());
    positions.release();
    py::object converted = column.attr(iloc_name)[where].attr(astype_name)(to_float);
    py::object floats = np.attr(asarray_name)(converted, py::str("float64"));
    if (!buffer.acquire(floats, 'd') || buffer.size() != rows.size())
        throw py::value_error("the column did not convert to one float per row");
    std::copy_n(buffer.data<const double>(), rows.size(), out.begin());
    return out;
}

py::object frame(const Call &call, py::handle values, py::handle index, py::handle columns) {
    return call.global(pd_name).attr(DataFrame_name)(values, py::arg("index") = index,
                                                     py::arg("columns") = columns);
}

void raise_duplicate_labels() {
    PyErr_SetString(PyExc_ValueError, "cannot reindex on an axis with duplicate labels");
    throw py::error_already_set();
}

} // namespace pelorkit::analyka
