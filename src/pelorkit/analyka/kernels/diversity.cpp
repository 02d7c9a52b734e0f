// Per-cluster tallies of the sample diversity index.
#include "diversity.hpp"

#include <algorithm>
#include <functional>
#include <vector>

namespace pelorkit::kernels {

Status map_codes_to_groups(std::int64_t *cell_group, const std::int64_t *codes, std::size_t n_cells,
                           const std::int64_t *group_of_code, std::size_t n_codes,
                           std::int64_t n_groups, InterruptPoll poll) {
    for (std::size_t i = 0; i < n_cells; ++i) {
        if (i % kPollStride == 0 && poll())
            return Status::interrupted;
        const std::int64_t code = codes[i];
        std::int64_t group = n_groups;
        if (code >= 0 && static_cast<std::size_t>(code) < n_codes) {
            group = group_of_code[code];
            if (group < 0 || group > n_groups)
                group = n_groups;
        }
        cell_group[i] = group;
    }
    return Status::done;
}

Status order_cells_by_group(std::int64_t *offsets, std::int64_t *order,
                            const std::int64_t *cell_group, std::size_t n_cells,
                            std::int64_t n_groups, InterruptPoll poll) {
    std::fill(offsets, offsets + n_groups + 1, 0);
    for (std::size_t i = 0; i < n_cells; ++i) {
        if (i % kPollStride == 0 && poll())
            return Status::interrupted;
        const std::int64_t g = cell_group[i];
        if (g >= 0 && g < n_groups)
            ++offsets[g + 1];
    }
    for (std::int64_t g = 0; g < n_groups; ++g)
        offsets[g + 1] += offsets[g];
    std::vector<std::int64_t> next(offsets, offsets + n_groups);
    for (std::size_t i = 0; i < n_cells; ++i) {
        if (i % kPollStride == 0 && poll())
            return Status::interrupted;
        const std::int64_t g = cell_group[i];
        if (g >= 0 && g < n_groups)
            order[next[g]++] = static_cast<std::int64_t>(i);
    }
    return Status::done;
}

Status count_flags_by_group(std::int64_t *counts, const std::int64_t *offsets,
                            const std::int64_t *order, std::int64_t n_groups,
                            const std::uint8_t *flags, InterruptPoll poll) {
    for (std::int64_t g = 0; g < n_groups; ++g) {
        std::int64_t count = 0;
        for (std::int64_t k = offsets[g]; k < offsets[g + 1]; ++k) {
            if (k % kPollStride == 0 && poll())
                return Status::interrupted;
            count += flags[order[k]] != 0;
        }
        counts[g] = count;
    }
    return Status::done;
}

Status sum_by_group(std::int64_t *sums, const std::int64_t *offsets, const std::int64_t *order,
                    std::int64_t n_groups, const std::int64_t *values, InterruptPoll poll) {
    for (std::int64_t g = 0; g < n_groups; ++g) {
        std::uint64_t sum = 0; // unsigned: wraps like numpy instead of overflowing
        for (std::int64_t k = offsets[g]; k < offsets[g + 1]; ++k) {
            if (k % kPollStride == 0 && poll())
                return Status::interrupted;
            sum += static_cast<std::uint64_t>(values[order[k]]);
        }
        sums[g] = static_cast<std::int64_t>(sum);
    }
    return Status::done;
}

Status tally_samples_by_group(std::int64_t *count_offsets, std::int64_t *counts,
                              const std::int64_t *offsets, const std::int64_t *order,
                              std::int64_t n_groups, const std::int64_t *sample_codes,
                              std::size_t n_samples, InterruptPoll poll) {
    std::vector<std::int64_t> per_sample(n_samples, 0);
    std::vector<std::int64_t> seen; // samples met in the current group
    std::int64_t out = 0;
    std::size_t visited = 0;
    for (std::int64_t g = 0; g < n_groups; ++g) {
        count_offsets[g] = out;
        for (std::int64_t k = offsets[g]; k < offsets[g + 1]; ++k) {
            if (++visited % kPollStride == 0 && poll())
                return Status::interrupted;
            const std::int64_t s = sample_codes[order[k]];
            if (s < 0 || static_cast<std::size_t>(s) >= n_samples)
                continue;
            if (per_sample[s]++ == 0)
                seen.push_back(s);
        }
        std::int64_t *first = counts + out;
        for (std::int64_t s : seen) {
            counts[out++] = per_sample[s];
            per_sample[s] = 0;
        }
        std::sort(first, counts + out, std::greater<>());
        seen.clear();
    }
    count_offsets[n_groups] = out;
    return Status::done;
}

} // namespace pelorkit::kernels
