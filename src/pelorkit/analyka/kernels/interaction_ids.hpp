// The six parts of an interaction id "geneA_geneB--cellA|cellB", split on
// its UTF-8 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace pelorkit::kernels {

// The parts of an interaction id as str.split takes them: gene pair and cell
// pair around the first "--" (the field after a second "--" is dropped), then
// the genes around the first "_" and the cell types around the first "|" of
// their pair (again ignoring further fields). False when a separator is
// missing, where the Python indexing would fail.
inline constexpr std::size_t kGenePair = 0, kCellPair = 1, kGeneA = 2, kGeneB = 3, kCellA = 4,
                             kCellB = 5, kIdParts = 6;
bool split_interaction_id(std::array<std::string_view, kIdParts> &parts, std::string_view id);

} // namespace pelorkit::kernels
