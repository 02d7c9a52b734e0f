// Diagnostics around a whole call: the function runs unchanged; the checks
// read the arguments' types before it, its result's labels after it, and an
// opaque error on its way out.
#include "pelorkit/python.hpp"

#include "diagnostics/repeated_ids.hpp"
#include "diagnostics/report.hpp"
#include "functions.hpp"
#include "glue/contexts.hpp"
#include "glue/lazy_values.hpp"
#include "glue/length.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

namespace pelorkit::analyka::diagnostics {
namespace {

using pyops::attribute_if_present;
using pyops::is_instance;

const Name ndim_name{"ndim"};

std::string str(Py_ssize_t n) {
    return std::to_string(n);
}

bool is_data_frame(const Call &call, py::handle obj) {
    return is_instance(obj, call.global(pd_name).attr("DataFrame"));
}

// ---- per-record labels ----------------------------------------------------

// One per-record label argument: its name, and what a record lacks when its
// value is missing.
struct LabelArg {
    Py_ssize_t position;
    const char *name;
    const char *label; // "a sample", "a cell type", ...
};

// A column name, a table or a 2-D array where one label per record belongs.
std::optional<std::string> label_shape_problem(const Call &call, const LabelArg &arg,
                                               const char *record) {
    py::handle values = call.arg(arg.position);
    const std::string name = arg.name;
    return quietly([&]() -> std::optional<std::string> {
        if (PyUnicode_Check(values.ptr()))
            return name + " is the str " + shown(values) + ", not one label per " + record +
                   ": pass the values themselves, e.g. adata.obs[" + shown(values) + "]";
        if (is_data_frame(call, values)) {
            py::object columns = values.attr("columns");
            const std::string column = len_if_sized(columns).value_or(0) > 0
                                           ? shown(columns[py::int_(0)])
                                           : std::string("'column'");
            return name + " is a DataFrame of shape " + text(values.attr(shape_name)) +
                   ", not one label per " + record + ": pass one of its columns, e.g. df[" +
                   column + "]";
        }
        py::object ndim = attribute_if_present(values, ndim_name);
        if (ndim && PyLong_Check(ndim.ptr()) && ndim.cast<long>() >= 2)
            return name + " is an array of shape " + text(values.attr(shape_name)) +
                   ", not one label per " + record +
                   ": pass a one-dimensional sequence, e.g. one column of it";
        return std::nullopt;
    });
}

void warn_label_shapes(const Call &call, std::initializer_list<LabelArg> args, const char *record) {
    for (const LabelArg &arg : args)
        if (std::optional<std::string> message = label_shape_problem(call, arg, record))
            warn(call, *message);
}

// Label sequences of different lengths, or missing labels, behind numpy's
// boolean-index error or the sort's TypeError.
[[noreturn]] void explain_label_error(const Call &call, py::error_already_set &e,
                                      const LabelArg &first, const LabelArg &second,
                                      const char *record) {
    const bool index_error = is_error(e, PyExc_IndexError);
    const bool unorderable = is_error(e, PyExc_TypeError, "not supported between instances");
    if (!index_error && !unorderable)
        throw e;
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        if (index_error) {
            const auto n1 = len_if_sized(call.arg(first.position));
            const auto n2 = len_if_sized(call.arg(second.position));
            if (n1 && n2 && *n1 != *n2)
                return std::string(first.name) + " has " + str(*n1) + " values and " + second.name +
                       " " + str(*n2) + ": pass one value of each per " + record +
                       ", e.g. two columns of the same table";
        }
        for (const LabelArg *arg : {&first, &second})
            if (has_missing(call, call.arg(arg->position)))
                return std::string(arg->name) + " holds NaN or None (" + record + "s without " +
                       arg->label + "): drop or fill those " + record + "s first";
        return std::nullopt;
    });
    reraise(e, index_error ? PyExc_IndexError : PyExc_TypeError, message);
}

