// Interactions counted per ordered pair of cell types: the cell types that
// occur on kept rows, their order by text, and the counts on that axis.
#pragma once

#include "pelorkit/kernel_status.hpp"
#include "text_codes.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelorkit::kernels {

// The row loops below ask `poll` every kPollStride rows and stop early when
// it says so (their outputs are then incomplete, and the caller raises).

// used[a[i]] = used[b[i]] = 1 for every row i kept (`keep` null keeps all).
Status mark_pair_codes(std::span<std::uint8_t> used, std::span<const Code> a,
                       std::span<const Code> b, const std::uint8_t *keep, InterruptPoll poll);

// Codes 0..n-1 ordered by the bytes of their texts, ascending: for UTF-8 this
// is the code-point order in which Python compares str.
std::vector<Code> codes_sorted_by_text(const TextCodes &texts);

// matrix[rank[a[i]] * k + rank[b[i]]] += 1 for every row i kept (`keep` null
// keeps all rows). Ranks are below k.
Status count_rank_pairs(std::int64_t *matrix, std::size_t k, std::span<const Code> rank,
                        std::span<const Code> a, std::span<const Code> b, const std::uint8_t *keep,
                        InterruptPoll poll);

} // namespace pelorkit::kernels
