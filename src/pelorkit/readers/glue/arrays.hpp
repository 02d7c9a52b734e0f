// The readers' arrays on the shared ArrayView (pelorkit/array_view.hpp): the
// arrays numpy made for a reader held by their buffers, float64 blocks of a
// frame's columns, and the object arrays of a result table: str made from
// texts, or names repeated by reference.
#pragma once

#include "pelorkit/python.hpp"

#include "kernels/texts.hpp"
#include "pelorkit/array_view.hpp"
#include "pelorkit/pyfunction.hpp"

#include <cstdint>
#include <span>

namespace pelorkit::readers {

// Holds the buffer of an array that numpy made for a reader (a new array, or
// np.ascontiguousarray with a dtype): 1-D `code` items in C order. Anything
// else is a fault of the reader (std::logic_error), never of the input.
void hold(ArrayView &view, py::handle array, char code);

// The same for a float64 block in column-major (numpy's Fortran) order.
void hold_columns(ArrayView &view, py::handle block);

// A new, uninitialised float64 block of n_rows x n_columns in column-major
// order, held by `view` to write into.
py::object new_block(const Call &call, std::size_t n_rows, std::size_t n_columns, ArrayView &view);

// A numpy int64 array holding `values`.
py::object int64_array(const Call &call, std::span<const std::int64_t> values);

// A numpy object array of the texts, each decoded from UTF-8 into a new str.
py::object str_array(const Call &call, const kernels::TextTable &texts);

// A numpy float64 block of the values, column-major, as pandas hands a frame's
// columns of one dtype over without copying them.
py::object float_block(const Call &call, py::handle values);

// A numpy object array of `count` items, item i being objects[pick(i)] (a
// new reference to the same object: repeated names share their str).
template <class Pick>
py::object objects_at(const Call &call, py::handle objects, std::size_t count, Pick pick);

py::object new_object_array(const Call &call, std::size_t count, ArrayView &view);

template <class Pick>
py::object objects_at(const Call &call, py::handle objects, std::size_t count, Pick pick) {
    ArrayView source, out;
    hold(source, objects, 'O');
    py::object array = new_object_array(call, count, out);
    PyObject *const *items = source.data<PyObject *>();
    PyObject **slots = out.data<PyObject *>();
    for (std::size_t i = 0; i < count; ++i)
        Py_SETREF(slots[i], Py_NewRef(items[pick(i)]));
    return array;
}

} // namespace pelorkit::readers
