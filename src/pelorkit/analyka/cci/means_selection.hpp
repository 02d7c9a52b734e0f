// The interactions one sample contributes to the CCI mean table: its ids at
// or under the p-value cutoff whose cell types and genes pass the cell and
// gene lists.
#pragma once

#include "pelorkit/python.hpp"

#include "glue/pandas_values.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace pelorkit::analyka::cci {

// Whether the items of a column are in one list of names, as column.isin(names)
// says, decided once per distinct name. Series.isin decides every item of an
// object or string column alone, so each distinct str is asked once, in a
// Series of the column's dtype, and its answer serves every later row and
// table of that dtype.
class NameMembership {
public:
    NameMembership(py::handle names, py::handle np, py::handle pd);
    NameMembership(const NameMembership &) = delete;
    NameMembership &operator=(const NameMembership &) = delete;
    ~NameMembership();

    py::handle names() const { return names_; }
    // column.isin(names) at `rows` (also given as the intp array `at`) of a
    // column of `n_rows`; nullopt when isin gives no plain boolean Series.
    std::optional<std::vector<std::uint8_t>>
    at(py::handle column, std::span<const std::int64_t> rows, py::handle at, Py_ssize_t n_rows);

private:
    struct Decided;
    Decided &decided_for(py::handle dtype);

    py::handle names_;
    py::handle np_;
    py::handle pd_;
    std::vector<std::unique_ptr<Decided>> by_dtype_;
    bool failed_ = false; // an answer was unreadable: the plain statements from then on
};

// The cell list (partners cell_A, cell_B) and the gene list (gene_A, gene_B).
struct NameFilter {
    const char *a;
    const char *b;
    NameMembership &membership;
};

// The rows b keeps of one sample's table, in order, where
// b = df['pval'] <= pval_cutoff, narrowed by each filter whose list is not
// empty to the rows where either partner's name is in it; nullopt when a
// comparison or an isin gives no plain boolean Series (selected_ids then
// takes the plain statements).
std::optional<std::vector<std::int64_t>> selected_rows(py::handle df, std::span<NameFilter> filters,
                                                       py::handle pval_cutoff, py::handle np,
                                                       py::handle pd);

// sel = df.index.values[b]: the ids at `rows`, or else by the plain statements.
py::object selected_ids(py::handle df, const std::optional<std::vector<std::int64_t>> &rows,
                        std::span<NameFilter> filters, py::handle pval_cutoff, py::handle np);

} // namespace pelorkit::analyka::cci
