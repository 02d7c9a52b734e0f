// X of an AnnData backed by an HDF5 file, streamed in blocks (backed.cpp).
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "expression/matrix.hpp"

namespace pelorkit::analyka::expression {

// X streamed from the file in blocks; `groups` has one code per cell of
// `adata` (a view's cells included). nullopt when `adata` is not backed or
// its X or selection is not one the stream reads.
std::optional<GroupCounts> count_positive_backed(const Call &call, py::handle adata,
                                                 const Grouping &groups, const Picked &picked);

} // namespace pelorkit::analyka::expression
