// The numbers of the readers: columns of a wide table laid end to end (the
// wide-to-long step), one table's block re-laid on another's rows and
// columns, DEG relevance turned into p-values, and long rows grouped by
// sample. Blocks are column-major (numpy's Fortran order), as pandas holds a
// frame's columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelorkit::kernels {

inline constexpr std::size_t kAllValid = static_cast<std::size_t>(-1);

// out[k * n_rows + r] = block[columns[k] * n_rows + r]: the chosen columns of
// an n_rows-row block, one after the other.
void copy_columns(double *out, const double *block, std::int64_t n_rows,
                  std::span<const std::int64_t> columns);

// out (n_rows x n_columns) takes src[row_from[r], column_from[c]] from a block
// of src_rows rows, or `fill` where row_from or column_from is -1.
void align_block(double *out, std::int64_t n_rows, std::int64_t n_columns, const double *src,
                 std::int64_t src_rows, const std::int64_t *row_from,
                 const std::int64_t *column_from, double fill);

// A DEG run's relevance (1 relevant, 0 not) as p-values: 0 and 1, in place.
// Returns the position of the first value that is neither 0 nor 1 (it and the
// values after it are left as they were), or kAllValid.
std::size_t relevance_to_pvalues(double *values, std::size_t n);

// The position of the first value below 0 or above 1 (NaN passes), or kAllValid.
std::size_t find_outside_unit(const double *values, std::size_t n);

// Row positions ordered by code, keeping the row order within a code; the rows
// of code g are order[starts[g], starts[g + 1]). Codes lie in [0, n_codes).
void group_rows(std::vector<std::int64_t> &order, std::vector<std::int64_t> &starts,
                const std::int64_t *codes, std::size_t n, std::size_t n_codes);

// out[i] = values[rows[i]].
void gather(double *out, const double *values, std::span<const std::int64_t> rows);

} // namespace pelorkit::kernels