constexpr LabelArg kSamples{0, "samples", "a sample"};
constexpr LabelArg kConditions{1, "conditions", "a condition"};
constexpr LabelArg kPids{0, "pids", "a sample"};
constexpr LabelArg kCellTypes{1, "cts", "a cell type"};

// A KeyError keeps its key (callers may read it); the note says what to fix.
void add_note(py::error_already_set &e, const std::optional<std::string> &note) {
    if (note)
        quietly([&]() -> std::optional<std::string> {
            e.value().attr("add_note")(make_str(*note));
            return std::nullopt;
        });
}

// ---- CCI tables -----------------------------------------------------------

// pandas' "cannot reindex on an axis with duplicate labels", raised when a
// repeated id is selected, becomes a ValueError that names the ids.
[[noreturn]] void explain_repeated_ids(py::error_already_set &e, py::handle df_dct) {
    if (!is_error(e, PyExc_ValueError, "duplicate labels"))
        throw e;
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        const RepeatedIds found = repeated_ids(df_dct);
        if (found.ids.empty())
            return std::nullopt;
        return repeated_ids_text(found) + "; " + kUniqueIdsFix;
    });
    reraise(e, PyExc_ValueError, message);
}

} // namespace

py::object get_sample_to_group_dict(const Call &call) {
    warn_label_shapes(call, {kSamples, kConditions}, "record");
    py::object result;
    try {
        result = analyka::get_sample_to_group_dict(call);
    } catch (py::error_already_set &e) {
        explain_label_error(call, e, kSamples, kConditions, "record");
    }
    // numpy turns NaN among strings into the text 'nan'.
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        py::str nan("nan");
        py::dict map = py::reinterpret_borrow<py::dict>(result);
        bool key = false, value = false;
        for (auto item : map) {
            key = key || pyops::holds(item.first, nan, Py_EQ);
            value = value || pyops::holds(item.second, nan, Py_EQ);
        }
        for (const auto &[found, arg] : {std::pair{key, kSamples}, std::pair{value, kConditions}})
            if (found && has_missing(call, call.arg(arg.position)))
                return std::string(arg.name) + " holds NaN, which numpy turned into the text " +
                       "'nan' among the other labels; drop or fill those records first";
        return std::nullopt;
    });
    if (message)
        warn(call, *message);
    return result;
}

py::object get_population(const Call &call) {
    warn_label_shapes(call, {kPids, kCellTypes}, "cell");
    py::object result;
    try {
        result = analyka::get_population(call);
    } catch (py::error_already_set &e) {
        explain_label_error(call, e, kPids, kCellTypes, "cell");
    }
    // Numeric labels with NaN sort without an error; NaN equals no cell.
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        py::object counts = result[py::int_(0)];
        if (truthy(counts.attr("index").attr("hasnans")))
            return std::string("pids holds NaN (cells without a sample): they are counted in no "
                               "sample, and the NaN rows hold 0 cells (NaN percentages); drop or "
                               "fill those cells first");
        if (truthy(counts.attr("columns").attr("hasnans")))
            return std::string("cts holds NaN (cells without a cell type): they are counted "
                               "nowhere, and the NaN columns hold 0; drop or fill those cells "
                               "first");
        return std::nullopt;
    });
    if (message)
        warn(call, *message);
    return result;
}

