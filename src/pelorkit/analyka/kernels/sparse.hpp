// Counting, per group of rows and per column, the entries greater than zero of
// a matrix held as CSR, CSC or a strided dense buffer.
//
// A position counts when its value is > 0 after the entries stored for it are
// summed in storage order in the value type (booleans: or-ed), which is what
// scipy's toarray() followed by numpy's `> 0` gives: explicit zeros, negative
// values and NaN never count, and duplicate entries count once, by their sum.
#pragma once

#include "counting.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace pelorkit::kernels {

// numpy's one-byte bool, kept apart from uint8 because duplicates or-combine.
struct NumpyBool {
    std::uint8_t value;
};

// The grouping of the rows and where the counts go.
struct GroupedCounts {
    std::uint32_t *counts; // n_groups x n_out, row-major, zero on entry
    std::size_t n_groups;
    const std::int32_t *row_group; // group of each row, -1 for rows in no group
    std::size_t n_rows;
    std::span<const std::int64_t> picked; // distinct columns, in output order
    bool all_columns;                     // when true `picked` is ignored: n_out = n_cols
};

// Compressed sparse rows (indptr has n_rows + 1 entries).
template <class V, class I>
Status count_positive_csr(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                          std::span<const I> indices, std::span<const I> indptr,
                          InterruptPoll poll);

// Compressed sparse columns (indptr has n_cols + 1 entries).
template <class V, class I>
Status count_positive_csc(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                          std::span<const I> indices, std::span<const I> indptr,
                          InterruptPoll poll);

// Dense values at base + i * row_stride + j * col_stride (strides in bytes,
// aligned for V).
template <class V>
Status count_positive_dense(const GroupedCounts &out, std::size_t n_cols, const std::byte *base,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                            InterruptPoll poll);

// The value types with a native scan; other dtypes take the generic path.
#define PELORKIT_SCAN_VALUE_TYPES(X)                                                               \
    X(NumpyBool)                                                                                   \
    X(std::int8_t)                                                                                 \
    X(std::int16_t)                                                                                \
    X(std::int32_t)                                                                                \
    X(std::int64_t)                                                                                \
    X(std::uint8_t)                                                                                \
    X(std::uint16_t)                                                                               \
    X(std::uint32_t)                                                                               \
    X(std::uint64_t)                                                                               \
    X(float)                                                                                       \
    X(double)

} // namespace pelorkit::kernels
