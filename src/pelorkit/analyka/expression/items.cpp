// The listed items of the expression table located among the columns of X:
// by name against var_names where anndata's indexing would look the names up
// the same way, so that no subset AnnData is built for them.
#include "pelorkit/python.hpp"

#include "expression/items.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "pelorkit/array_view.hpp"
#include "pelorkit/interrupts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>

namespace pelorkit::analyka::expression {
namespace {

const Name var_names_name{"var_names"};

// One position per item (int64, all >= 0) as sorted distinct columns and
// each item's slot among them.
std::optional<ItemColumns> columns_at(py::handle positions, std::size_t n_items) {
    std::optional<ArrayView> ref = ArrayView::of_array(positions, 1);
    if (!ref || ref->kind() != 'i' || ref->itemsize() != 8 || ref->size() != n_items)
        return std::nullopt;
    py::array_t<std::int64_t> at = ref->array();
    std::vector<std::int64_t> column(n_items);
    for (std::size_t m = 0; m < n_items; ++m) {
        column[m] = at.at(static_cast<py::ssize_t>(m));
        if (column[m] < 0)
            return std::nullopt;
    }
    ItemColumns out{column, {}};
    std::sort(out.picked.begin(), out.picked.end());
    out.picked.erase(std::unique(out.picked.begin(), out.picked.end()), out.picked.end());
    out.slot_of_item.reserve(n_items);
    for (std::int64_t c : column)
        out.slot_of_item.push_back(static_cast<std::size_t>(
            std::lower_bound(out.picked.begin(), out.picked.end(), c) - out.picked.begin()));
    return out;
}

bool ends_with_nul(PyObject *s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return n > 0 && PyUnicode_READ_CHAR(s, n - 1) == 0;
}

// The items as a list of names: a list, a one-dimensional numpy array or a
// pandas Index or Series (anndata reads their values) of str only. numpy
// text drops trailing NULs, so such names stay with anndata.
std::optional<py::list> item_names(const Call &call, py::handle items) {
    py::object pd = call.global(pd_name);
    py::list names;
    if (PyList_Check(items.ptr())) {
        names = pyops::as_list(items);
    } else if ((py::isinstance<py::array>(items) &&
                py::reinterpret_borrow<py::array>(items).ndim() == 1) ||
               py::isinstance(items, pd.attr("Index")) ||
               py::isinstance(items, pd.attr("Series"))) {
        names = items.attr("tolist")();
    } else {
        return std::nullopt;
    }
    for (py::handle name : names)
        if (!PyUnicode_Check(name.ptr()) || ends_with_nul(name.ptr()))
            return std::nullopt;
    return names;
}

// var_names when names locate columns one to one: unique strings.
py::object unique_names(py::handle adata) {
    py::object var_names = pyops::attribute_if_present(adata, var_names_name);
    if (!var_names || !truthy(var_names.attr("is_unique")))
        return py::object();
    return var_names;
}

} // namespace

std::optional<ItemColumns> resolve_names(const Call &call, py::handle adata, py::handle items,
                                         std::size_t n_items) {
    py::object var_names = unique_names(adata);
    if (!var_names || !pyops::holds(var_names.attr("inferred_type"), py::str("string"), Py_EQ))
        return std::nullopt;
    std::optional<py::list> names = item_names(call, items);
    if (!names || names->size() != n_items)
        return std::nullopt;
    return columns_at(var_names.attr("get_indexer")(*names), n_items);
}

std::optional<ItemColumns> resolve_subset(py::handle adata, py::handle subset,
                                          std::size_t n_items) {
    py::object var_names = unique_names(adata);
    if (!var_names)
        return std::nullopt;
    return columns_at(var_names.attr("get_indexer")(subset.attr("var_names")), n_items);
}

} // namespace pelorkit::analyka::expression
