// Equal texts: repeats within one run of texts, and the rows or columns of one
// table found in another.
#pragma once

#include "texts.hpp"

#include <cstdint>
#include <vector>

namespace pelorkit::kernels {

inline constexpr std::int64_t kNotFound = -1;

// first[i] = the position of the first text equal to texts[i] (i itself for a
// first occurrence).
void find_first_equal(std::vector<std::int64_t> &first, const TextTable &texts);

// positions[i] = where needles[i] stands in `haystack`, kNotFound where it does
// not. A text that occurs several times is matched in order: its k-th
// occurrence among the needles to its k-th in the haystack.
void match_texts(std::vector<std::int64_t> &positions, const TextTable &needles,
                 const TextTable &haystack);

} // namespace pelorkit::kernels
