// Interaction ids written into one buffer (see ids.hpp).
#include "ids.hpp"

#include <cstddef>

namespace pelorkit::kernels {
namespace {

std::size_t total_size(const TextTable &texts) {
    return texts.size == 0 ? 0
                           : static_cast<std::size_t>(texts.offsets[texts.size] - texts.offsets[0]);
}

} // namespace

Status write_grid_ids(TextBuffer &out, const TextTable &gene_pairs, const TextTable &endings,
                      const TextTable &cells_a, const TextTable &cells_b,
                      std::span<const std::int64_t> columns, InterruptPoll poll) {
    const std::size_t n_rows = gene_pairs.size;
    std::size_t column_bytes = 0;
    for (std::int64_t c : columns)
        column_bytes += cells_a[c].size() + cells_b[c].size() + 3;
    std::size_t ending_bytes = 0;
    for (std::size_t r = 0; r < endings.size; ++r)
        ending_bytes += endings[r].empty() ? 0 : endings[r].size() + 2;
    out.reserve(n_rows * columns.size(),
                columns.size() * (total_size(gene_pairs) + ending_bytes) + n_rows * column_bytes);

    std::size_t written = 0;
    for (std::int64_t c : columns) {
        const std::string_view cell_a = cells_a[c], cell_b = cells_b[c];
        for (std::size_t r = 0; r < n_rows; ++r) {
            out.add(gene_pairs[r]);
            out.add("--");
            out.add(cell_a);
            out.add("|");
            out.add(cell_b);
            if (r < endings.size && !endings[r].empty()) {
                out.add("--");
                out.add(endings[r]);
            }
            out.end();
        }
        written += n_rows;
        if (written >= kPollStride) {
            written = 0;
            if (poll())
                return Status::interrupted;
        }
    }
    return Status::done;
}

Status write_row_ids(TextBuffer &out, const IdParts &parts, std::span<const std::int64_t> rows,
                     InterruptPoll poll) {
    out.reserve(rows.size(), rows.size() * 32);
    return for_each_polled(0, rows.size(), poll, [&](std::size_t i) {
        const std::int64_t row = rows[i];
        out.add(parts.genes_a[parts.gene_a_codes[row]]);
        out.add("_");
        out.add(parts.genes_b[parts.gene_b_codes[row]]);
        out.add("--");
        out.add(parts.cells_a[parts.cell_a_codes[row]]);
        out.add("|");
        out.add(parts.cells_b[parts.cell_b_codes[row]]);
        out.end();
    });
}

} // namespace pelorkit::kernels