namespace {

// The KeyError of a group_col that is no column of adata.obs, or of names in
// items_to_plot that are no items of adata.var.
std::optional<std::string> missing_expression_key(py::handle adata, py::handle items_to_plot,
                                                  py::handle group_col) {
    return quietly([&]() -> std::optional<std::string> {
        py::object columns = adata.attr("obs").attr("columns");
        if (!pyops::contains(columns, group_col)) {
            py::list close = py::module_::import("difflib").attr("get_close_matches")(
                py::str(group_col), pyops::as_list(columns.attr("astype")("str")), 1);
            return "group_col " + shown(group_col) + " is not a column of adata.obs, whose " +
                   std::to_string(py::len(columns)) + " columns are " + listing(columns, 8) +
                   ": pass one of them" +
                   (close.empty() ? std::string() : ", e.g. group_col=" + shown(close[0]));
        }
        if (is_none(items_to_plot) || PyUnicode_Check(items_to_plot.ptr()))
            return std::nullopt;
        py::object names = adata.attr("var_names");
        py::list absent;
        for (py::handle item : items_to_plot)
            if (!pyops::contains(names, item))
                absent.append(item);
        if (absent.empty())
            return std::nullopt;
        return std::to_string(absent.size()) +
               " of the names in items_to_plot are not items of "
               "adata.var_names: " +
               listing(absent) + "; check their spelling, or leave them out";
    });
}

} // namespace

py::object get_gene_expression(const Call &call) {
    py::handle adata = call.arg(0), items_to_plot = call.arg(1), group_col = call.arg(2);
    const auto column = [&] { return "adata.obs[" + shown(group_col) + "]"; };
    py::object result;
    try {
        result = analyka::get_gene_expression(call);
    } catch (py::error_already_set &e) {
        if (e.type().ptr() == PyExc_KeyError) {
            add_note(e, missing_expression_key(adata, items_to_plot, group_col));
            throw;
        }
        if (!e.matches(PyExc_TypeError))
            throw;
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            if (!is_error(e, PyExc_TypeError, "not supported between instances")) {
                if (!PyUnicode_Check(items_to_plot.ptr()))
                    return std::nullopt;
                return "items_to_plot is the str " + shown(items_to_plot) +
                       ": pass a list of names, e.g. [" + shown(items_to_plot) + "]";
            }
            py::object missing =
                labels_in_memory(adata.attr("obs")[group_col]).attr("isna")().attr("sum")();
            if (!truthy(missing))
                return std::nullopt;
            return column() + " holds NaN for " + text(missing) +
                   " cells: give them a group, or leave them out, e.g. adata[" + column() +
                   ".notna()]";
        });
        reraise(e, PyExc_TypeError, message);
    }
    // Numeric groups with NaN sort without an error; NaN equals no cell.
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        if (!truthy(result.attr("index").attr("hasnans")))
            return std::nullopt;
        return column() + " holds NaN: those cells belong to no group, and the NaN row of the " +
               "table is NaN; give them a group, or leave them out, e.g. adata[" + column() +
               ".notna()]";
    });
    if (message)
        warn(call, *message);
    return result;
}

py::object cci_get_diff_interactions(const Call &call) {
    try {
        return analyka::cci_get_diff_interactions(call);
    } catch (py::error_already_set &e) {
        // The mapping's own KeyError stays as it is (callers may read its
        // key); a note says what the table's rows must be.
        if (e.type().ptr() != PyExc_KeyError)
            throw;
        py::handle df = call.arg(0), sample_group_map = call.arg(1);
        std::optional<std::string> note = quietly([&]() -> std::optional<std::string> {
            py::tuple args = e.value().attr("args");
            if (args.size() != 1 || !pyops::contains(df.attr("index"), args[0]))
                return std::nullopt;
            py::object columns = df.attr("columns");
            if (len_if_sized(columns).value_or(0) > 0 &&
                pyops::contains(sample_group_map, columns[py::int_(0)]))
                return "The rows of the table must be samples, and its columns are samples of "
                       "sample_group_map: pass the table transposed (df.T).";
            py::list absent;
            py::object index = df.attr("index");
            for (py::handle sample : index)
                if (!pyops::contains(sample_group_map, sample))
                    absent.append(sample);
            if (absent.size() <= 1)
                return "Every row of the table must be a sample of sample_group_map; " +
                       shown(args[0]) + " is not.";
            return "Every row of the table must be a sample of sample_group_map; " +
                   std::to_string(absent.size()) + " of its " + std::to_string(py::len(index)) +
                   " rows are not: " + listing(absent) + ".";
        });
        add_note(e, note);
        throw;
    }
}

