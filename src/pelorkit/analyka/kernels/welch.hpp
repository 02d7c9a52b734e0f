// Welch's two-sample t statistics per column of two sample tables, computed
// operation for operation as scipy 1.17's
//     stats.ttest_ind(a, b, axis=0, equal_var=False, nan_policy='omit', trim=0)
// computes them on numpy 2 float64 data, so that the p-value
//     2 * scipy.special.stdtr(dof, neg_abs_t)
// is bit for bit scipy's. What decides the last bits:
// - scipy makes one vectorised call when neither table holds a NaN and loops
//   over columns otherwise (NaN dropped, each column's values copied into a
//   contiguous array);
// - numpy's sums are pairwise (8 accumulators, halving above 128 values) when
//   the summed axis is contiguous in memory, and a plain running sum when it
//   is the outer axis of the loop;
// - in the column loop the squares of the degrees-of-freedom formula are taken
//   on numpy scalars, which use the C library's pow(x, 2), not x * x.
#pragma once

#include "interrupt.hpp"

#include <cstddef>
#include <span>

namespace pelorkit::kernels {

// A rows x cols table of doubles; strides count elements, not bytes.
struct SampleTable {
    const double *data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    double at(std::size_t row, std::size_t col) const {
        return data[static_cast<std::ptrdiff_t>(row) * row_stride +
                    static_cast<std::ptrdiff_t>(col) * col_stride];
    }
};

// How numpy adds up the values of one column.
enum class SumOrder {
    pairwise,   // the column is the contiguous inner loop
    sequential, // the column runs along the outer loop: out[j] += a[i, j]
};

// Which of scipy's two routes produced the statistics.
enum class WelchRoute {
    whole_table, // no NaN in either table: one vectorised call
    per_column,  // NaN somewhere: one call per column after dropping NaN
};

// Conditions under which scipy warns while computing the statistics.
struct WelchWarnings {
    bool too_small = false;      // a column kept no value in one of the tables
    bool precision_loss = false; // a column of nearly identical values
};

// numpy's float64 add.reduce of n contiguous values (identity 0, then the
// pairwise sum).
double sum_pairwise(const double *values, std::size_t n);

bool contains_nan(const SampleTable &table, InterruptPoll poll);

// For every column j: dof[j] the Welch degrees of freedom (NaN replaced by 1)
// and neg_abs_t[j] = -|t| of a against b. A column with no usable value in a
// table gets NaN for both. On interruption the outputs are incomplete.
WelchWarnings compute_welch_columns(std::span<double> dof, std::span<double> neg_abs_t,
                                    const SampleTable &a, SumOrder a_order, const SampleTable &b,
                                    SumOrder b_order, WelchRoute route, InterruptPoll poll);

} // namespace pelorkit::kernels
