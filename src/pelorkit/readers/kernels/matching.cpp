// Equal texts within and across runs of texts (see matching.hpp).
#include "matching.hpp"

#include <string_view>
#include <unordered_map>

namespace pelorkit::kernels {

void find_first_equal(std::vector<std::int64_t> &first, const TextTable &texts) {
    std::unordered_map<std::string_view, std::int64_t> seen;
    seen.reserve(texts.size);
    first.resize(texts.size);
    for (std::size_t i = 0; i < texts.size; ++i)
        first[i] = seen.try_emplace(texts[i], static_cast<std::int64_t>(i)).first->second;
}

void match_texts(std::vector<std::int64_t> &positions, const TextTable &needles,
                 const TextTable &haystack) {
    // The occurrences of each text of the haystack, in order, chained through
    // `next`; a needle takes the first one not yet taken.
    std::vector<std::int64_t> next(haystack.size, kNotFound);
    std::unordered_map<std::string_view, std::pair<std::int64_t, std::int64_t>> chains;
    chains.reserve(haystack.size);
    for (std::size_t i = 0; i < haystack.size; ++i) {
        const auto position = static_cast<std::int64_t>(i);
        auto [it, inserted] = chains.try_emplace(haystack[i], position, position);
        if (!inserted) {
            next[it->second.second] = position;
            it->second.second = position;
        }
    }
    positions.resize(needles.size);
    for (std::size_t i = 0; i < needles.size; ++i) {
        auto it = chains.find(needles[i]);
        if (it == chains.end() || it->second.first == kNotFound) {
            positions[i] = kNotFound;
            continue;
        }
        positions[i] = it->second.first;
        it->second.first = next[it->second.first];
    }
}

} // namespace pelorkit::kernels
