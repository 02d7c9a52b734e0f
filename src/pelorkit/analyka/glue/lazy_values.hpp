// Values held lazily (anndata.experimental.read_lazy and its peers): the
// per-cell label columns of a lazy obs brought into memory, and the lazy
// frame told apart from the other mappings.
#pragma once

#include "pelorkit/python.hpp"

namespace pelorkit::analyka {

// One label per cell in memory, in the form AnnData.to_memory() gives it:
// a pandas Series for a one-dimensional xarray DataArray (a column of a lazy
// obs, categorical, nullable or Dask-backed) or for one of anndata's lazy
// categorical and masked arrays; the computed value of a one-dimensional
// Dask collection (a numpy array or a pandas Series). Anything else is
// returned as it is. Only libraries already imported are asked: labels of a
// library that is not loaded cannot exist.
py::object labels_in_memory(py::handle values);

// Whether `obj` is anndata's lazy frame (Dataset2D, the obs and var of a
// lazily read AnnData), which answers shape, columns and column lookups as a
// DataFrame does.
bool is_lazy_frame(py::handle obj);

// A frame's column names as a list, and its shape, as they are in memory:
// a lazy frame's columns in the order to_memory() puts them (Dataset2D's own
// `columns` is a set, in no fixed order), without its "true index" variable.
py::object columns_in_memory(py::handle frame);
py::object shape_in_memory(py::handle frame);

// A frame's index as it is in memory: a lazy frame's index loses the name
// under which anndata stores it ("_index"), as to_memory() drops it.
py::object index_in_memory(py::handle frame);

} // namespace pelorkit::analyka
