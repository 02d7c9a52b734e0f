// read_liana: LIANA's by-sample long results (one row per sample, source and
// target cell type, ligand and receptor complex) as the dict of CCI result
// tables, one per sample.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/arrays.hpp"
#include "glue/frames.hpp"
#include "glue/long_table.hpp"
#include "glue/messages.hpp"
#include "glue/names.hpp"
#include "glue/texts.hpp"
#include "kernels/ids.hpp"
#include "kernels/matching.hpp"
#include "kernels/values.hpp"
#include "pelorkit/interrupts.hpp"

#include <array>
#include <string>
#include <vector>

namespace pelorkit::readers {
namespace {

// The arguments that name columns, in the order of the signature.
enum Key : std::uint8_t { kSample, kScore, kPvalue, kSource, kTarget, kLigand, kReceptor, kKeys };
constexpr std::array<const char *, kKeys> kKeyNames = {"sample_key",  "score_key",  "pvalue_key",
                                                       "source_key",  "target_key", "ligand_key",
                                                       "receptor_key"};

// A column as codes into its distinct values (by first appearance).
struct Coded {
    py::object codes;  // int64 array, one code per row
    py::object values; // object array of the distinct values
};

Coded factorize(const Call &call, py::handle column, py::handle key, std::size_t n) {
    py::tuple pair = call.global(pd_name).attr("factorize")(column);
    py::object np = call.global(np_name);
    Coded coded{np.attr("ascontiguousarray")(pair[0], py::str("int64")),
                np.attr("asarray")(pair[1], py::str("object"))};
    ArrayView codes;
    hold(codes, coded.codes, 'q');
    if (codes.size() != n || py::cast<int>(coded.values.attr("ndim")) != 1)
        raise(PyExc_ValueError, "the column " + shown(key) + " does not give one value per row");
    std::size_t missing = 0;
    for (std::int64_t code : codes.items<std::int64_t>())
        missing += code < 0 ? 1 : 0;
    if (missing > 0)
        raise(PyExc_ValueError, std::to_string(missing) + " rows of df have no value in the " +
                                    "column " + shown(key) +
                                    ": every row needs its sample, cell "
                                    "types and complexes");
    return coded;
}

// Texts of a column's distinct values: str as they are, anything else as str()
// shows it (cell types numbered 0, 1, ... become '0', '1', ...).
Texts value_texts(const Call &call, const Coded &coded) {
    py::list items;
    for (py::handle value : coded.values)
        items.append(PyUnicode_Check(value.ptr()) ? py::reinterpret_borrow<py::object>(value)
                                                  : py::object(py::str(value)));
    return Texts::of(call, items);
}

// Names that would make an id that splits back wrongly.
void check_parts(const Texts &texts, py::handle key, bool cell_type) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string_view text = texts[i];
        if (text.find("--") != std::string_view::npos ||
            (cell_type && text.find('|') != std::string_view::npos))
            raise(PyExc_ValueError, "the column " + shown(key) + " holds " + quoted(text) +
                                        ", which cannot be part " +
                                        "of an id '<gene_A>_<gene_B>--<cell_A>|<cell_B>': " +
                                        (cell_type ? "a cell type must hold neither '|' nor '--'"
                                                   : "a complex must not hold '--'"));
    }
}

py::object numbers(const Call &call, py::handle column, py::handle key, std::size_t n) {
    py::object values;
    try {
        // One run of memory: a column of a frame made from a 2-D array is a
        // strided view.
        values = call.global(np_name).attr("ascontiguousarray")(column, py::str("float64"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError))
            throw;
        raise(PyExc_ValueError, "the column " + shown(key) + " must hold numbers (" +
                                    py::cast<std::string>(py::str(e.value())) + ")");
    }
    if (py::cast<int>(values.attr("ndim")) != 1 || py::len(values) != n)
        raise(PyExc_ValueError, "the column " + shown(key) + " does not give one number per row");
    return values;
}

// The ids of one sample's rows; repeated ids get "--1", "--2", ... in row
// order, and `repeated` the quoted ids that repeat.
kernels::TextBuffer sample_ids(const kernels::IdParts &parts, std::span<const std::int64_t> rows,
                               std::vector<std::string> &repeated) {
    kernels::TextBuffer ids;
    run_released([&](kernels::InterruptPoll poll) {
        return kernels::write_row_ids(ids, parts, rows, poll);
    });
    const kernels::TextTable texts = ids.view();
    std::vector<std::int64_t> first;
    kernels::find_first_equal(first, texts);
    std::vector<std::int64_t> copies(texts.size, 0);
    bool any = false;
    for (std::size_t i = 0; i < texts.size; ++i) {
        any = any || first[i] != static_cast<std::int64_t>(i);
        ++copies[static_cast<std::size_t>(first[i])];
    }
    if (!any)
        return ids;
    kernels::TextBuffer named;
    std::vector<std::int64_t> number(texts.size, 0);
    for (std::size_t i = 0; i < texts.size; ++i) {
        const auto group = static_cast<std::size_t>(first[i]);
        named.add(texts[i]);
        if (copies[group] > 1) {
            if (number[group] == 0)
                repeated.push_back(quoted(texts[i]));
            named.add("--" + std::to_string(++number[group]));
        }
        named.end();
    }
    return named;
}

} // namespace

