// One CellPhoneDB run read into arrays (see wide.hpp).
#include "pelorkit/python.hpp"

#include "cellphonedb/wide.hpp"
#include "glue/arrays.hpp"
#include "glue/frames.hpp"
#include "glue/messages.hpp"
#include "glue/names.hpp"
#include "kernels/matching.hpp"
#include "kernels/values.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace pelorkit::readers {
namespace {

// Where a table keeps what the reader needs.
struct Layout {
    std::vector<std::int64_t> pairs;      // the cell-pair columns "A|B"
    std::vector<std::int64_t> annotation; // the annotation columns carried over
    Py_ssize_t interacting_pair = -1, id_cp = -1, partner_a = -1, gene_a = -1, partner_b = -1,
               gene_b = -1;
    Texts labels; // of the cell-pair columns
};

bool is_named(py::handle label, const char *name) {
    return PyUnicode_Check(label.ptr()) && PyUnicode_CompareWithASCIIString(label.ptr(), name) == 0;
}

Layout layout_of(const Call &call, py::handle frame, const char *argument) {
    py::object labels = frame.attr("columns");
    if (!truthy(labels.attr("is_unique"))) {
        std::vector<std::string> repeated;
        for (py::handle label : labels[labels.attr("duplicated")()].attr("unique")())
            repeated.push_back(shown(label));
        raise(PyExc_ValueError, std::string(argument) + " has repeated column labels (" +
                                    listing(repeated) +
                                    "): each column must have a name of its own");
    }
    Layout layout;
    py::list pair_labels;
    Py_ssize_t position = 0, rank = -1;
    for (py::handle label : labels) {
        const Py_ssize_t bar =
            PyUnicode_Check(label.ptr())
                ? PyUnicode_FindChar(label.ptr(), '|', 0, PyUnicode_GET_LENGTH(label.ptr()), 1)
                : -1;
        if (bar == -2)
            throw py::error_already_set();
        if (bar >= 0) {
            layout.pairs.push_back(position);
            pair_labels.append(label);
        } else if (is_named(label, "interacting_pair")) {
            layout.interacting_pair = position;
        } else {
            struct Known {
                const char *name;
                Py_ssize_t *slot;
                bool carried;
            };
            const Known known[] = {
                {"id_cp_interaction", &layout.id_cp, true}, {"partner_a", &layout.partner_a, true},
                {"partner_b", &layout.partner_b, true},     {"gene_a", &layout.gene_a, false},
                {"gene_b", &layout.gene_b, false},          {"rank", &rank, true}};
            bool carried = true;
            for (const Known &k : known)
                if (is_named(label, k.name)) {
                    *k.slot = position;
                    carried = k.carried;
                }
            if (carried)
                layout.annotation.push_back(position);
        }
        ++position;
    }
    if (layout.interacting_pair < 0) {
        std::vector<std::string> names;
        for (py::handle label : labels)
            names.push_back(shown(label));
        raise(PyExc_ValueError,
              std::string(argument) +
                  " has no 'interacting_pair' column, so it is no CellPhoneDB "
                  "table (its columns: " +
                  listing(names, 6) +
                  "). Read CellPhoneDB's files with pandas.read_csv(path, sep='\\t'), without "
                  "index_col, or pass their paths.");
    }
    if (rank >= 0)
        raise(PyExc_ValueError, std::string(argument) +
                                    " has a 'rank' column: it is CellPhoneDB's significant_means "
                                    "table, whose means are blank where not significant. Pass "
                                    "the means table instead.");
    if (layout.pairs.empty())
        raise(PyExc_ValueError, std::string(argument) +
                                    " has no cell-pair columns: CellPhoneDB names them by the "
                                    "two cell types, 'A|B'");
    layout.labels = Texts::of(call, pair_labels);
    return layout;
}

// The texts of a column; every item must be a str.
Texts text_column(const Call &call, py::handle frame, Py_ssize_t position, const char *argument,
                  const char *name) {
    py::object values = column_at(frame, position);
    Texts texts = Texts::of(call, values);
    if (texts.first_other() != kAllText)
        raise(PyExc_ValueError, std::string(argument) + ": row " +
                                    std::to_string(texts.first_other()) + " has " +
                                    shown(values.attr("iloc")[py::int_(texts.first_other())]) +
                                    " as its " + name + ", where a text is expected");
    return texts;
}

// Every column of a table gives one value per row.
void check_rows(std::size_t got, std::size_t rows, const char *argument) {
    if (got != rows)
        raise(PyExc_ValueError, std::string(argument) + " has " + std::to_string(rows) +
                                    " rows, but a column of it gives " + std::to_string(got) +
                                    " values");
}

// The cell-pair columns as a float64 block, with a message that names the table.
py::object number_block(const Call &call, py::handle frame, const Layout &layout,
                        const char *argument) {
    py::object block;
    try {
        block = float_block(call, columns_at(frame, layout.pairs));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        raise(PyExc_ValueError, std::string(argument) +
                                    ": the cell-pair columns must hold numbers (" +
                                    py::cast<std::string>(py::str(e.value())) + ")");
    }
    py::tuple shape = block.attr("shape");
    check_rows(py::cast<std::size_t>(shape[0]), py::len(frame), argument);
    if (shape.size() != 2 || py::cast<std::size_t>(shape[1]) != layout.pairs.size())
        raise(PyExc_ValueError,
              std::string(argument) + ": its cell-pair columns do not make one block of numbers");
    return block;
}

// The texts that identify a row in both tables: the interaction's
// id_cp_interaction when both tables have one, else its interacting pair.
Texts row_keys(const Call &call, py::handle frame, const Layout &layout, bool by_id,
               const char *argument) {
    Texts keys =
        by_id ? Texts::of(call, column_at(frame, layout.id_cp))
              : text_column(call, frame, layout.interacting_pair, argument, "interacting_pair");
    check_rows(keys.size(), py::len(frame), argument);
    return keys;
}

[[noreturn]] void mismatch(const char *second, const std::string &what) {
    raise(PyExc_ValueError, std::string("means and ") + second +
                                " do not come from one CellPhoneDB run: " + what +
                                ". Read both tables of the same run.");
}

// position[i] = where needles[i] stands in the haystack; every one must be there.
std::vector<std::int64_t> find_all(const Texts &needles, const Texts &haystack,
                                   const char *needle_table, const char *haystack_table,
                                   const char *second, const char *what) {
    std::vector<std::int64_t> positions;
    kernels::match_texts(positions, needles.view(), haystack.view());
    for (std::size_t i = 0; i < positions.size(); ++i)
        if (positions[i] == kernels::kNotFound)
            mismatch(second, std::string(needle_table) + " has the " + what + " " +
                                 quoted(needles[i]) + ", which " + haystack_table + " lacks");
    return positions;
}

// The inverse of an injective map onto 0..n-1 (-1 where nothing maps).
std::vector<std::int64_t> inverse(const std::vector<std::int64_t> &map, std::size_t n) {
    std::vector<std::int64_t> from(n, kernels::kNotFound);
    for (std::size_t i = 0; i < map.size(); ++i)
        from[static_cast<std::size_t>(map[i])] = static_cast<std::int64_t>(i);
    return from;
}

// What tells the rows of a repeated interacting pair apart: their
// id_cp_interaction when each has a distinct one, else their number 1, 2, ...
void note_repeats(WideRun &run, const Texts &ids) {
    std::vector<std::int64_t> first;
    kernels::find_first_equal(first, run.gene_pairs.view());
    std::vector<std::vector<std::size_t>> groups(run.n_rows);
    bool any = false;
    for (std::size_t r = 0; r < run.n_rows; ++r) {
        groups[static_cast<std::size_t>(first[r])].push_back(r);
        any = any || first[r] != static_cast<std::int64_t>(r);
    }
    if (!any)
        return;
    std::vector<std::string> endings(run.n_rows);
    for (const std::vector<std::size_t> &group : groups) {
        if (group.size() < 2)
            continue;
        bool by_id = ids.size() == run.n_rows;
        for (std::size_t i = 0; by_id && i < group.size(); ++i) {
            by_id = !ids[group[i]].empty();
            for (std::size_t j = 0; by_id && j < i; ++j)
                by_id = ids[group[i]] != ids[group[j]];
        }
        for (std::size_t i = 0; i < group.size(); ++i)
            endings[group[i]] = by_id ? std::string(ids[group[i]]) : std::to_string(i + 1);
        run.repeated.push_back(quoted(run.gene_pairs[group[0]]));
        if (run.repeated_example.empty())
            run.repeated_example = quoted(std::string(run.gene_pairs[group[0]]) + "--" +
                                          std::string(run.labels[0]) + "--" + endings[group[0]]);
    }
    for (const std::string &ending : endings)
        run.endings.push(ending);
}

// The two partners of each interacting pair, from CellPhoneDB's annotation.
void split_partners(const Call &call, WideRun &run, py::handle frame, const Layout &layout) {
    auto hint = [&](Py_ssize_t position) {
        return position < 0 ? Texts() : Texts::of(call, column_at(frame, position));
    };
    const Texts partners_a = hint(layout.partner_a), genes_a = hint(layout.gene_a),
                partners_b = hint(layout.partner_b), genes_b = hint(layout.gene_b);
    std::vector<std::int64_t> first_length;
    const std::size_t bad = kernels::split_gene_pairs(
        first_length, run.gene_pairs.view(),
        {partners_a.view(), genes_a.view(), partners_b.view(), genes_b.view()});
    if (bad != kernels::kAllSound)
        raise(PyExc_ValueError,
              "means: the interacting pair " + quoted(run.gene_pairs[bad]) +
                  " cannot make an id '<gene_A>_<gene_B>--<cell_A>|<cell_B>': it needs a '_' "
                  "between its partners and no '--'");
    kernels::TextBuffer a, b;
    for (std::size_t r = 0; r < run.n_rows; ++r) {
        const std::string_view pair = run.gene_pairs[r];
        const auto cut = static_cast<std::size_t>(first_length[r]);
        a.push(pair.substr(0, cut));
        b.push(pair.substr(cut + 1));
    }
    run.genes_a = str_array(call, a.view());
    run.genes_b = str_array(call, b.view());
}

// The p-values of the means table's cells, from the second table.
void read_pvalues(const Call &call, WideRun &run, py::handle means, const Layout &means_layout,
                  py::handle second, bool deg) {
    const char *name = deg ? "relevant_interactions" : "pvalues";
    const Layout layout = layout_of(call, second, name);
    const bool by_id = means_layout.id_cp >= 0 && layout.id_cp >= 0;
    const Texts means_keys = row_keys(call, means, means_layout, by_id, "means");
    const Texts keys = row_keys(call, second, layout, by_id, name);
    const char *row_what = by_id ? "interaction" : "interacting pair";
    std::vector<std::int64_t> row_from, column_from;
    if (deg) {
        // The DEG analysis leaves out the rows and columns with no relevant interaction.
        row_from = inverse(find_all(keys, means_keys, name, "means", name, row_what), run.n_rows);
        column_from = inverse(find_all(layout.labels, run.labels, name, "means", name, "cell pair"),
                              run.labels.size());
    } else {
        row_from = find_all(means_keys, keys, "means", name, name, row_what);
        column_from = find_all(run.labels, layout.labels, "means", name, name, "cell pair");
        if (keys.size() != means_keys.size())
            mismatch(name, std::string(name) + " has " + std::to_string(keys.size()) +
                               " rows and means " + std::to_string(means_keys.size()));
        if (layout.labels.size() != run.labels.size())
            mismatch(name, std::string(name) + " has " + std::to_string(layout.labels.size()) +
                               " cell-pair columns and means " + std::to_string(run.labels.size()));
    }
    py::object values = number_block(call, second, layout, name);
    ArrayView source, out;
    hold_columns(source, values);
    run.pvalues = new_block(call, run.n_rows, run.labels.size(), out);
    kernels::align_block(out.data<double>(), static_cast<std::int64_t>(run.n_rows),
                         static_cast<std::int64_t>(run.labels.size()), source.data<double>(),
                         static_cast<std::int64_t>(keys.size()), row_from.data(),
                         column_from.data(), deg ? 0.0 : 1.0);
    const std::size_t bad = deg ? kernels::relevance_to_pvalues(out.data<double>(), out.size())
                                : kernels::find_outside_unit(out.data<double>(), out.size());
    if (bad == kernels::kAllValid)
        return;
    const double value = out.data<double>()[bad];
    const std::string where = "for " + quoted(run.gene_pairs[bad % run.n_rows]) + " in " +
                              quoted(run.labels[bad / run.n_rows]);
    if (deg)
        raise(PyExc_ValueError,
              "relevant_interactions holds " + shown(py::float_(value)) + " " + where +
                  ", where a DEG analysis marks a relevant interaction with 1 and any other with "
                  "0. Is it a statistical analysis' pvalues table? Pass that as pvalues=.");
    raise(PyExc_ValueError, "pvalues holds " + shown(py::float_(value)) + " " + where +
                                ", outside [0, 1]. Is it the means table? Pass CellPhoneDB's "
                                "pvalues table as pvalues=.");
}

} // namespace

