// Selection and ordering of significant items (see significance.hpp).
#include "significance.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace pelorkit::kernels {

void select_significant(std::vector<std::size_t> &kept, std::vector<std::int64_t> &significant,
                        std::vector<double> &product, std::span<double> pvalues, std::size_t items,
                        double cutoff) {
    const std::size_t comparisons = items == 0 ? 0 : pvalues.size() / items;
    for (double &p : pvalues)
        if (std::isnan(p))
            p = 1.;
    kept.clear();
    significant.clear();
    product.clear();
    if (comparisons == 0)
        return; // the minimum over no p-value is NaN: nothing passes
    for (std::size_t i = 0; i < items; ++i) {
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
}

void order_by_significance(std::span<std::size_t> order, std::span<const std::int64_t> significant,
                           std::span<const double> score) {
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        if (significant[x] != significant[y])
            return significant[x] > significant[y];
        if (std::isnan(score[x]))
            return false;
        return std::isnan(score[y]) || score[x] > score[y];
    });
}

} // namespace pelorkit::kernels
