// Cell-type populations and expression fractions per sample.
//
// Both tables count cells by code: each per-cell label column becomes codes
// into its sorted distinct labels (natively for the plain forms), and one pass
// counts them. Inputs that no native path reads exactly go through the
// element-wise comparisons of the plain algorithm.
#include "pelorkit/python.hpp"

#include "composition_impl.hpp"
#include "functions.hpp"
#include "kernels/counting.hpp"
#include "library_names.hpp"
#include "pyops.hpp"

#include <algorithm>

namespace pelorkit::analyka {
namespace {

using namespace composition;
namespace k = kernels;

const Name len_name{"len"};
const Name float_name{"float"};

std::vector<py::ssize_t> matrix_shape(std::size_t rows, std::size_t cols) {
    return {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)};
}

Py_ssize_t length(const Call &call, py::handle obj) {
    return call.global(len_name)(obj).cast<Py_ssize_t>();
}

py::object frame(const Call &call, py::handle values, py::handle index, py::handle columns) {
    return call.global(pd_name).attr("DataFrame")(values, py::arg("index") = index,
                                                  py::arg("columns") = columns);
}

// ---- population -----------------------------------------------------------

// A per-cell label column: its sorted distinct labels, and each cell's code
// when the native encoding read it.
struct LabelColumn {
    py::handle values;
    std::optional<CellCodes> fast;
    py::list labels;
};

LabelColumn label_column(const Call &call, py::handle values) {
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
            return k::count_pairs(cells, n_types, rows.data(), cols.data(), rows.size(), poll);
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

// ---- expression -----------------------------------------------------------

py::list sorted_unique(py::handle groups) {
    py::list slst = groups.attr("unique")().attr("tolist")();
    if (PyList_Sort(slst.ptr()) < 0)
        throw py::error_already_set();
    return slst;
}

// The columns of X behind the listed items: distinct positions, and for each
// item the slot of its position among them. nullopt where names are not
// unique or anndata selected something other than one column per item.
struct ItemColumns {
    std::vector<std::int64_t> picked;
    std::vector<std::size_t> slot_of_item;
};

std::optional<ItemColumns> item_columns(py::handle adata, py::handle subset, std::size_t n_items) {
    py::object var_names = adata.attr("var_names");
    if (!truthy(var_names.attr("is_unique")))
        return std::nullopt;
    std::optional<ArrayRef> positions =
        array_ref(var_names.attr("get_indexer")(subset.attr("var_names")), 1);
    if (!positions || positions->kind != 'i' || positions->itemsize != 8 ||
        positions->size() != n_items)
        return std::nullopt;
    ItemColumns out;
    std::vector<std::int64_t> slot_of_column;
    py::array_t<std::int64_t> at = positions->array;
    for (std::size_t m = 0; m < n_items; ++m) {
        const std::int64_t column = at.at(static_cast<py::ssize_t>(m));
        if (column < 0)
            return std::nullopt;
        if (static_cast<std::size_t>(column) >= slot_of_column.size())
            slot_of_column.resize(static_cast<std::size_t>(column) + 1, -1);
        std::int64_t &slot = slot_of_column[static_cast<std::size_t>(column)];
        if (slot < 0) {
            slot = static_cast<std::int64_t>(out.picked.size());
            out.picked.push_back(column);
        }
        out.slot_of_item.push_back(static_cast<std::size_t>(slot));
    }
    return out;
}

// Fraction of each group's cells whose value is > 0, per item; nullopt when
// X or the grouping has no native reading.
std::optional<py::array_t<double>> positive_fractions(py::handle adata, py::handle groups,
                                                      const std::optional<CellCodes> &codes,
                                                      const py::list &slst,
                                                      const std::optional<ItemColumns> &items,
                                                      std::size_t n_columns) {
    std::optional<std::vector<std::int32_t>> by_equality;
    if (!codes) {
        by_equality = codes_by_equality(groups, slst, py::len(groups));
        if (!by_equality)
            return std::nullopt;
    }
    const std::vector<std::int32_t> &row_group = codes ? codes->codes : *by_equality;
    const std::size_t n_groups = slst.size();

    std::optional<std::vector<std::int64_t>> picked;
    if (items)
        picked = items->picked;
    std::optional<PositiveCounts> counts =
        count_positive(adata.attr("X"), row_group, n_groups, picked);
    if (!counts || (!items && counts->n_columns != n_columns))
        return std::nullopt;

    std::vector<std::int64_t> cells(n_groups, 0);
    k::count_codes(cells.data(), row_group.data(), row_group.size());
    py::array_t<double> fractions(matrix_shape(n_groups, n_columns));
    double *out = fractions.mutable_data();
    for (std::size_t g = 0; g < n_groups; ++g) {
        const std::uint32_t *group_counts = counts->counts.data() + g * counts->n_columns;
        for (std::size_t m = 0; m < n_columns; ++m) {
            const std::size_t slot = items ? items->slot_of_item[m] : m;
            out[g * n_columns + m] =
                static_cast<double>(group_counts[slot]) / static_cast<double>(cells[g]);
        }
    }
    return fractions;
}

// The plain computation on the dense table of X, for what the native paths
// do not read.
py::object expression_by_frame(const Call &call, py::handle groups, const py::list &slst,
                               py::handle cells_by_items, py::handle columns) {
    py::object df = call.global(pd_name).attr("DataFrame")(py::arg("index") = slst,
                                                           py::arg("columns") = columns);
    py::object loc = cells_by_items.attr("loc");
    py::object df_loc = df.attr("loc");
    for (py::handle s : slst) {
        py::object b = pyops::eq(groups, s);
        py::object selected = loc[py::make_tuple(b, pyops::full_slice())];
        py::object positive = pyops::compare(selected, py::int_(0), Py_GT);
        py::list mns(positive.attr("mean")(py::arg("axis") = 0));
        df_loc[py::make_tuple(s, pyops::full_slice())] = mns;
    }
    return df.attr("astype")(call.global(float_name));
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
    if (length(call, sort_by) > 0)
        df_celltype_pct = df_celltype_pct.attr("sort_values")(py::arg("by") = sort_by);
    return py::make_tuple(df_celltype_cnt, df_celltype_pct);
}

py::object get_gene_expression(const Call &call) {
    py::handle adata = call.arg(0), items_to_plot = call.arg(1), group_col = call.arg(2);

    // The groups, sorted.
    py::object groups = adata.attr("obs")[group_col];
    std::optional<CellCodes> codes = encode_cells(call, groups, LabelForm::listed);
    py::list slst = codes ? codes->labels : sorted_unique(groups);

    // All items, or the listed ones in their order (anndata resolves them).
    const bool all_items = is_none(items_to_plot) || length(call, items_to_plot) == 0;
    py::object columns, subset;
    std::optional<ItemColumns> items;
    if (all_items) {
        columns = adata.attr("var").attr("index");
    } else {
        subset = adata[py::make_tuple(pyops::full_slice(), items_to_plot)];
        columns = py::reinterpret_borrow<py::object>(items_to_plot);
        items = item_columns(adata, subset, static_cast<std::size_t>(length(call, items_to_plot)));
    }

    if (all_items || items) {
        std::optional<py::array_t<double>> fractions =
            positive_fractions(adata, groups, codes, slst, items,
                               items ? items->slot_of_item.size() : py::len(columns));
        if (fractions)
            return frame(call, *fractions, slst, columns);
    }
    py::object cells_by_items = (all_items ? adata : subset).attr("to_df")();
    return expression_by_frame(call, groups, slst, cells_by_items, columns);
}

} // namespace pelorkit::analyka
