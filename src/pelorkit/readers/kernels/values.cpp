// The numbers of the readers (see values.hpp).
#include "values.hpp"

#include <cstring>

namespace pelorkit::kernels {

void copy_columns(double *out, const double *block, std::int64_t n_rows,
                  std::span<const std::int64_t> columns) {
    const auto rows = static_cast<std::size_t>(n_rows);
    for (std::size_t k = 0; k < columns.size(); ++k)
        if (rows != 0)
            std::memcpy(out + k * rows, block + static_cast<std::size_t>(columns[k]) * rows,
                        rows * sizeof(double));
}

void align_block(double *out, std::int64_t n_rows, std::int64_t n_columns, const double *src,
                 std::int64_t src_rows, const std::int64_t *row_from,
                 const std::int64_t *column_from, double fill) {
    for (std::int64_t c = 0; c < n_columns; ++c) {
        double *column = out + c * n_rows;
        if (column_from[c] < 0) {
            for (std::int64_t r = 0; r < n_rows; ++r)
                column[r] = fill;
            continue;
        }
        const double *source = src + column_from[c] * src_rows;
        for (std::int64_t r = 0; r < n_rows; ++r)
            column[r] = row_from[r] < 0 ? fill : source[row_from[r]];
    }
}

std::size_t relevance_to_pvalues(double *values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (values[i] == 1.0)
            values[i] = 0.0;
        else if (values[i] == 0.0)
            values[i] = 1.0;
        else
            return i;
    }
    return kAllValid;
}

std::size_t find_outside_unit(const double *values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (values[i] < 0.0 || values[i] > 1.0)
            return i;
    return kAllValid;
}

void group_rows(std::vector<std::int64_t> &order, std::vector<std::int64_t> &starts,
                const std::int64_t *codes, std::size_t n, std::size_t n_codes) {
    starts.assign(n_codes + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        ++starts[static_cast<std::size_t>(codes[i]) + 1];
    for (std::size_t g = 0; g < n_codes; ++g)
        starts[g + 1] += starts[g];
    std::vector<std::int64_t> next(starts.begin(), starts.end() - 1);
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        order[static_cast<std::size_t>(next[static_cast<std::size_t>(codes[i])]++)] =
            static_cast<std::int64_t>(i);
}

void gather(double *out, const double *values, std::span<const std::int64_t> rows) {
    for (std::size_t i = 0; i < rows.size(); ++i)
        out[i] = values[rows[i]];
}

} // namespace pelorkit::kernels
