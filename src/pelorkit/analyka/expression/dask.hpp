// X as a Dask array, counted chunk by chunk (dask.cpp).
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "expression/matrix.hpp"

namespace pelorkit::analyka::expression {

// Whether X is a Dask array (told without importing dask).
bool is_dask_array(py::handle x);

// Per-chunk counts computed by whatever Dask scheduler is active and added
// up. nullopt for chunk types no kernel reads or unknown chunk sizes.
std::optional<GroupCounts> count_positive_dask(const Call &call, py::handle x,
                                               const Grouping &groups, const Picked &picked);

} // namespace pelorkit::analyka::expression