py::object cci_get_means(const Call &call) {
    py::object result;
    try {
        result = analyka::cci_get_means(call);
    } catch (py::error_already_set &e) {
        explain_repeated_ids(e, call.arg(0));
    }
    py::handle cells = call.arg(2), genes = call.arg(3);
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        if (!is_none(call.arg(1)) || len_if_sized(result.attr("columns")).value_or(1) != 0 ||
            len_if_sized(result.attr("index")).value_or(0) == 0)
            return std::nullopt;
        const bool by_cells = len_if_sized(cells).value_or(0) > 0;
        const bool by_genes = len_if_sized(genes).value_or(0) > 0;
        return "no interaction has pval <= " + shown(call.arg(4)) +
               (by_cells ? " with cell_A or cell_B in cells" : "") +
               (by_genes ? " and gene_A or gene_B in genes" : "") +
               " in any table, so the mean table has no columns; check pval_cutoff" +
               (by_cells ? " and the names in cells" : "") +
               (by_genes ? " and the names in genes" : "");
    });
    if (message)
        warn(call, *message);
    return result;
}

py::object cci_get_df_to_plot(const Call &call) {
    py::handle target_cells = call.arg(3);
    const bool filtered = PyList_Check(target_cells.ptr());
    if (!filtered && !is_none(target_cells)) {
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            const std::string example = PyUnicode_Check(target_cells.ptr())
                                            ? "[" + shown(target_cells) + "]"
                                            : "list(target_cells)";
            return "target_cells is a " + text(pyops::type_name(target_cells)) +
                   ", not a list, so no cell filter is applied; pass a list, e.g. " + example;
        });
        if (message)
            warn(call, *message);
    }
    py::object result;
    try {
        result = analyka::cci_get_df_to_plot(call);
    } catch (py::error_already_set &e) {
        explain_repeated_ids(e, call.arg(0));
    }
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        py::list tables = pyops::as_list(result.attr("values")());
        if (tables.empty() || len_if_sized(tables[0]).value_or(1) != 0)
            return std::nullopt;
        return "no interaction has pval <= " + shown(call.arg(1)) +
               " and mean >= " + shown(call.arg(2)) +
               (filtered ? " with cell_A or cell_B in target_cells" : "") +
               " in any table, so every plot table is empty; check the cutoffs" +
               (filtered ? " and the names in target_cells" : "");
    });
    if (message)
        warn(call, *message);
    return result;
}

py::object cci_get_ni_mat(const Call &call) {
    py::object result = analyka::cci_get_ni_mat(call);
    // Every row counts, so an id listed twice counts twice (unless the
    // removal of common interactions dropped it).
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        py::handle df_dct = call.arg(0);
        RepeatedIds found = repeated_ids(df_dct);
        if (found.ids.empty())
            return std::nullopt;
        if (truthy(call.arg(1))) {
            py::list counted;
            for (py::handle id : found.ids)
                for (auto item : py::reinterpret_borrow<py::dict>(df_dct))
                    if (!pyops::contains(item.second.attr("index"), id)) {
                        counted.append(id);
                        break;
                    }
            if (counted.empty())
                return std::nullopt;
            found.ids = std::move(counted);
        }
        return repeated_ids_text(found) + ", and each row is counted, so these interactions " +
               "count more than once; " + kUniqueIdsFix;
    });
    if (message)
        warn(call, *message);
    return result;
}

