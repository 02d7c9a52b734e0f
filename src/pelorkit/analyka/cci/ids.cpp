// The parts of an interaction id "geneA_geneB--cellA|cellB": its gene pair,
// cell pair and four partners, natively for an exact str and through the
// object's own split otherwise.
#include "pelorkit/python.hpp"

#include "cci/id_space.hpp"
#include "diagnostics/checks.hpp"
#include "functions.hpp"
#include "kernels/interaction_ids.hpp"

#include <array>
#include <string_view>

namespace pelorkit::analyka {

using kernels::kIdParts;

py::object cpdb_get_gp_n_cp(const Call &call) {
    py::handle idx = call.arg(0);
    std::string_view text;
    if (cci::utf8_of(idx.ptr(), text)) {
        std::array<std::string_view, kIdParts> parts;
        if (!kernels::split_interaction_id(parts, text))
            diagnostics::raise_unsplittable_id(text);
        py::tuple out(kIdParts);
        for (std::size_t p = 0; p < kIdParts; ++p)
            out[p] = cci::decode_utf8(parts[p]);
        return out;
    }
    // Any other object: the same steps through its own split.
    py::object items = idx.attr("split")("--");
    py::object gene_pair = items[py::int_(0)];
    py::object cell_pair = items[py::int_(1)];
    py::object genes = gene_pair.attr("split")("_");
    py::object gene_a = genes[py::int_(0)];
    py::object gene_b = genes[py::int_(1)];
    py::object cells = cell_pair.attr("split")("|");
    py::object cell_a = cells[py::int_(0)];
    py::object cell_b = cells[py::int_(1)];
    return py::make_tuple(gene_pair, cell_pair, gene_a, gene_b, cell_a, cell_b);
}

} // namespace pelorkit::analyka
