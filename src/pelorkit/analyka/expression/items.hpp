// The listed items of the expression table located among the columns of X (items.cpp).
#pragma once

#include "pelorkit/python.hpp"

#include "pelorkit/pyfunction.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pelorkit::analyka::expression {

// The columns of X behind the listed items: distinct positions in ascending
// order, and for each item the slot of its column among them.
struct ItemColumns {
    std::vector<std::int64_t> picked;
    std::vector<std::size_t> slot_of_item;
};

// The items resolved by name against a unique string var_names, with no
// subset built: nullopt unless every item is a name anndata would look up
// and finds (the rest goes through anndata's own indexing).
std::optional<ItemColumns> resolve_names(const Call &call, py::handle adata, py::handle items,
                                         std::size_t n_items);

// The columns anndata selected for the items (`subset` is adata[:, items]):
// nullopt unless var_names are unique and it selected one column per item.
std::optional<ItemColumns> resolve_subset(py::handle adata, py::handle subset, std::size_t n_items);

} // namespace pelorkit::analyka::expression
