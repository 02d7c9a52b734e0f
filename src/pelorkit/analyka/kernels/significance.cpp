// Selection and ordering of significant items (see significance.hpp).
#include "significance.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace pelorkit::kernels {

Status select_significant(std::vector<std::size_t> &kept, std::vector<std::int64_t> &significant,
                          std::vector<double> &product, std::span<double> pvalues,
                          std::size_t items, double cutoff, InterruptPoll poll) {
    const std::size_t comparisons = items == 0 ? 0 : pvalues.size() / items;
    for (double &p : pvalues)
        if (std::isnan(p))
            p = 1.;
    kept.clear();
    significant.clear();
    product.clear();
    if (comparisons == 0)
        return Status::done; // the minimum over no p-value is NaN: nothing passes
    for (std::size_t i = 0; i < items; ++i) {
        if (i % kPollStride == 0 && poll())
            return Status::interrupted;
        double smallest = pvalues[i];
        std::int64_t count = 0;
        double prod = 1.;
        for (std::size_t c = 0; c < comparisons; ++c) {
            const double p = pvalues[c * items + i];
            smallest = std::min(smallest, p);
            count += p <= cutoff ? 1 : 0;
            prod *= p;
        }
        if (!(smallest <= cutoff))
            continue;
        kept.push_back(i);
        significant.push_back(count);
        product.push_back(prod * static_cast<double>(count));
    }
    return Status::done;
}

Status order_by_significance(std::span<std::size_t> order,
                             std::span<const std::int64_t> significant,
                             std::span<const double> score, InterruptPoll poll) {
    auto before = [&](std::size_t x, std::size_t y) {
        if (significant[x] != significant[y])
            return significant[x] > significant[y];
        if (std::isnan(score[x]))
            return false;
        return std::isnan(score[y]) || score[x] > score[y];
    };
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Sorted block by block, then merged pairwise: both steps are stable, and
    // the caller is polled between them.
    const std::size_t n = order.size();
    const auto at = [&](std::size_t i) { return order.begin() + static_cast<std::ptrdiff_t>(i); };
    for (std::size_t start = 0; start < n; start += kPollStride) {
        if (poll())
            return Status::interrupted;
        std::stable_sort(at(start), at(std::min(n, start + kPollStride)), before);
    }
    for (std::size_t width = kPollStride; width < n; width *= 2) {
        for (std::size_t start = 0; start + width < n; start += 2 * width) {
            if (poll())
                return Status::interrupted;
            std::inplace_merge(at(start), at(start + width), at(std::min(n, start + 2 * width)),
                               before);
        }
    }
    return Status::done;
}

} // namespace pelorkit::kernels