std::vector<kernels::CellPair> cell_pairs(const WideRun &run) {
    std::vector<kernels::CellPair> cells;
    const std::size_t bad = kernels::split_cell_pairs(cells, run.labels.view());
    if (bad != kernels::kAllSound)
        raise(PyExc_ValueError,
              "means: the column " + quoted(run.labels[bad]) +
                  " is no cell pair 'A|B' from which an id could be split back: it holds more "
                  "than one '|', or '--'");
    return cells;
}

py::object load_table(const Call &call, py::handle table, const char *argument) {
    py::object pd = call.global(pd_name);
    if (py::isinstance(table, pd.attr("DataFrame")))
        return py::reinterpret_borrow<py::object>(table);
    py::object os = call.global(os_name);
    if (!PyUnicode_Check(table.ptr()) && !py::isinstance(table, os.attr("PathLike")))
        raise(PyExc_TypeError, std::string(argument) +
                                   " must be a path (str or os.PathLike) or a pandas DataFrame, "
                                   "not " +
                                   type_name(table));
    py::object path = os.attr("fspath")(table);
    if (!PyUnicode_Check(path.ptr()))
        raise(PyExc_TypeError,
              std::string(argument) + " must be a path as str, not " + type_name(path));
    py::object os_path = os.attr("path");
    if (truthy(os_path.attr("isdir")(path)))
        raise(PyExc_IsADirectoryError,
              std::string(argument) + "=" + shown(path) +
                  " is a folder: pass it as the first argument to read the newest run in it");
    if (!truthy(os_path.attr("isfile")(path)))
        raise(PyExc_FileNotFoundError, std::string(argument) + ": no such file: " + shown(path));
    const bool comma = truthy(path.attr("lower")().attr("endswith")(".csv"));
    return pd.attr("read_csv")(path, py::arg("sep") = comma ? "," : "\t",
                               py::arg("low_memory") = false);
}

WideRun read_run(const Call &call, py::handle means_arg, py::handle second_arg, bool deg) {
    py::object means = load_table(call, means_arg, "means");
    py::object second = load_table(call, second_arg, deg ? "relevant_interactions" : "pvalues");
    const Layout layout = layout_of(call, means, "means");
    WideRun run;
    run.n_rows = static_cast<std::size_t>(py::len(means));
    run.labels = layout.labels;
    cell_pairs(run); // checks the labels
    run.gene_pairs = text_column(call, means, layout.interacting_pair, "means", "interacting_pair");
    check_rows(run.gene_pairs.size(), run.n_rows, "means");
    split_partners(call, run, means, layout);
    note_repeats(run,
                 layout.id_cp >= 0 ? Texts::of(call, column_at(means, layout.id_cp)) : Texts());
    run.means = number_block(call, means, layout, "means");
    read_pvalues(call, run, means, layout, second, deg);
    run.annotation = columns_at(means, layout.annotation);
    return run;
}

} // namespace pelorkit::readers
