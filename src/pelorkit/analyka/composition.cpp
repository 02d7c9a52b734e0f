// Cell-type populations per sample.
//
// The table counts cells by code: each per-cell label column becomes codes
// into its sorted distinct labels (natively for the plain forms), and one pass
// counts the pairs. Inputs that no native path reads exactly go through the
// element-wise comparisons of the plain algorithm. (The expression fractions,
// which share the label codes, are in expression/.)
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/label_codes.hpp"
#include "glue/lazy_values.hpp"
#include "glue/length.hpp"
#include "glue/names.hpp"
#include "glue/pandas_values.hpp"
#include "glue/pyops.hpp"
#include "kernels/counting.hpp"
#include "pelorkit/interrupts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>

namespace pelorkit::analyka {
namespace {

namespace k = kernels;

// A per-cell label column: its sorted distinct labels, and each cell's code
// when the native encoding read it.
struct LabelColumn {
    py::object values; // in memory
    std::optional<CellCodes> fast;
    py::list labels;
};

LabelColumn label_column(const Call &call, py::handle given) {
    py::object values = labels_in_memory(given);
    LabelColumn column{values, encode_cells(call, values, LabelForm::iterated), py::list()};
    column.labels = column.fast ? column.fast->labels : pyops::sorted_distinct(values);
    return column;
}

// Each of n cells' code: the native one, else by comparing with every label.
std::optional<std::vector<std::int32_t>> cell_codes(const LabelColumn &column,
                                                    const py::object &array, std::size_t n) {
    if (!column.fast)
        return codes_by_equality(array, column.labels, n);
    if (column.fast->codes.size() != n)
        return std::nullopt;
    return column.fast->codes;
}

// Cells per (sample, cell type) the literal way: the cells of each sample,
// then each cell type among them.
void count_by_comparison(const Call &call, std::int64_t *table, const py::object &pids,
                         const py::object &cts, const LabelColumn &samples,
                         const LabelColumn &types) {
    py::object sum = call.global(np_name).attr("sum");
    const std::size_t n_types = types.labels.size();
    for (std::size_t i = 0; i < samples.labels.size(); ++i) {
        py::object ct_sel = cts[pyops::eq(pids, samples.labels[i])];
        for (std::size_t j = 0; j < n_types; ++j)
            table[i * n_types + j] = sum(pyops::eq(ct_sel, types.labels[j])).cast<std::int64_t>();
        check_signals();
    }
}

// Cells per (sample, cell type), rows and columns in sorted label order.
py::array_t<std::int64_t> count_population(const Call &call, const LabelColumn &samples,
                                           const LabelColumn &types) {
    const std::size_t n_types = types.labels.size();
    py::array_t<std::int64_t> table(matrix_shape(samples.labels.size(), n_types));
    std::int64_t *cells = table.mutable_data();
    std::fill(cells, cells + table.size(), 0);
    auto count_pairs = [&](const std::vector<std::int32_t> &rows,
                           const std::vector<std::int32_t> &cols) {
        run_released([&](k::InterruptPoll poll) {
            return k::count_pairs(cells, samples.labels.size(), n_types, rows.data(), cols.data(),
                                  rows.size(), poll);
        });
    };
    if (samples.fast && types.fast && samples.fast->codes.size() == types.fast->codes.size()) {
        count_pairs(samples.fast->codes, types.fast->codes);
        return table;
    }

    py::object np = call.global(np_name);
    py::object pids = np.attr("array")(samples.values);
    py::object cts = np.attr("array")(types.values);
    const bool aligned = py::len(pids.attr("shape")) == 1 && py::len(cts.attr("shape")) == 1 &&
                         py::len(pids) == py::len(cts);
    if (aligned) {
        const std::size_t n = py::len(pids);
        std::optional<std::vector<std::int32_t>> rows = cell_codes(samples, pids, n);
        std::optional<std::vector<std::int32_t>> cols =
            rows ? cell_codes(types, cts, n) : std::nullopt;
        if (cols) {
            count_pairs(*rows, *cols);
            return table;
        }
    }
    // Unequal lengths raise numpy's IndexError here, as in the plain loop.
    count_by_comparison(call, cells, pids, cts, samples, types);
    return table;
}

// Counts over each row's total, times 100 (NaN for a row without cells).
py::array_t<double> row_percentages(const py::array_t<std::int64_t> &counts) {
    const std::size_t n_rows = static_cast<std::size_t>(counts.shape(0));
    const std::size_t n_cols = static_cast<std::size_t>(counts.shape(1));
    py::array_t<double> pct(matrix_shape(n_rows, n_cols));
    const std::int64_t *c = counts.data();
    double *p = pct.mutable_data();
    for (std::size_t i = 0; i < n_rows; ++i) {
        std::int64_t total = 0;
        for (std::size_t j = 0; j < n_cols; ++j)
            total += c[i * n_cols + j];
        for (std::size_t j = 0; j < n_cols; ++j)
            p[i * n_cols + j] =
                static_cast<double>(c[i * n_cols + j]) / static_cast<double>(total) * 100.0;
    }
    return pct;
}

} // namespace

py::object get_population(const Call &call) {
    // Distinct samples and cell types, each sorted.
    LabelColumn samples = label_column(call, call.arg(0));
    LabelColumn types = label_column(call, call.arg(1));

    py::array_t<std::int64_t> counts = count_population(call, samples, types);
    py::object df_celltype_cnt = frame(call, counts, samples.labels, types.labels);
    py::object df_celltype_pct = frame(call, row_percentages(counts), samples.labels, types.labels);

    py::handle sort_by = call.arg(2);
    if (module_len(call, sort_by) > 0)
        df_celltype_pct = df_celltype_pct.attr("sort_values")(py::arg("by") = sort_by);
    return py::make_tuple(df_celltype_cnt, df_celltype_pct);
}

} // namespace pelorkit::analyka
