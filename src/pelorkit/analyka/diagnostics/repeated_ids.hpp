// Interaction ids listed on more than one row of a CCI table: found for the
// error they cause in the mean and plot tables and for the warning of the
// count matrix, which counts every row.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include <string>

namespace pelorkit::analyka::diagnostics {

struct RepeatedIds {
    py::list samples; // the keys of the tables that repeat an id
    py::list ids;     // the repeated ids, each once, in table order
};

// The repeated ids of the tables of df_dct (a dict of sample -> table).
RepeatedIds repeated_ids(py::handle df_dct);

// "the table of 'S1' lists the id 'a_b--T|B', on more than one row"
std::string repeated_ids_text(const RepeatedIds &found);

// What to do about them.
extern const char *const kUniqueIdsFix;

} // namespace pelorkit::analyka::diagnostics
