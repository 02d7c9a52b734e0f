// Shared pieces of the population and expression tables: per-cell labels
// turned into codes, and the count of positive values per group in X.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "interruptible.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelorkit::analyka::composition {

// Carries a C++ element type to a generic lambda.
template <class T> struct Tag {
    using type = T;
};

// Calls f(Tag<T>{}) for a numpy integer dtype (kind 'i' or 'u').
template <class F> bool visit_integer_type(char kind, std::size_t itemsize, F &&f) {
    if (kind == 'i') {
        switch (itemsize) {
        case 1:
            return f(Tag<std::int8_t>{});
        case 2:
            return f(Tag<std::int16_t>{});
        case 4:
            return f(Tag<std::int32_t>{});
        case 8:
            return f(Tag<std::int64_t>{});
        }
    } else if (kind == 'u') {
        switch (itemsize) {
        case 1:
            return f(Tag<std::uint8_t>{});
        case 2:
            return f(Tag<std::uint16_t>{});
        case 4:
            return f(Tag<std::uint32_t>{});
        case 8:
            return f(Tag<std::uint64_t>{});
        }
    }
    return false;
}

// The distinct labels of a per-cell sequence in ascending order, and for each
// cell the position of its label there (-1: the cell equals no label).
struct CellCodes {
    std::vector<std::int32_t> codes;
    py::list labels;
};

// How labels are read back from the input: as iterating it yields them
// (`list(values)`), or as `Series.tolist()` gives them.
enum class LabelForm { iterated, listed };

// Codes for the plain forms: categorical Series (by their codes), numpy and
// Series values of strings, integers, booleans and floats without NaN or
// negative zero, exact-str objects, and lists or tuples of exact str, int,
// float or bool. Cells are equal exactly when their values are equal, and
// labels sort in a strict total order; anything else gives nullopt and takes
// the generic path.
std::optional<CellCodes> encode_cells(const Call &call, py::handle values, LabelForm form);

// Each cell's label by `values == label` for every label, as the element-wise
// comparison decides it. nullopt when a comparison does not give n booleans
// or a cell equals two labels.
std::optional<std::vector<std::int32_t>> codes_by_equality(py::handle values,
                                                           const py::list &labels, std::size_t n);

// Counts of values > 0 of a dense (numpy) or CSR/CSC (scipy) matrix, per
// group of rows (`row_group`, -1: no group) and per picked column (`picked`:
// distinct column positions; nullopt: all columns). nullopt for any matrix
// without a native scan (other types, dtypes or layouts, malformed buffers).
struct PositiveCounts {
    std::vector<std::uint32_t> counts; // groups x columns, row-major
    std::size_t n_columns;
};
std::optional<PositiveCounts>
count_positive(py::handle matrix, const std::vector<std::int32_t> &row_group, std::size_t n_groups,
               const std::optional<std::vector<std::int64_t>> &picked);

// A view of a numpy array's memory, only for aligned arrays in native byte order.
struct ArrayRef {
    py::array array;
    const std::byte *data = nullptr;
    char kind = 0;
    std::size_t itemsize = 0;
    std::size_t size() const { return static_cast<std::size_t>(array.size()); }
};
std::optional<ArrayRef> array_ref(py::handle obj, int ndim);

} // namespace pelorkit::analyka::composition
