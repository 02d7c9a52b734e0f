// What every reader of X returns to the expression fractions, the counts of
// values > 0 per group of cells and per counted column (or nullopt when it
// cannot read the matrix: fractions.cpp then takes the plain path), and the
// reader of X in memory (numpy and scipy buffers), whose scans of raw buffers
// the block readers (backed.cpp, dask.cpp) share.
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include "kernels/sparse.hpp"
#include "pelorkit/array_view.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelorkit::analyka::expression {

namespace k = kernels;

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

// X in memory: numpy and scipy buffers.

// One stored array of a matrix (values, indices, offsets) as raw memory, so a
// kernel can read it without the interpreter lock.
struct RawVector {
    const std::byte *data = nullptr;
    char kind = 0;
    std::size_t itemsize = 0;
    std::size_t size = 0;
};
RawVector raw_vector(const ArrayView &view);

// Whether a kernel reads values of this numpy kind and item size.
bool has_value_scan(char kind, std::size_t itemsize);

// The scans of raw buffers, run without the lock. They report `rejected`
// also for item types without a kernel (indices and offsets must share one
// signed integer type).
k::Status scan_compressed(const k::GroupedCounts &out, bool by_rows, std::size_t n_cols,
                          const RawVector &data, const RawVector &indices, const RawVector &indptr,
                          k::InterruptPoll poll);
k::Status scan_dense(const k::GroupedCounts &out, std::size_t n_cols, const RawVector &values,
                     std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, k::InterruptPoll poll);

// The sparse format of a scipy matrix or array ("csr", "csc", ...), else "".
std::string sparse_format(py::handle matrix);

// A dense numpy array or a scipy CSR/CSC matrix in memory with one row per
// entry of `groups.row_group`. nullopt for anything no kernel reads; a
// compressed matrix with out-of-range indices raises scipy's format error.
std::optional<GroupCounts> count_positive(py::handle matrix, const Grouping &groups,
                                          const Picked &picked);

} // namespace pelorkit::analyka::expression
