// Per-cell labels (samples, cell types, groups) turned into codes into their
// sorted distinct values: what the population and expression tables count by.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelorkit::analyka {

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

} // namespace pelorkit::analyka
