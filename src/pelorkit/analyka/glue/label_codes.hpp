// Shared pieces of the population and expression tables: per-cell labels
// turned into codes, and checked views of numpy arrays.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "glue/interrupts.hpp"
#include "glue/names.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelorkit::analyka::composition {

inline const Name len_name{"len"};

// len(obj), with the module's `len`.
inline Py_ssize_t length(const Call &call, py::handle obj) {
    return call.global(len_name)(obj).cast<Py_ssize_t>();
}

// pd.DataFrame(values, index=index, columns=columns)
inline py::object frame(const Call &call, py::handle values, py::handle index, py::handle columns) {
    return call.global(pd_name).attr("DataFrame")(values, py::arg("index") = index,
                                                  py::arg("columns") = columns);
}

// The shape of a rows x cols numpy result.
inline std::vector<py::ssize_t> matrix_shape(std::size_t rows, std::size_t cols) {
    return {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)};
}

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
