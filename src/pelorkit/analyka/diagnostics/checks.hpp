// Diagnostics for plausible input mistakes that the algorithms accept
// silently or answer with an opaque library error. They never change a
// result or an exception type: a call whose result is certainly empty or
// meaningless gets a UserWarning (through the module's `warnings`) that names
// the problem and the fix, and an opaque error is raised again as the same
// type with a message that says what to fix, the library's text kept in
// parentheses. They read what the call already has (the arguments' types,
// the result's labels, the glue's group lists) and compute nothing the
// algorithm uses; only a suspicious result or an error pays for a closer look.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace pelorkit::analyka::diagnostics {

// The checks inside the glue, where they need what the glue computed. (The
// checks around a whole call are declared with the functions, in
// functions.hpp.)

// The group test: raises `e`, the error of sorting the groups of the table's
// samples (`group_list`, in row order), again; a TypeError of groups that do
// not sort together says which samples have no group.
[[noreturn]] void explain_unsortable_groups(py::error_already_set &e, py::handle group_list,
                                            py::handle samples);
// Warns when comparisons cannot give a p-value: one group only, a reference
// group that no sample has, groups with a single sample, NaN groups.
void check_groups(const Call &call, const py::list &group_list, const py::list &glst,
                  py::handle samples, py::handle ref_group);

// Markers: before common-marker removal (groups named twice, every list
// empty); returns whether any list holds a marker.
bool check_marker_lists(const Call &call, py::handle df_dct, const py::dict &mkr_dict);
// After removal: every marker was shared.
void check_common_markers(const Call &call, bool had_markers, const py::dict &mkr_dict);

// Common-interaction removal: every row of every table was common (one table,
// or copies of one table). `keep` holds each table's kept-row mask.
void check_common_interactions(const Call &call, const std::vector<std::vector<std::uint8_t>> &keep,
                               bool for_counts);

// IndexError for an interaction id that does not split into two genes and
// two cell types, saying which separator is missing.
[[noreturn]] void raise_unsplittable_id(std::string_view id);

} // namespace pelorkit::analyka::diagnostics
