// Raw views of numpy arrays for the kernels: a held, contiguous buffer of one
// item type, new arrays to fill, and object arrays of str made from texts.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include "kernels/texts.hpp"

#include <cstdint>
#include <span>

namespace pelorkit::readers {

class ArrayView {
public:
    ArrayView() = default;
    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;
    ~ArrayView() { release(); }

    // Holds the buffer of `array`, which must be contiguous (C order, or
    // Fortran order for a 2-D block) with items of `kind`: 'd' float64,
    // 'q' int64 or 'O' objects.
    void hold(py::handle array, char kind, bool fortran = false, bool writable = false);

    template <class T> T *data() const { return static_cast<T *>(view_.buf); }
    std::size_t size() const {
        return held_ ? static_cast<std::size_t>(view_.len / view_.itemsize) : 0;
    }
    template <class T> std::span<T> items() const { return {data<T>(), size()}; }

private:
    void release();
    Py_buffer view_{};
    bool held_ = false;
};

// A new, uninitialised numpy array of `count` items of `dtype` ("float64"),
// with its buffer held in `view`.
py::object new_array(const Call &call, std::size_t count, const char *dtype, ArrayView &view);

// A new, uninitialised float64 block of n_rows x n_columns in column-major
// (Fortran) order, with its buffer held in `view`.
py::object new_block(const Call &call, std::size_t n_rows, std::size_t n_columns, ArrayView &view);

// A numpy int64 array holding `values`.
py::object int64_array(const Call &call, std::span<const std::int64_t> values);

// A numpy object array of the texts, each decoded from UTF-8 into a new str.
py::object str_array(const Call &call, const kernels::TextTable &texts);

// A numpy object array of `count` items, item i being objects[pick(i)] (a
// new reference to the same object: repeated names share their str).
template <class Pick>
py::object objects_at(const Call &call, py::handle objects, std::size_t count, Pick pick);

// A numpy float64 block of the values, column-major (numpy's Fortran order),
// as pandas hands a frame's columns over without copying them.
py::object float_block(const Call &call, py::handle values);

py::object new_object_array(const Call &call, std::size_t count, ArrayView &view);

template <class Pick>
py::object objects_at(const Call &call, py::handle objects, std::size_t count, Pick pick) {
    ArrayView source, out;
    source.hold(objects, 'O');
    py::object array = new_object_array(call, count, out);
    PyObject *const *items = source.data<PyObject *>();
    PyObject **slots = out.data<PyObject *>();
    for (std::size_t i = 0; i < count; ++i)
        Py_SETREF(slots[i], Py_NewRef(items[pick(i)]));
    return array;
}

} // namespace pelorkit::readers
