// A read CellPhoneDB run as long CCI tables (see melt.hpp). The rows follow
// pandas' melt of the wide tables: cell pair by cell pair, in column order,
// and within one the interacting pairs in row order.
#include "pelorkit/python.hpp"

#include "cellphonedb/melt.hpp"
#include "glue/arrays.hpp"
#include "glue/long_table.hpp"
#include "glue/messages.hpp"
#include "glue/names.hpp"
#include "kernels/ids.hpp"
#include "kernels/values.hpp"
#include "pelorkit/interrupts.hpp"

#include <algorithm>
#include <numeric>
#include <span>
#include <vector>

namespace pelorkit::readers {
namespace {

// The cell types of every column, as texts with their str objects.
struct ColumnCells {
    Texts a, b;
};

ColumnCells column_cells(const Call &call, const std::vector<kernels::CellPair> &cells) {
    kernels::TextBuffer a, b;
    for (const kernels::CellPair &pair : cells) {
        a.push(pair.a);
        b.push(pair.b);
    }
    return {Texts::of(call, a.view()), Texts::of(call, b.view())};
}

py::object melt_columns(const Call &call, const WideRun &run, std::span<const std::int64_t> columns,
                        const ColumnCells &cells) {
    py::object np = call.global(np_name);
    const std::size_t n = run.n_rows * columns.size();

    kernels::TextBuffer ids;
    run_released([&](kernels::InterruptPoll poll) {
        return kernels::write_grid_ids(ids, run.gene_pairs.view(), run.endings.view(),
                                       cells.a.view(), cells.b.view(), columns, poll);
    });

    LongColumns table;
    table.ids = str_array(call, ids.view());
    ArrayView means, pvalues, mean, pval;
    hold_columns(means, run.means);
    hold_columns(pvalues, run.pvalues);
    table.mean = new_array(np, static_cast<Py_ssize_t>(n), "float64", mean);
    table.pval = new_array(np, static_cast<Py_ssize_t>(n), "float64", pval);
    const auto n_rows = static_cast<std::int64_t>(run.n_rows);
    kernels::copy_columns(mean.data<double>(), means.data<double>(), n_rows, columns);
    kernels::copy_columns(pval.data<double>(), pvalues.data<double>(), n_rows, columns);

    const std::size_t n_rows_ = run.n_rows;
    auto column_of = [&](std::size_t i) { return static_cast<std::size_t>(columns[i / n_rows_]); };
    auto row_of = [&](std::size_t i) { return i % n_rows_; };
    table.cell_a = objects_at(call, cells.a.objects(), n, column_of);
    table.cell_b = objects_at(call, cells.b.objects(), n, column_of);
    table.gene_a = objects_at(call, run.genes_a, n, row_of);
    table.gene_b = objects_at(call, run.genes_b, n, row_of);
    py::object rows = np.attr("tile")(np.attr("arange")(run.n_rows), columns.size());
    table.extra = run.annotation.attr("take")(rows);
    return make_table(call, table);
}

} // namespace

void add_run_table(const Call &call, const WideRun &run, py::handle key, py::dict &tables) {
    std::vector<std::int64_t> all(run.labels.size());
    std::iota(all.begin(), all.end(), 0);
    tables[key] = melt_columns(call, run, all, column_cells(call, cell_pairs(run)));
}

void add_sample_tables(const Call &call, const WideRun &run, py::handle sep, py::dict &tables) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(sep.ptr(), &size);
    if (utf8 == nullptr)
        throw py::error_already_set();
    const std::string_view separator(utf8, static_cast<std::size_t>(size));
    const std::vector<kernels::CellPair> cells = cell_pairs(run);
    kernels::SamplePairs samples;
    kernels::split_by_sample(samples, cells, separator);
    if (samples.unsplit != kernels::kAllSound) {
        const kernels::CellPair &pair = cells[samples.unsplit];
        const std::string_view label =
            pair.a.find(separator) == std::string_view::npos ? pair.a : pair.b;
        const bool none_split =
            samples.samples.empty() && std::none_of(cells.begin(), cells.end(), [&](const auto &p) {
                return p.a.find(separator) != std::string_view::npos ||
                       p.b.find(separator) != std::string_view::npos;
            });
        raise(PyExc_ValueError,
              "sample_sep=" + quoted(separator) +
                  (none_split ? " splits no cell type of the run (e.g. " + quoted(label) + ")"
                              : " does not split the cell type " + quoted(label)) +
                  ": with sample_sep every cell type must read <sample>" + std::string(separator) +
                  "<cell type>. Pass the separator the labels use, or leave sample_sep out for a "
                  "run of one sample.");
    }
    if (samples.samples.empty())
        raise(PyExc_ValueError,
              "sample_sep=" + quoted(separator) +
                  " leaves no cell pair within one sample: every column pairs cell types of two "
                  "samples (e.g. " +
                  quoted(run.labels[0]) + ")");
    const ColumnCells unprefixed = column_cells(call, samples.cells);
    for (std::size_t s = 0; s < samples.samples.size(); ++s) {
        const std::string_view name = samples.samples[s];
        py::object key = py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
        if (!key)
            throw py::error_already_set();
        tables[key] = melt_columns(call, run, samples.columns[s], unprefixed);
    }
}

} // namespace pelorkit::readers
