// One CCI result table in the layout the analysis module reads: the id index,
// then pval, mean, cell_A, cell_B, gene_A, gene_B, then the further columns
// a reader carries over.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

namespace pelorkit::readers {

struct LongColumns {
    py::object ids;                            // object array of str
    py::object pval, mean;                     // float64 arrays
    py::object cell_a, cell_b, gene_a, gene_b; // object arrays
    py::object extra;                          // a frame with the rows in the same order, or None
};

// The names of the six columns every table starts with.
bool is_core_column(py::handle label);

py::object make_table(const Call &call, const LongColumns &columns);

} // namespace pelorkit::readers
