// Ranking of items by their p-values over several comparisons: which items
// are significant in at least one comparison, in how many, and in which order
// they are reported.
#pragma once

#include "pelorkit/kernel_status.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelorkit::kernels {

// `pvalues` holds one column of `items` values per comparison, one after the
// other. NaN p-values become 1 in place. `kept` receives, in item order, the
// items whose smallest p-value is at most `cutoff`; for each of them
// `significant` counts its p-values at most `cutoff`, and `product` is the
// running product of its p-values, left to right, times that count (as a
// float64 row product over the p-values and the count computes it).
// Stops early when `poll` asks.
Status select_significant(std::vector<std::size_t> &kept, std::vector<std::int64_t> &significant,
                          std::vector<double> &product, std::span<double> pvalues,
                          std::size_t items, double cutoff, InterruptPoll poll = {});

// Stable order of positions 0..n-1: most significant comparisons first, then
// the larger score first, NaN scores last, ties in their given order.
// Stops early when `poll` asks.
Status order_by_significance(std::span<std::size_t> order,
                             std::span<const std::int64_t> significant,
                             std::span<const double> score, InterruptPoll poll = {});

} // namespace pelorkit::kernels
