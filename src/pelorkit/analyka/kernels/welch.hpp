// Welch's two-sample t statistics per column of two sample tables, computed
// operation for operation as scipy's (1.13 to 1.18)
//     stats.ttest_ind(a, b, axis=0, equal_var=False, nan_policy='omit', trim=0)
// computes them on float64 data, so that the p-value, 2 * stdtr(dof, -|t|)
// (2 * t.sf(|t|, dof) before 1.16), is bit for bit scipy's. What decides the
// last bits, the same in all these releases:
// - scipy makes one vectorised call when neither table holds a NaN and loops
//   over columns otherwise (NaN dropped, each column's values copied into a
//   contiguous array);
// - numpy's sums are pairwise (8 accumulators, halving above 128 values) when
//   the summed axis is contiguous in memory, and a plain running sum when it
//   is the outer axis of the loop;
// - in the column loop the squares of the degrees-of-freedom formula are taken
//   on numpy scalars, which use the C library's pow(x, 2), not x * x.
#pragma once

#include "pelorkit/kernel_status.hpp"

#include <cstddef>
#include <limits>
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

// Ten machine epsilons: below this spread relative to the mean scipy reports
// catastrophic cancellation (scipy 1.13 used ten numpy `resolution`s, 1e-14).
inline constexpr double kCancellationEps = std::numeric_limits<double>::epsilon() * 10;

// Conditions under which scipy or numpy warn while computing the statistics.
struct WelchWarnings {
    bool too_small = false;      // a column kept no value in one of the tables
    bool precision_loss = false; // a column of nearly identical values
    // A single value in a column (or a table of one row): the n / (n - 1)
    // correction divides by zero, and its infinity times the zero variance
    // of a finite value is invalid. numpy reports both where scipy does not silence
    // them (before 1.15).
    bool single_value = false;
};

// What a table holds besides ordinary numbers.
struct ValueRange {
    bool nan = false;
    bool inf = false;
    double largest = 0.; // the largest |x| of the finite values
};

// numpy's float64 add.reduce of n contiguous values (identity 0, then the
// pairwise sum).
double sum_pairwise(const double *values, std::size_t n);

// What the table holds besides ordinary numbers; stops early when `poll` asks.
Status scan_values(ValueRange &out, const SampleTable &table, InterruptPoll poll);

// For every column j: dof[j] the Welch degrees of freedom (NaN replaced by 1)
// and neg_abs_t[j] = -|t| of a against b. A column with no usable value in a
// table gets NaN for both. `cancellation_eps` is the release's threshold of
// the precision warning. On interruption the outputs are incomplete.
WelchWarnings compute_welch_columns(std::span<double> dof, std::span<double> neg_abs_t,
                                    const SampleTable &a, SumOrder a_order, const SampleTable &b,
                                    SumOrder b_order, WelchRoute route, double cancellation_eps,
                                    InterruptPoll poll);

} // namespace pelorkit::kernels
