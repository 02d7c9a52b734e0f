// One CellPhoneDB run read into arrays: its wide tables (one row per
// interacting pair, its annotation, then one column per ordered cell-type pair
// "A|B") checked against each other and laid out for the long tables.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include "glue/texts.hpp"
#include "kernels/labels.hpp"

#include <string>
#include <vector>

namespace pelorkit::readers {

struct WideRun {
    std::size_t n_rows = 0;
    Texts gene_pairs;                  // interacting_pair of each row
    py::object genes_a, genes_b;       // the two partners of each row (object arrays)
    kernels::TextBuffer endings;       // per row: "" or what tells a repeated pair apart
    std::vector<std::string> repeated; // the pairs listed more than once, quoted
    std::string repeated_example;      // one id of such a pair, quoted
    Texts labels;                      // the cell-pair column labels
    py::object means, pvalues;         // float64 blocks, n_rows x labels, column-major
    py::object annotation;             // the annotation columns carried over (a frame)
};

// The two cell types of each column label (views into run.labels).
std::vector<kernels::CellPair> cell_pairs(const WideRun &run);

// A table argument of read_cellphonedb (a path or a DataFrame) as a frame.
py::object load_table(const Call &call, py::handle table, const char *argument);

// Reads the means table with its pvalues table, or with its
// relevant_interactions table when `deg`: a relevant interaction gets p-value
// 0, every other 1. Each is a path or a DataFrame.
WideRun read_run(const Call &call, py::handle means, py::handle second, bool deg);

} // namespace pelorkit::readers
