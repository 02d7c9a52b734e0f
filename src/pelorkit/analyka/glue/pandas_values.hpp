// pandas and numpy values for native code: the items of index-like
// sequences and the values of indexes and columns read in place, boolean
// selections, float values of columns; and new object arrays and frames.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include "pelorkit/array_view.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelorkit::analyka {

// The items of a one-dimensional sequence as list(values) gives them. An
// object ndarray is read in place unless `owned` asks for a list of our own,
// needed wherever Python code (a __hash__ or __eq__) runs while the items are
// in use and could change the array.
class ObjectItems {
public:
    explicit ObjectItems(py::handle values, bool owned = false);
    std::span<PyObject *const> items() const { return {items_, static_cast<std::size_t>(size_)}; }
    Py_ssize_t size() const { return size_; }

private:
    py::object owner_;
    ArrayView buffer_;
    PyObject *const *items_ = nullptr;
    Py_ssize_t size_ = 0;
};

// `.values` of an index or column, in a form the native code reads in place:
// pandas' string arrays (pandas 3's default for text, Python- or
// Arrow-backed) become the object array of the items list(values) gives.
py::object values_of(const Call &call, py::handle labelled);

// list(mapping.keys()), the way the functions walk their dict of tables.
py::list keys_of(py::handle mapping);

// The rows a boolean selection `b` keeps: true when `b` is a Series (or
// array) of plain bools as long as the table, read in place into `mask`.
bool read_mask(ArrayView &mask, py::handle b, Py_ssize_t rows);

// A numpy object array holding `items` (new references). For exact str items
// pandas infers the same dtype from it as from a list, and takes it without
// the per-item conversion it applies to a list.
py::object object_array(py::handle np, std::span<PyObject *const> items);
inline py::object object_array(py::handle np, const py::list &items) {
    return object_array(np, {PySequence_Fast_ITEMS(items.ptr()), items.size()});
}

// The values of a numeric column at `rows` as float64, as
// column.iloc[rows].astype(to_float) gives them (read in place for float64).
std::vector<double> floats_at(py::handle np, py::handle to_float, py::handle column,
                              std::span<const std::int64_t> rows);

// pandas' error for a label that is repeated where labels must be unique.
[[noreturn]] void raise_duplicate_labels();

// pd.DataFrame(values, index=index, columns=columns)
py::object frame(const Call &call, py::handle values, py::handle index, py::handle columns);

// The shape of a rows x cols numpy result.
inline std::vector<py::ssize_t> matrix_shape(std::size_t rows, std::size_t cols) {
    return {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)};
}

} // namespace pelorkit::analyka
