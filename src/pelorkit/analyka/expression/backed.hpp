// X read in blocks from where it is stored, an HDF5 file or a zarr store
// (backed.cpp).
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "expression/matrix.hpp"

namespace pelorkit::analyka::expression {

// X streamed from its store in blocks; `groups` has one code per cell of
// `adata` (a view's cells included). nullopt when X is not stored (see
// stored.hpp) or its view is not one the stream reads. A store that
// contradicts itself or the AnnData raises ValueError, values that are no
// numbers TypeError.
std::optional<GroupCounts> count_positive_stored(const Call &call, py::handle adata,
                                                 const Grouping &groups, const Picked &picked);

} // namespace pelorkit::analyka::expression
