// Interactions counted per ordered pair of cell types (see pair_counts.hpp).
#include "pair_counts.hpp"

#include <algorithm>

namespace pelorkit::kernels {

Status mark_pair_codes(std::span<std::uint8_t> used, std::span<const Code> a,
                       std::span<const Code> b, const std::uint8_t *keep, InterruptPoll poll) {
    return for_each_polled(0, a.size(), poll, [&](std::size_t i) {
        if (keep == nullptr || keep[i] != 0) {
            used[static_cast<std::size_t>(a[i])] = 1;
            used[static_cast<std::size_t>(b[i])] = 1;
        }
    });
}

std::vector<Code> codes_sorted_by_text(const TextCodes &texts) {
    std::vector<Code> order(texts.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<Code>(i);
    std::sort(order.begin(), order.end(),
              [&](Code x, Code y) { return texts.text(x) < texts.text(y); });
    return order;
}

Status count_rank_pairs(std::int64_t *matrix, std::size_t k, std::span<const Code> rank,
                        std::span<const Code> a, std::span<const Code> b, const std::uint8_t *keep,
                        InterruptPoll poll) {
    return for_each_polled(0, a.size(), poll, [&](std::size_t i) {
        if (keep != nullptr && keep[i] == 0)
            return;
        const auto row = static_cast<std::size_t>(rank[static_cast<std::size_t>(a[i])]);
        const auto col = static_cast<std::size_t>(rank[static_cast<std::size_t>(b[i])]);
        ++matrix[row * k + col];
    });
}

} // namespace pelorkit::kernels
