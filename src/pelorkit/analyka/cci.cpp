// The CCI mean table (one row per sample, one column per selected interaction,
// holding its mean in that sample) and the second names that forward to the
// mean table and to the interaction-count matrices.
#include "pelorkit/python.hpp"

#include "cci_ids.hpp"
#include "functions.hpp"
#include "library_names.hpp"
#include "pyops.hpp"

#include <cmath>
#include <limits>
#include <optional>

namespace pelorkit::analyka {
namespace {

const Name float_name{"float"};
const Name cci_get_means_name{"cci_get_means"};
const Name cci_get_ni_mat_name{"cci_get_ni_mat"};

using cci::Code;

// b = df['pval'] <= pval_cutoff, narrowed to rows where either partner is in
// `cells` and either gene is in `genes` when those are not empty.
py::object significant_rows(py::handle df, py::handle cells, py::handle genes,
                            py::handle pval_cutoff) {
    py::object b = pyops::compare(df["pval"], pval_cutoff, Py_LE);
    const auto restrict_to = [&](py::handle names, const char *a, const char *b_col) {
        const Py_ssize_t count = PyObject_Length(names.ptr());
        if (count < 0)
            throw py::error_already_set();
        if (count > 0)
            b = pyops::bit_and(
                b, pyops::bit_or(df[a].attr("isin")(names), df[b_col].attr("isin")(names)));
    };
    restrict_to(cells, "cell_A", "cell_B");
    restrict_to(genes, "gene_A", "gene_B");
    return b;
}

[[noreturn]] void raise_no_union() {
    PyErr_SetString(PyExc_UnboundLocalError,
                    "cannot access local variable 'idx_union' where it is not associated with a "
                    "value");
    throw py::error_already_set();
}

// Each distinct code of the columns becomes a target; a column repeating an id
// shares its target.
struct Targets {
    std::vector<Code> of_code;
    std::vector<Code> of_column;
    std::size_t count = 0;
};

Targets targets_of(std::span<const Code> column_codes, std::size_t codes) {
    Targets t;
    t.of_code.assign(codes, cci::kNoCode);
    t.of_column.reserve(column_codes.size());
    for (const Code code : column_codes) {
        Code &target = t.of_code[static_cast<std::size_t>(code)];
        if (target == cci::kNoCode)
            target = static_cast<Code>(t.count++);
        t.of_column.push_back(target);
    }
    return t;
}

// The mean of every target id a table lists, as float, NaN for the others.
// An id on two rows of the table has no one mean: pandas' duplicate-label
// error, after the KeyError of a missing `mean` column.
std::vector<double> target_means(py::handle table, std::span<const Code> codes,
                                 const Targets &targets, py::handle np, py::handle to_float) {
    std::vector<std::int64_t> row_of_target(targets.count);
    std::size_t repeated = 0;
    run_released([&](kernels::InterruptPoll poll) {
        return kernels::locate_target_rows(row_of_target, repeated, targets.of_code, codes, poll);
    });
    py::object mean = table["mean"];
    if (repeated != codes.size())
        cci::raise_duplicate_labels();
    std::vector<std::int64_t> rows;
    for (const std::int64_t row : row_of_target)
        if (row >= 0)
            rows.push_back(row);
    const std::vector<double> values = cci::floats_at(np, to_float, mean, rows);
    std::vector<double> means(targets.count, std::numeric_limits<double>::quiet_NaN());
    std::size_t next = 0;
    for (std::size_t t = 0; t < targets.count; ++t)
        if (row_of_target[t] >= 0)
            means[t] = values[next++];
    return means;
}

} // namespace

py::object cci_get_means(const Call &call) {
    py::handle dct = call.arg(0);
    py::handle idx_lst = call.arg(1);
    cci::IdSpace space;
    std::vector<py::object> tables;
    std::vector<std::size_t> index_columns;
    std::vector<cci::Selection> selections;
    std::optional<std::size_t> label_column;

    if (is_none(idx_lst)) {
        // Interactions significant (and within the cell and gene lists) in at
        // least one sample.
        for (py::handle key : cci::keys_of(dct)) {
            py::object df = dct[key];
            py::object b = significant_rows(df, call.arg(2), call.arg(3), call.arg(4));
            selections.emplace_back(space, cci::values_of(call, df.attr("index")), b);
            index_columns.push_back(selections.back().index_column());
            tables.push_back(std::move(df));
        }
        if (tables.empty())
            raise_no_union();
    }
    py::list slst = cci::keys_of(dct);
    if (!is_none(idx_lst)) {
        label_column = space.add(idx_lst);
        for (py::handle key : slst) {
            tables.push_back(dct[key]);
            index_columns.push_back(space.add(cci::values_of(call, tables.back().attr("index"))));
        }
    }
    space.number();

    // The column ids: the given list unchanged; a single sample's selection as
    // it stands (repeats kept); else the union in order of first appearance.
    py::object labels;
    std::vector<Code> column_codes;
    if (label_column) {
        labels = py::reinterpret_borrow<py::object>(idx_lst);
        const auto codes = space.codes(*label_column);
        column_codes.assign(codes.begin(), codes.end());
    } else {
        if (selections.size() == 1) {
            column_codes = selections[0].codes(space);
        } else {
            std::vector<std::uint8_t> listed(space.size(), 0);
            for (const cci::Selection &selection : selections) {
                const std::vector<Code> selected = selection.codes(space);
                run_released([&](kernels::InterruptPoll poll) {
                    return kernels::append_new_codes(column_codes, listed, selected, poll);
                });
            }
        }
        labels = cci::labels_of(call.global(np_name), space, column_codes);
    }

    // Every selected id a sample lists gets its mean, significant there or not.
    const Targets targets = targets_of(column_codes, space.size());
    const auto n_samples = static_cast<Py_ssize_t>(tables.size());
    const auto n_columns = static_cast<Py_ssize_t>(column_codes.size());
    py::object np = call.global(np_name);
    py::object to_float = call.global(float_name);
    cci::Buffer cells;
    py::object matrix = cci::new_array(np, n_samples * n_columns, "float64", cells);
    double *out = cells.data<double>();
    std::fill_n(out, n_samples * n_columns, std::numeric_limits<double>::quiet_NaN());
    for (Py_ssize_t i = 0; i < n_samples; ++i) {
        const std::vector<double> means = target_means(
            tables[static_cast<std::size_t>(i)],
            space.codes(index_columns[static_cast<std::size_t>(i)]), targets, np, to_float);
        double *row = out + i * n_columns;
        run_released([&](kernels::InterruptPoll) {
            for (std::size_t j = 0; j < targets.of_column.size(); ++j)
                row[j] = means[static_cast<std::size_t>(targets.of_column[j])];
            return true;
        });
        check_signals();
    }
    cells = cci::Buffer();
    py::object shaped = matrix.attr("reshape")(n_samples, n_columns);
    return call.global(pd_name).attr("DataFrame")(shaped, py::arg("index") = slst,
                                                  py::arg("columns") = labels);
}

py::object get_cci_means(const Call &call) {
    return call.global(cci_get_means_name)(call.arg(0), call.arg(1), call.arg(2), call.arg(3),
                                           call.arg(4));
}

py::object get_cci_ni_mat(const Call &call) {
    return call.global(cci_get_ni_mat_name)(call.arg(0), call.arg(1));
}

} // namespace pelorkit::analyka
