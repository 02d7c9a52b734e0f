// Names inside CellPhoneDB's labels (see labels.hpp).
#include "labels.hpp"

#include <string>
#include <unordered_map>

namespace pelorkit::kernels {
namespace {

constexpr std::string_view kComplex = "complex:";

std::string_view at(const TextTable &texts, std::size_t i) {
    return i < texts.size ? texts[i] : std::string_view{};
}

// The partner's name as interacting_pair writes it: the complex name, or the
// gene of a simple partner; empty when unknown.
std::string_view partner_name(std::string_view partner, std::string_view gene) {
    if (partner.starts_with(kComplex))
        return partner.substr(kComplex.size());
    return gene;
}

} // namespace

std::size_t split_cell_pairs(std::vector<CellPair> &out, const TextTable &labels) {
    out.resize(labels.size);
    for (std::size_t i = 0; i < labels.size; ++i) {
        const std::string_view label = labels[i];
        const std::size_t bar = label.find('|');
        if (bar == std::string_view::npos || label.find('|', bar + 1) != std::string_view::npos ||
            label.find("--") != std::string_view::npos)
            return i;
        out[i] = {label.substr(0, bar), label.substr(bar + 1)};
    }
    return kAllSound;
}

void split_by_sample(SamplePairs &out, std::span<const CellPair> pairs, std::string_view sep) {
    out = SamplePairs{};
    out.cells.resize(pairs.size());
    std::unordered_map<std::string_view, std::size_t> number;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::size_t cut_a = pairs[i].a.find(sep), cut_b = pairs[i].b.find(sep);
        if (cut_a == std::string_view::npos || cut_b == std::string_view::npos) {
            if (out.unsplit == kAllSound)
                out.unsplit = i;
            continue;
        }
        const std::string_view sample = pairs[i].a.substr(0, cut_a);
        out.cells[i] = {pairs[i].a.substr(cut_a + sep.size()),
                        pairs[i].b.substr(cut_b + sep.size())};
        if (sample != pairs[i].b.substr(0, cut_b))
            continue;
        auto [it, inserted] = number.try_emplace(sample, out.samples.size());
        if (inserted) {
            out.samples.push_back(sample);
            out.columns.emplace_back();
        }
        out.columns[it->second].push_back(static_cast<std::int64_t>(i));
    }
}

std::size_t split_gene_pairs(std::vector<std::int64_t> &first_length, const TextTable &pairs,
                             const PartnerHints &hints) {
    first_length.resize(pairs.size);
    for (std::size_t i = 0; i < pairs.size; ++i) {
        const std::string_view pair = pairs[i];
        if (pair.find("--") != std::string_view::npos)
            return i;
        const std::string_view a = partner_name(at(hints.partners_a, i), at(hints.genes_a, i));
        const std::string_view b = partner_name(at(hints.partners_b, i), at(hints.genes_b, i));
        std::size_t cut = std::string_view::npos;
        if (!a.empty() && pair.size() > a.size() && pair.starts_with(a) && pair[a.size()] == '_')
            cut = a.size();
        else if (!b.empty() && pair.size() > b.size() && pair.ends_with(b) &&
                 pair[pair.size() - b.size() - 1] == '_')
            cut = pair.size() - b.size() - 1;
        else
            cut = pair.find('_');
        if (cut == std::string_view::npos)
            return i;
        first_length[i] = static_cast<std::int64_t>(cut);
    }
    return kAllSound;
}

} // namespace pelorkit::kernels
