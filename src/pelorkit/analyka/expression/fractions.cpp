// Expression fractions per group: for each group of cells and each item, the
// fraction of the group's cells whose value in X is greater than zero.
//
// The groups become codes once; X is then read where it lies: numpy or scipy
// buffers in memory, an HDF5 file or a zarr store in blocks (a backed
// AnnData, a sparse dataset, anndata's lazy reader), or Dask chunks on the
// active scheduler. What none of these reads goes through the
// dense table of X, as in the plain algorithm.
#include "pelorkit/python.hpp"

#include "expression/backed.hpp"
#include "expression/dask.hpp"
#include "expression/items.hpp"
#include "expression/matrix.hpp"
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

namespace pelorkit::analyka {
namespace {

using namespace expression;

py::list sorted_unique(py::handle groups) {
    py::list slst = groups.attr("unique")().attr("tolist")();
    if (PyList_Sort(slst.ptr()) < 0)
        throw py::error_already_set();
    return slst;
}

// The result's items: all of X's columns, or the listed items with the
// columns behind them when those are known.
struct ItemSelection {
    bool all = true;
    py::object columns;                // the result's columns
    py::object subset;                 // adata[:, items], once anndata selected them
    std::optional<ItemColumns> listed; // the listed items' columns (never with all)
};

ItemSelection select_items(const Call &call, py::handle adata, py::handle items_to_plot) {
    ItemSelection items;
    items.all = is_none(items_to_plot) || module_len(call, items_to_plot) == 0;
    if (items.all) {
        items.columns = index_in_memory(adata.attr("var"));
        return items;
    }
    items.columns = py::reinterpret_borrow<py::object>(items_to_plot);
    const auto n_items = static_cast<std::size_t>(module_len(call, items_to_plot));
    // Names anndata would look up in var_names are looked up directly; the
    // rest (missing names, duplicate var names, positions, masks) goes
    // through anndata's indexing, which raises or selects as it does.
    items.listed = resolve_names(call, adata, items_to_plot, n_items);
    if (!items.listed) {
        items.subset = adata[py::make_tuple(pyops::full_slice(), items_to_plot)];
        items.listed = resolve_subset(adata, items.subset, n_items);
    }
    return items;
}

// Each cell's group code: the native one, else by comparing with each group.
std::optional<std::vector<std::int32_t>>
group_codes(py::handle groups, std::optional<CellCodes> &codes, const py::list &slst) {
    if (codes)
        return std::move(codes->codes);
    return codes_by_equality(groups, slst, py::len(groups));
}

// Counts of values > 0 per group and counted column of X, wherever X lies.
std::optional<GroupCounts> count_positive_cells(const Call &call, py::handle adata,
                                                const Grouping &groups, const Picked &picked) {
    // Stored X (a backed file, a sparse dataset, a zarr array, anndata's lazy
    // reader) streams from its store.
    std::optional<GroupCounts> counts = count_positive_stored(call, adata, groups, picked);
    if (counts)
        return counts;
    py::object x = adata.attr("X");
    if (is_dask_array(x))
        return count_positive_dask(call, x, groups, picked);
    return count_positive(x, groups, picked);
}

// The counts over each group's number of cells, one column per item.
py::array_t<double> fractions(const GroupCounts &counts, const Grouping &groups,
                              const ItemSelection &items, std::size_t n_columns) {
    std::vector<std::int64_t> cells(groups.n_groups, 0);
    kernels::count_codes(cells.data(), groups.row_group.data(), groups.row_group.size());
    py::array_t<double> out(matrix_shape(groups.n_groups, n_columns));
    double *values = out.mutable_data();
    for (std::size_t g = 0; g < groups.n_groups; ++g) {
        const std::int64_t *group_counts = counts.counts.data() + g * counts.n_columns;
        for (std::size_t m = 0; m < n_columns; ++m) {
            const std::size_t slot = items.listed ? items.listed->slot_of_item[m] : m;
            values[g * n_columns + m] =
                static_cast<double>(group_counts[slot]) / static_cast<double>(cells[g]);
        }
    }
    return out;
}

// The fractions from X's counts; nullopt when the groups or X have no native
// reading.
std::optional<py::array_t<double>> positive_fractions(const Call &call, py::handle adata,
                                                      py::handle groups,
                                                      std::optional<CellCodes> &codes,
                                                      const py::list &slst,
                                                      const ItemSelection &items) {
    std::optional<std::vector<std::int32_t>> row_group = group_codes(groups, codes, slst);
    if (!row_group)
        return std::nullopt;
    const Grouping grouping{*row_group, slst.size()};
    const std::size_t n_columns =
        items.listed ? items.listed->slot_of_item.size() : py::len(items.columns);

    Picked picked;
    if (items.listed)
        picked = items.listed->picked;
    std::optional<GroupCounts> counts = count_positive_cells(call, adata, grouping, picked);
    if (!counts || (items.all && counts->n_columns != n_columns))
        return std::nullopt;
    return fractions(*counts, grouping, items, n_columns);
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

py::object get_gene_expression(const Call &call) {
    py::handle adata = call.arg(0), items_to_plot = call.arg(1), group_col = call.arg(2);

    // The groups, sorted (a lazy obs' column as anndata would load it).
    py::object groups = labels_in_memory(adata.attr("obs")[group_col]);
    std::optional<CellCodes> codes = encode_cells(call, groups, LabelForm::listed);
    py::list slst = codes ? codes->labels : sorted_unique(groups);

    // All items, or the listed ones in their order.
    ItemSelection items = select_items(call, adata, items_to_plot);

    // The fraction of each group's cells with a value > 0, counted natively
    // wherever X lies.
    if (items.all || items.listed) {
        std::optional<py::array_t<double>> values =
            positive_fractions(call, adata, groups, codes, slst, items);
        if (values)
            return frame(call, *values, slst, items.columns);
    }

    // The plain computation on the dense table of X.
    if (!items.all && !items.subset)
        items.subset = adata[py::make_tuple(pyops::full_slice(), items_to_plot)];
    py::object cells_by_items = (items.all ? adata : items.subset).attr("to_df")();
    return expression_by_frame(call, groups, slst, cells_by_items, items.columns);
}

} // namespace pelorkit::analyka
