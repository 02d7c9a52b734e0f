// Diagnostics around a whole call: the function runs unchanged; the checks
// read the arguments' types before it, its result's labels after it, and an
// opaque error on its way out.
#include "pelorkit/python.hpp"

#include "diagnostics/report.hpp"
#include "functions.hpp"
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

py::object get_gene_expression(const Call &call) {
    py::handle adata = call.arg(0), items_to_plot = call.arg(1), group_col = call.arg(2);
    const auto column = [&] { return "adata.obs[" + shown(group_col) + "]"; };
    py::object result;
    try {
        result = analyka::get_gene_expression(call);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_TypeError))
            throw;
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            if (!is_error(e, PyExc_TypeError, "not supported between instances")) {
                if (!PyUnicode_Check(items_to_plot.ptr()))
                    return std::nullopt;
                return "items_to_plot is the str " + shown(items_to_plot) +
                       ": pass a list of names, e.g. [" + shown(items_to_plot) + "]";
            }
            py::object missing = adata.attr("obs")[group_col].attr("isna")().attr("sum")();
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
            return "Every row of the table must be a sample of sample_group_map; " +
                   shown(args[0]) + " is not.";
        });
        if (note)
            quietly([&]() -> std::optional<std::string> {
                e.value().attr("add_note")(make_str(*note));
                return std::nullopt;
            });
        throw;
    }
}

py::object cci_get_means(const Call &call) {
    py::object result = analyka::cci_get_means(call);
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
    py::object result = analyka::cci_get_df_to_plot(call);
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

py::object evaluate_performance(const Call &call) {
    py::handle y = call.arg(0), labels = call.arg(2);
    warn_label_shapes(call, {{0, "y", "a label"}, {1, "y_pred", "a label"}}, "cell");
    const bool text_labels = PyUnicode_Check(labels.ptr());
    if (text_labels)
        warn(call, "labels is the str " + shown(labels) +
                       ", which is read one character at a time: pass a list, e.g. [" +
                       shown(labels) + "]");
    py::object perf;
    try {
        perf = analyka::evaluate_performance(call);
    } catch (py::error_already_set &e) {
        if (!is_error(e, PyExc_ValueError))
            throw;
        std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
            const auto n1 = len_if_sized(y), n2 = len_if_sized(call.arg(1));
            if (!n1 || !n2 || *n1 == *n2)
                return std::nullopt;
            return "y has " + str(*n1) + " labels and y_pred " + str(*n2) +
                   ": pass one prediction per cell";
        });
        reraise(e, PyExc_ValueError, message);
    }
    if (text_labels)
        return perf;
    // A label found neither in y nor in y_pred has NaN precision and recall.
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
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
        if (absent.empty())
            return std::nullopt;
        py::object found = call.global(pd_name).attr("unique")(
            call.global(np_name).attr("asarray")(y).attr("ravel")());
        return "the labels " + listing(absent) +
               " occur neither in y nor in y_pred, so their scores and the weighted F1 are NaN; "
               "y holds " +
               listing(found) + ": pass labels=[...] naming the labels of the data";
    });
    if (message)
        warn(call, *message);
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
        py::object decisions = adata.attr("obs")[tumor_dec];
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