namespace {

// The labels that occur neither in y nor in y_pred (NaN precision and recall).
py::list absent_labels(py::handle perf) {
    py::list absent;
    const std::string prefix = "Precision (";
    for (auto item : py::reinterpret_borrow<py::dict>(perf)) {
        const std::string key = text(item.first);
        if (key.rfind(prefix, 0) != 0 || key.back() != ')')
            continue;
        const std::string label = key.substr(prefix.size(), key.size() - prefix.size() - 1);
        py::object recall = perf[make_str("Recall (" + label + ")")];
        if (is_nan(item.second) && is_nan(recall))
            absent.append(make_str(label));
    }
    return absent;
}

// Whether a NaN score has another cause than a label in `absent`: a label
// never predicted, absent from y or in every cell, or no cells at all.
bool has_other_nan(py::handle perf, const py::list &absent) {
    for (auto item : py::reinterpret_borrow<py::dict>(perf)) {
        if (!is_nan(item.second))
            continue;
        const std::string key = text(item.first);
        if (key == "F1" && !absent.empty())
            continue;
        bool explained = false;
        for (py::handle label : absent) {
            std::string suffix = text(label);
            suffix.insert(suffix.begin(), '(');
            suffix.push_back(')');
            explained = explained || key.ends_with(suffix);
        }
        if (!explained)
            return true;
    }
    return false;
}

} // namespace

py::object evaluate_performance(const Call &call) {
    py::handle y = call.arg(0), y_pred = call.arg(1), labels = call.arg(2);
    const LabelArg kY{0, "y", "a label"}, kYPred{1, "y_pred", "a label"};
    std::vector<std::string> shapes;
    for (const LabelArg &arg : {kY, kYPred})
        if (std::optional<std::string> problem = label_shape_problem(call, arg, "cell"))
            shapes.push_back(*problem);
    const bool text_labels = PyUnicode_Check(labels.ptr());
    // Scores of labels that cannot be counted are NaN, from 0/0: numpy's
    // report of it is held back here and given below only where no warning
    // of ours explains the NaN.
    py::object np = call.global(np_name);
    py::dict quiet;
    quiet["divide"] = "ignore";
    quiet["invalid"] = "ignore";
    py::object perf;
    try {
        perf = with_errstate(np, quiet, [&] {
            if (shapes.empty())
                return analyka::evaluate_performance(call);
            // Frames are summed by np.sum with axis=None, whose pandas
            // deprecation says nothing about the mistake named below.
            py::object warnings = py::module_::import("warnings");
            py::object context = warnings.attr("catch_warnings")();
            return within(context, [&] {
                warnings.attr("filterwarnings")("ignore", py::arg("category") =
                                                              py::handle(PyExc_FutureWarning));
                return analyka::evaluate_performance(call);
            });
        });
    } catch (py::error_already_set &e) {
        if (!is_error(e, PyExc_ValueError))
            throw;
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            // A table or a 2-D array where labels belong does not line up
            // with the other argument.
            if (!shapes.empty())
                return shapes.front();
            const auto n1 = len_if_sized(y), n2 = len_if_sized(y_pred);
            if (!n1 || !n2 || *n1 == *n2)
                return std::nullopt;
            return "y has " + str(*n1) + " labels and y_pred " + str(*n2) +
                   ": pass one prediction per cell";
        });
        reraise(e, PyExc_ValueError, message);
    }
    for (const std::string &problem : shapes)
        warn(call, problem);
    if (text_labels)
        warn(call, "labels is the str " + shown(labels) +
                       ", which is read one character at a time: pass a list, e.g. [" +
                       shown(labels) + "]");
    py::list absent;
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        if (text_labels)
            return std::nullopt;
        absent = absent_labels(perf);
        if (absent.empty())
            return std::nullopt;
        py::object found =
            call.global(pd_name).attr("unique")(np.attr("asarray")(y).attr("ravel")());
        return "the labels " + listing(absent) +
               " occur neither in y nor in y_pred, so their scores and the weighted F1 are NaN; "
               "y holds " +
               listing(found) + ": pass labels=[...] naming the labels of the data";
    });
    if (message)
        warn(call, *message);
    // numpy's own report of a 0/0 we do not explain, under the caller's
    // np.errstate: a warning by default, an error or a call if so set.
    // (Labels read one character at a time explain every NaN.)
    if (!text_labels && quietly([&]() -> std::optional<std::string> {
            if (!has_other_nan(perf, absent))
                return std::nullopt;
            return std::string();
        }))
        pyops::div(np.attr("float64")(0.0), np.attr("float64")(0.0));
    return perf;
}

