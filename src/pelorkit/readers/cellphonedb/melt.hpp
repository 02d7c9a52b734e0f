// A read CellPhoneDB run as long CCI tables: the whole run as one sample, or
// the cell pairs within each sample of labels "<sample><sep><cell type>".
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include "cellphonedb/wide.hpp"

namespace pelorkit::readers {

// Adds the run's table under `key` to `tables`.
void add_run_table(const Call &call, const WideRun &run, py::handle key, py::dict &tables);

// Adds one table per sample to `tables`, keyed by the sample names (str), in
// the order in which the columns first name them. `sep` is a non-empty str.
void add_sample_tables(const Call &call, const WideRun &run, py::handle sep, py::dict &tables);

} // namespace pelorkit::readers
