// Per-cluster tallies of the sample diversity index.
#include "diversity.hpp"

#include <algorithm>
#include <functional>
#include <vector>

namespace pelorkit::kernels {

Status map_codes_to_groups(std::int64_t *cell_group, const std::int64_t *codes, std::size_t n_cells,
                           const std::int64_t *group_of_code, std::size_t n_codes,
                           std::int64_t n_groups, InterruptPoll poll) {
    return for_each_polled(0, n_cells, poll, [&](std::size_t i) {
        const std::int64_t code = codes[i];
        std::int64_t group = n_groups;
        if (code >= 0 && static_cast<std::size_t>(code) < n_codes) {
            group = group_of_code[code];
            if (group < 0 || group > n_groups)
                group = n_groups;
        }
        cell_group[i] = group;
    });
}

Status order_cells_by_group(std::int64_t *offsets, std::int64_t *order,
                            const std::int64_t *cell_group, std::size_t n_cells,
                            std::int64_t n_groups, InterruptPoll poll) {
    std::fill(offsets, offsets + n_groups + 1, 0);
    const Status counted = for_each_polled(0, n_cells, poll, [&](std::size_t i) {
        const std::int64_t g = cell_group[i];
        if (g >= 0 && g < n_groups)
            ++offsets[g + 1];
    });
    if (!is_done(counted))
        return counted;
    for (std::int64_t g = 0; g < n_groups; ++g)
        offsets[g + 1] += offsets[g];
    std::vector<std::int64_t> next(offsets, offsets + n_groups);
    return for_each_polled(0, n_cells, poll, [&](std::size_t i) {
        const std::int64_t g = cell_group[i];
        if (g >= 0 && g < n_groups)
            order[next[g]++] = static_cast<std::int64_t>(i);
    });
}

namespace {

// The cells of group g: positions offsets[g]..offsets[g+1] of `order`.
template <class Body>
Status for_each_of_group(const std::int64_t *offsets, std::int64_t g, InterruptPoll poll,
                         Body &&body) {
    return for_each_polled(static_cast<std::size_t>(offsets[g]),
                           static_cast<std::size_t>(offsets[g + 1]), poll, body);
}

} // namespace

Status count_flags_by_group(std::int64_t *counts, const std::int64_t *offsets,
                            const std::int64_t *order, std::int64_t n_groups,
                            const std::uint8_t *flags, InterruptPoll poll) {
    for (std::int64_t g = 0; g < n_groups; ++g) {
        std::int64_t count = 0;
        if (!is_done(for_each_of_group(offsets, g, poll,
                                       [&](std::size_t k) { count += flags[order[k]] != 0; })))
            return Status::interrupted;
        counts[g] = count;
    }
    return Status::done;
}

Status sum_by_group(std::int64_t *sums, const std::int64_t *offsets, const std::int64_t *order,
                    std::int64_t n_groups, const std::int64_t *values, InterruptPoll poll) {
    for (std::int64_t g = 0; g < n_groups; ++g) {
        std::uint64_t sum = 0; // unsigned: wraps like numpy instead of overflowing
        if (!is_done(for_each_of_group(offsets, g, poll, [&](std::size_t k) {
                sum += static_cast<std::uint64_t>(values[order[k]]);
            })))
            return Status::interrupted;
        sums[g] = static_cast<std::int64_t>(sum);
    }
    return Status::done;
}

Status tally_samples_by_group(std::int64_t *count_offsets, std::int64_t *counts,
                              const std::int64_t *offsets, const std::int64_t *order,
                              std::int64_t n_groups, const std::int64_t *sample_codes,
                              std::size_t n_samples, InterruptPoll poll) {
    std::vector<std::int64_t> per_sample(n_samples, 0);
    // The samples met in the current group, each once: sized for all of
    // them, so that the loop makes no call (see PELORKIT_NOINLINE).
    std::vector<std::int64_t> seen(n_samples);
    std::int64_t out = 0;
    for (std::int64_t g = 0; g < n_groups; ++g) {
        count_offsets[g] = out;
        std::size_t n_seen = 0;
        const Status tallied = for_each_of_group(offsets, g, poll, [&](std::size_t k) {
            const std::int64_t s = sample_codes[order[k]];
            if (s >= 0 && static_cast<std::size_t>(s) < n_samples && per_sample[s]++ == 0)
                seen[n_seen++] = s;
        });
        if (!is_done(tallied))
            return tallied;
        std::int64_t *first = counts + out;
        for (std::size_t i = 0; i < n_seen; ++i) {
            counts[out++] = per_sample[seen[i]];
            per_sample[seen[i]] = 0;
        }
        std::sort(first, counts + out, std::greater<>());
    }
    count_offsets[n_groups] = out;
    return Status::done;
}

} // namespace pelorkit::kernels
