// Interaction ids "<gene_A>_<gene_B>--<cell_A>|<cell_B>" written into one text
// buffer: over the cells of a wide CellPhoneDB table, or row by row from the
// coded columns of a long LIANA table.
#pragma once

#include "pelorkit/kernel_status.hpp"

#include "texts.hpp"

#include <cstdint>
#include <span>

namespace pelorkit::kernels {

// The ids of a wide table's cells, column by column (the order of pandas'
// melt): for each column c of `columns`, for each row r,
//     gene_pairs[r] + "--" + cells_a[c] + "|" + cells_b[c]
// followed by "--" + endings[r] where that ending is not empty. `endings` may
// be empty (size 0): no row has one.
Status write_grid_ids(TextBuffer &out, const TextTable &gene_pairs, const TextTable &endings,
                      const TextTable &cells_a, const TextTable &cells_b,
                      std::span<const std::int64_t> columns, InterruptPoll poll);

// The four coded parts of a long table's ids.
struct IdParts {
    TextTable genes_a, genes_b, cells_a, cells_b;
    const std::int64_t *gene_a_codes, *gene_b_codes, *cell_a_codes, *cell_b_codes;
};

// The ids of the rows `rows`, in that order:
//     genes_a[..] + "_" + genes_b[..] + "--" + cells_a[..] + "|" + cells_b[..]
// each part looked up by the row's code.
Status write_row_ids(TextBuffer &out, const IdParts &parts, std::span<const std::int64_t> rows,
                     InterruptPoll poll);

} // namespace pelorkit::kernels
