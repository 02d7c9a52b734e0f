// Where X is stored (stored.cpp): the HDF5 or zarr element behind an
// AnnData's X, whatever holds it in Python: a backed AnnData, one of
// anndata's sparse datasets, an h5py dataset or zarr array, or a Dask array
// that anndata's lazy reader (or dask's from_array / from_zarr) built over
// one. The block stream (backed.cpp) reads it.
#pragma once

#include "pelorkit/python.hpp"

#include <cstddef>
#include <optional>
#include <string>

namespace pelorkit::analyka::expression {

enum class Layout { dense, csr, csc };

// X as the store holds it: a two-dimensional array (dense), or a group
// encoded as "csr_matrix" or "csc_matrix" holding data, indices, indptr and
// its shape.
struct StoredMatrix {
    Layout layout;
    py::object element;
    std::size_t n_rows;
    std::size_t n_cols;
};

// An HDF5 file opened for one call (anndata's lazy reader keeps only the
// file's path), closed when the call ends.
class OpenedFile {
public:
    OpenedFile() = default;
    explicit OpenedFile(py::object file) : file_(std::move(file)) {}
    OpenedFile(OpenedFile &&) = default;
    OpenedFile &operator=(OpenedFile &&) = default;
    OpenedFile(const OpenedFile &) = delete;
    OpenedFile &operator=(const OpenedFile &) = delete;
    ~OpenedFile();

private:
    py::object file_;
};

// The stored X of `adata` and the AnnData whose cells and items are its rows
// and columns: `adata` itself, or for a view the AnnData it views (whose own
// X would be loaded). nullopt when X is not stored (numpy, scipy, other Dask
// arrays) or `adata` is no AnnData.
struct StoredX {
    StoredMatrix matrix;
    py::object owner;
    OpenedFile opened;
};
std::optional<StoredX> stored_x(py::handle adata);

// Raises ValueError("X in the file is malformed: <what>").
[[noreturn]] void malformed_x(const std::string &what);

} // namespace pelorkit::analyka::expression