py::object read_liana(const Call &call) {
    py::object np = call.global(np_name), pd = call.global(pd_name);
    py::handle df = call.arg(0);
    if (!py::isinstance(df, pd.attr("DataFrame")))
        raise(PyExc_TypeError,
              "df must be a pandas DataFrame of LIANA's results, not " + type_name(df));
    py::object labels = df.attr("columns");
    if (!truthy(labels.attr("is_unique")))
        raise(PyExc_ValueError, "df has repeated column labels: each column must have a name of "
                                "its own");
    std::array<Py_ssize_t, kKeys> position{};
    for (int k = 0; k < kKeys; ++k) {
        py::handle key = call.arg(k + 1);
        if (PySequence_Contains(labels.ptr(), key.ptr()) != 1) {
            if (PyErr_Occurred())
                throw py::error_already_set();
            std::vector<std::string> names;
            for (py::handle label : labels)
                names.push_back(shown(label));
            raise(PyExc_ValueError, "df has no column " + shown(key) + " (" + kKeyNames[k] +
                                        "); its columns are " + listing(names, 8));
        }
        py::object location = labels.attr("get_loc")(key);
        if (!PyLong_Check(location.ptr())) // a partial key of MultiIndex columns
            raise(PyExc_ValueError, std::string(kKeyNames[k]) + "=" + shown(key) +
                                        " names several columns of df; name one");
        position[k] = py::cast<Py_ssize_t>(location);
    }
    auto column = [&](int k) { return column_at(df, position[k]); };

    const std::size_t n = py::len(df);
    const Coded samples = factorize(call, column(kSample), call.arg(kSample + 1), n);
    std::array<Coded, 4> coded;
    std::array<Texts, 4> texts;
    for (int k = kSource; k <= kReceptor; ++k) {
        coded[k - kSource] = factorize(call, column(k), call.arg(k + 1), n);
        texts[k - kSource] = value_texts(call, coded[k - kSource]);
        check_parts(texts[k - kSource], call.arg(k + 1), k == kSource || k == kTarget);
    }
    const py::object score = numbers(call, column(kScore), call.arg(kScore + 1), n);
    const py::object pvalue = numbers(call, column(kPvalue), call.arg(kPvalue + 1), n);

    std::array<ArrayView, 4> code_views;
    for (std::size_t i = 0; i < 4; ++i)
        hold(code_views[i], coded[i].codes, 'q');
    const kernels::IdParts parts{texts[kLigand - kSource].view(),
                                 texts[kReceptor - kSource].view(),
                                 texts[0].view(),
                                 texts[1].view(),
                                 code_views[kLigand - kSource].data<std::int64_t>(),
                                 code_views[kReceptor - kSource].data<std::int64_t>(),
                                 code_views[0].data<std::int64_t>(),
                                 code_views[1].data<std::int64_t>()};
    ArrayView sample_codes, score_view, pvalue_view;
    hold(sample_codes, samples.codes, 'q');
    hold(score_view, score, 'd');
    hold(pvalue_view, pvalue, 'd');
    std::vector<std::int64_t> order, starts;
    const std::size_t n_samples = py::len(samples.values);
    kernels::group_rows(order, starts, sample_codes.data<std::int64_t>(), sample_codes.size(),
                        n_samples);

    std::vector<std::int64_t> extra;
    for (Py_ssize_t j = 0; j < static_cast<Py_ssize_t>(py::len(labels)); ++j)
        if (std::find(position.begin(), position.end(), j) == position.end())
            extra.push_back(j);
    py::object extra_frame = columns_at(df, extra);

    py::dict tables;
    std::vector<std::string> repeated;
    for (std::size_t g = 0; g < n_samples; ++g) {
        const std::span<const std::int64_t> rows(
            order.data() + starts[g], static_cast<std::size_t>(starts[g + 1] - starts[g]));
        LongColumns table;
        table.ids = str_array(call, sample_ids(parts, rows, repeated).view());
        ArrayView pval, mean;
        const auto n_rows = static_cast<Py_ssize_t>(rows.size());
        table.pval = new_array(np, n_rows, "float64", pval);
        table.mean = new_array(np, n_rows, "float64", mean);
        kernels::gather(pval.data<double>(), pvalue_view.data<double>(), rows);
        kernels::gather(mean.data<double>(), score_view.data<double>(), rows);
        py::object taken = int64_array(call, rows);
        auto names = [&](int k) {
            const int i = k - kSource;
            const std::int64_t *codes = code_views[i].data<std::int64_t>();
            return objects_at(call, texts[i].objects(), rows.size(), [&](std::size_t j) {
                return static_cast<std::size_t>(codes[rows[j]]);
            });
        };
        table.cell_a = names(kSource);
        table.cell_b = names(kTarget);
        table.gene_a = names(kLigand);
        table.gene_b = names(kReceptor);
        table.extra = extra_frame.attr("take")(taken);
        tables[samples.values[py::int_(g)]] = make_table(call, table);
    }
    if (!repeated.empty())
        warn(call, "LIANA's results give " +
                       (repeated.size() == 1 ? "the id " + repeated[0]
                                             : std::to_string(repeated.size()) + " ids (" +
                                                   listing(repeated, 5) + ")") +
                       " to more than one row of a sample: complexes joined by '_' can read "
                       "alike ('A_B' with 'C', 'A' with 'B_C'), or a row is listed twice. Each "
                       "row keeps an id of its own, ending in '--1', '--2', ... in row order; "
                       "cpdb_get_gp_n_cp ignores that ending.");
    return tables;
}

} // namespace pelorkit::readers