py::object compute_sample_div_index(const Call &call) {
    py::handle adata = call.arg(0), cluster_col = call.arg(2), tumor_dec = call.arg(3);
    py::handle tumor_name = call.arg(6);
    py::object df;
    try {
        df = analyka::compute_sample_div_index(call);
    } catch (py::error_already_set &e) {
        // A label whose text selects no cell: 0 tumour cells out of 0.
        if (!is_error(e, PyExc_ValueError, "NaN to integer"))
            throw;
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            const std::string column = "adata.obs[" + shown(cluster_col) + "]";
            return "a label of " + column +
                   " matches no cell by its text (cells are matched with str(label), which "
                   "differs from the column's own text for dates or float32 values, say): "
                   "convert the column to text first, e.g. " +
                   column + " = " + column + ".astype(str)";
        });
        reraise(e, PyExc_ValueError, message);
    }
    // No tumour cell anywhere, because tumor_name cannot match the decisions.
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        if (len_if_sized(df).value_or(0) == 0 ||
            !truthy(pyops::eq(df["Tumor_pct"], py::int_(0)).attr("all")()) ||
            !PyUnicode_Check(tumor_name.ptr()))
            return std::nullopt;
        py::object decisions = labels_in_memory(adata.attr("obs")[tumor_dec]);
        const std::string column = "adata.obs[" + shown(tumor_dec) + "]";
        const std::string effect = ", so Tumor_pct is 0 and Tumor False in every cluster";
        const std::string kind = text(decisions.attr("dtype").attr("kind"));
        if (kind == "b" || kind == "i" || kind == "u" || kind == "f")
            return column + " holds " + (kind == "b" ? "booleans" : "numbers") +
                   ", which never equal tumor_name " + shown(tumor_name) + effect +
                   "; pass the value that marks a tumour cell, e.g. tumor_name=" +
                   (kind == "b" ? "True" : "1");
        const auto folded = [](py::handle s) {
            return s.attr("strip")().attr("lower")().cast<std::string>();
        };
        const std::string wanted = folded(tumor_name);
        for (py::handle value : decisions.attr("dropna")().attr("unique")()) {
            if (!PyUnicode_Check(value.ptr()) || folded(value) != wanted)
                continue;
            // NOLINTBEGIN(performance-inefficient-string-concatenation): built once, returned
            return "no cell of " + column + " is " + shown(tumor_name) + ", but some are " +
                   shown(value) + effect + "; pass tumor_name=" + shown(value);
            // NOLINTEND(performance-inefficient-string-concatenation)
        }
        return std::nullopt;
    });
    if (message)
        warn(call, *message);
    return df;
}

py::object get_axes(const Call &call) {
    try {
        return analyka::get_axes(call);
    } catch (py::error_already_set &e) {
        py::handle axes = call.arg(0), nr = call.arg(1);
        if (!is_error(e, PyExc_TypeError, "not subscriptable"))
            throw;
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            PyTypeObject *type = Py_TYPE(axes.ptr());
            const bool subscriptable =
                (type->tp_as_mapping != nullptr && type->tp_as_mapping->mp_subscript != nullptr) ||
                (type->tp_as_sequence != nullptr && type->tp_as_sequence->sq_item != nullptr);
            if (!subscriptable || !pyops::holds(nr, py::int_(1), Py_GT))
                return std::nullopt;
            return "axes holds one row of panels, but nr=" + shown(nr) +
                   " indexes it by row and column: create the grid with plt.subplots(nr, nc, "
                   "squeeze=False), or pass nr=1 to index the flat sequence";
        });
        reraise(e, PyExc_TypeError, message);
    }
}

} // namespace pelorkit::analyka::diagnostics
