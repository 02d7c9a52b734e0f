// Per-cluster tallies of the sample diversity index: cells grouped by their
// cluster group in one counting sort, then counted per group (cells, flagged
// cells, summed indicators, cells per sample).
//
// Groups are numbered 0..n_groups-1; a cell whose group is n_groups (or any
// value outside that range) belongs to no group and is skipped everywhere.
// All sums are exact integer sums, so they equal numpy's for any order.
#pragma once

#include "pelorkit/kernel_status.hpp"

#include <cstddef>
#include <cstdint>

namespace pelorkit::kernels {

// cell_group[i] = group_of_code[codes[i]]; n_groups for codes outside
// 0..n_codes-1 and for codes whose group is outside 0..n_groups-1.
Status map_codes_to_groups(std::int64_t *cell_group, const std::int64_t *codes, std::size_t n_cells,
                           const std::int64_t *group_of_code, std::size_t n_codes,
                           std::int64_t n_groups, InterruptPoll poll);

// Each function stops early when the poll asks (pelorkit/kernel_status.hpp).

// Stable counting sort: the cells of group g are order[offsets[g]..offsets[g+1])
// in ascending position. offsets has n_groups + 1 entries; order needs room
// for every grouped cell (at most n_cells).
Status order_cells_by_group(std::int64_t *offsets, std::int64_t *order,
                            const std::int64_t *cell_group, std::size_t n_cells,
                            std::int64_t n_groups, InterruptPoll poll);

// counts[g] = number of cells of group g whose flag is non-zero.
Status count_flags_by_group(std::int64_t *counts, const std::int64_t *offsets,
                            const std::int64_t *order, std::int64_t n_groups,
                            const std::uint8_t *flags, InterruptPoll poll);

// sums[g] = sum of values over the cells of group g, wrapping on overflow as
// numpy's int64 sum does.
Status sum_by_group(std::int64_t *sums, const std::int64_t *offsets, const std::int64_t *order,
                    std::int64_t n_groups, const std::int64_t *values, InterruptPoll poll);

// Cells per sample within each group: the non-zero counts of group g are
// counts[count_offsets[g]..count_offsets[g+1]), largest first (the order of a
// value_counts). Sample codes outside 0..n_samples-1 (missing samples) are not
// counted. count_offsets has n_groups + 1 entries; counts needs room for
// offsets[n_groups] entries.
Status tally_samples_by_group(std::int64_t *count_offsets, std::int64_t *counts,
                              const std::int64_t *offsets, const std::int64_t *order,
                              std::int64_t n_groups, const std::int64_t *sample_codes,
                              std::size_t n_samples, InterruptPoll poll);

} // namespace pelorkit::kernels
