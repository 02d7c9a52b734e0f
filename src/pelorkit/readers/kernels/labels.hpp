// The names inside CellPhoneDB's labels: the two cell types of a column label
// "A|B", the sample prefix of a cell type "<sample><sep><cell type>", and the
// two partners of an interacting pair "<partner_a>_<partner_b>".
#pragma once

#include "texts.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace pelorkit::kernels {

inline constexpr std::size_t kAllSound = static_cast<std::size_t>(-1);

struct CellPair {
    std::string_view a, b;
};

// The cell types of each column label "A|B". Returns the position of the first
// label that has no "|", more than one, or a "--" (an id could not be split
// back), or kAllSound.
std::size_t split_cell_pairs(std::vector<CellPair> &out, const TextTable &labels);

// Cell pairs over labels "<sample><sep><cell type>", each split at the first
// `sep`: the pairs whose two labels name one sample, grouped by sample.
struct SamplePairs {
    std::vector<std::string_view> samples;          // by first appearance
    std::vector<std::vector<std::int64_t>> columns; // per sample: its pairs' positions
    std::vector<CellPair> cells;                    // per pair: the cell types, unprefixed
    std::size_t unsplit = kAllSound;                // first pair with a label lacking `sep`
};
void split_by_sample(SamplePairs &out, std::span<const CellPair> pairs, std::string_view sep);

// The length of the first partner of each interacting pair, so that the pair
// is partner_a + "_" + partner_b. A partner is known from CellPhoneDB's
// annotation: "complex:<name>" in partner_a/partner_b names a complex, and
// gene_a/gene_b the gene of a simple partner (all texts may be empty where a
// table lacks the column or the value). The first partner that matches the
// start of the pair (or the second its end) decides; without one, the pair
// splits at its first "_". Returns the first pair that has no "_" or holds
// "--", or kAllSound.
struct PartnerHints {
    TextTable partners_a, genes_a, partners_b, genes_b; // size 0 where absent
};
std::size_t split_gene_pairs(std::vector<std::int64_t> &first_length, const TextTable &pairs,
                             const PartnerHints &hints);

} // namespace pelorkit::kernels
