// Expression fractions per group: what the readers of X (in memory, an HDF5
// file read in blocks, Dask chunks) and the glue share. Every reader returns
// the counts of values > 0 per group of cells and per counted column, or
// nullopt when it cannot read the matrix (the glue then takes the plain path).
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "composition_impl.hpp"
#include "kernels/sparse.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelorkit::analyka::expression {

namespace k = kernels;
using composition::ArrayRef;

// The columns to count: distinct positions in ascending order, or nullopt
// for all columns.
using Picked = std::optional<std::vector<std::int64_t>>;

// Counts of values > 0 per group and per counted column, summed over the
// blocks of the matrix.
struct GroupCounts {
    GroupCounts(std::size_t groups, std::size_t columns)
        : counts(groups * columns, 0), n_groups(groups), n_columns(columns) {}
    std::vector<std::int64_t> counts; // n_groups x n_columns, row-major
    std::size_t n_groups;
    std::size_t n_columns;

    // Adds one block's kernel counts (n_groups x width, row-major) into the
    // columns [offset, offset + width).
    void add(const std::uint32_t *block, std::size_t width, std::size_t offset);
};

// The per-cell group codes and the number of groups, as the kernels take them.
struct Grouping {
    std::span<const std::int32_t> row_group; // -1: the cell is in no group
    std::size_t n_groups;
};

// ---- matrix.cpp: numpy and scipy buffers ---------------------------------------

// One stored array of a matrix (values, indices, offsets) as raw memory, so a
// kernel can read it without the interpreter lock.
struct RawVector {
    const std::byte *data = nullptr;
    char kind = 0;
    std::size_t itemsize = 0;
    std::size_t size = 0;
};
RawVector raw_vector(const ArrayRef &ref);

// Whether a kernel reads values of this numpy kind and item size.
bool has_value_scan(char kind, std::size_t itemsize);

// The scans of raw buffers, run without the lock. They report `malformed`
// also for item types without a kernel (indices and offsets must share one
// signed integer type).
k::ScanStatus scan_compressed(const k::GroupedCounts &out, bool by_rows, std::size_t n_cols,
                              const RawVector &data, const RawVector &indices,
                              const RawVector &indptr, k::InterruptPoll poll);
k::ScanStatus scan_dense(const k::GroupedCounts &out, std::size_t n_cols, const RawVector &values,
                         std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                         k::InterruptPoll poll);

// The sparse format of a scipy matrix or array ("csr", "csc", ...), else "".
std::string sparse_format(py::handle matrix);

// A dense numpy array or a scipy CSR/CSC matrix in memory with one row per
// entry of `groups.row_group`. nullopt for anything no kernel reads; a
// compressed matrix with out-of-range indices raises scipy's format error.
std::optional<GroupCounts> count_positive(py::handle matrix, const Grouping &groups,
                                          const Picked &picked);

// ---- backed.cpp: an AnnData backed by an HDF5 file -------------------------------

// X streamed from the file in blocks; `groups` has one code per cell of
// `adata` (a view's cells included). nullopt when `adata` is not backed or
// its X or selection is not one the stream reads.
std::optional<GroupCounts> count_positive_backed(const Call &call, py::handle adata,
                                                 const Grouping &groups, const Picked &picked);

// ---- dask.cpp: Dask arrays ----------------------------------------------------

// Whether X is a Dask array (told without importing dask).
bool is_dask_array(py::handle x);

// Per-chunk counts computed by whatever Dask scheduler is active and added
// up. nullopt for chunk types no kernel reads or unknown chunk sizes.
std::optional<GroupCounts> count_positive_dask(const Call &call, py::handle x,
                                               const Grouping &groups, const Picked &picked);

// ---- items.cpp: the listed items -----------------------------------------------

// The columns of X behind the listed items: distinct positions in ascending
// order, and for each item the slot of its column among them.
struct ItemColumns {
    std::vector<std::int64_t> picked;
    std::vector<std::size_t> slot_of_item;
};

// The items resolved by name against a unique string var_names, with no
// subset built: nullopt unless every item is a name anndata would look up
// and finds (the rest goes through anndata's own indexing).
std::optional<ItemColumns> resolve_names(const Call &call, py::handle adata, py::handle items,
                                         std::size_t n_items);

// The columns anndata selected for the items (`subset` is adata[:, items]):
// nullopt unless var_names are unique and it selected one column per item.
std::optional<ItemColumns> resolve_subset(py::handle adata, py::handle subset, std::size_t n_items);

} // namespace pelorkit::analyka::expression
