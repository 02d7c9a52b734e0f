// Tumour-cell analysis: scores of a tumour/normal call and the sample
// diversity index of every copy-number cluster.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "glue/names.hpp"
#include "glue/pandas_values.hpp"
#include "glue/pyops.hpp"
#include "kernels/diversity.hpp"
#include "pelorkit/array_view.hpp"
#include "pelorkit/interrupts.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pelorkit::analyka {
using namespace pyops;

namespace {

// ---------------------------------------------------------------------------
// Classification performance

// Plain lists and tuples become arrays so that `==` compares element-wise.
py::object as_labels(py::handle np, py::handle values) {
    if (PyList_Check(values.ptr()) || PyTuple_Check(values.ptr()))
        return np.attr("asarray")(values);
    return py::reinterpret_borrow<py::object>(values);
}

py::object rounded(py::handle np, py::handle value) {
    return np.attr("round")(value, 3);
}

} // namespace

py::object evaluate_performance(const Call &call) {
    py::object np = call.global(np_name);
    py::object y = as_labels(np, call.arg(0));
    py::object y_pred = as_labels(np, call.arg(1));
    py::object sum = np.attr("sum");

    py::object acc = div(sum(eq(y, y_pred)), py::int_(py::len(y)));
    py::dict perf;
    perf["Accuracy"] = rounded(np, acc);
    perf["F1"] = py::int_(0);

    py::list f1_all, nc;
    for (py::handle t : call.arg(2)) {
        py::object b1 = eq(y, t);
        py::object b2 = eq(y_pred, t);
        py::object not_b1 = invert(b1);
        py::object bc = bit_and(b1, b2);
        py::object prec = div(sum(bc), sum(b2));
        py::object recall = div(sum(bc), sum(b1));
        py::object bd = bit_and(not_b1, b2);
        py::object fpr = div(sum(bd), sum(not_b1));
        py::object f1 = div(mul(mul(py::int_(2), prec), recall), add(prec, recall));

        auto key = [&](const char *form) {
            return steal(PyUnicode_Format(py::str(form).ptr(), t.ptr()));
        };
        perf[key("F1 (%s)")] = rounded(np, f1);
        perf[key("Precision (%s)")] = rounded(np, prec);
        perf[key("Recall (%s)")] = rounded(np, recall);
        perf[key("FPR (%s)")] = rounded(np, fpr);
        f1_all.append(f1);
        nc.append(sum(b1));
    }
    py::object array = np.attr("array");
    perf["F1"] = rounded(np, div(sum(mul(array(f1_all), array(nc))), sum(nc)));
    return perf;
}

namespace {

// ---------------------------------------------------------------------------
// Sample diversity index

const Name obs_name{"obs"};
const Name tumor_pct_name{"Tumor_pct"};
const Name n_samples_name{"N_samples"};
const Name sdi_name{"sample_diversity_index"};
const Name ref_pct_name{"Ref_pct"};
const Name tumor_name_col{"Tumor"};

// A new or converted 1-D numpy array viewed after its layout and item type
// were checked.
ArrayView checked_array(const py::object &array, char code, std::size_t length, bool writable) {
    ArrayView view;
    if (!view.acquire(array, code, 1, writable) || view.size() != length)
        throw py::type_error("expected a contiguous one-dimensional array of " +
                             std::to_string(length) + " items of kind '" + code + "'");
    return view;
}

py::handle str_type() {
    return reinterpret_cast<PyObject *>(&PyUnicode_Type);
}

ArrayView int64_array(py::handle np, py::handle values, std::size_t length) {
    py::object array = np.attr("ascontiguousarray")(values, py::arg("dtype") = np.attr("int64"));
    return checked_array(array, 'q', length, false);
}

ArrayView new_int64_array(py::handle np, std::size_t length) {
    py::object array = np.attr("empty")(length, py::arg("dtype") = np.attr("int64"));
    return checked_array(array, 'q', length, true);
}

// The sorted cluster labels, and for each the group of cells it selects:
// labels with the same text form select the same cells.
struct ClusterLabels {
    py::list labels;
    std::vector<std::int64_t> row_group;
    py::dict group_of_text;
    std::int64_t n_groups = 0;
};

ClusterLabels sorted_cluster_labels(py::handle clusters) {
    ClusterLabels result;
    result.labels = clusters.attr("unique")().attr("tolist")();
    if (PyList_Sort(result.labels.ptr()) < 0)
        throw py::error_already_set();
    for (py::handle label : result.labels) {
        py::object text = text_of(label);
        py::object next = py::int_(result.n_groups);
        py::handle group = PyDict_SetDefault(result.group_of_text.ptr(), text.ptr(), next.ptr());
        if (group.ptr() == nullptr)
            throw py::error_already_set();
        if (group.ptr() == next.ptr())
            ++result.n_groups;
        result.row_group.push_back(group.cast<std::int64_t>());
    }
    return result;
}

// The values of one group of cells, as the Python objects a row holds.
struct GroupStats {
    py::object diversity; // Shannon entropy in bits, numpy float
    py::object n_samples; // samples with at least one cell
    py::object tumor_pct; // truncated whole percentages
    py::object ref_pct;
};

struct Tally {
    std::vector<GroupStats> groups;
    py::object cell_group; // int64 per cell; n_groups for a cell of no group
};

// int(100 * part / cells) with numpy scalars, so an empty selection warns
// and fails the way the scalar arithmetic does.
py::object truncated_percent(py::handle part, py::handle cells) {
    return steal(PyNumber_Long(div(mul(py::int_(100), part), cells).ptr()));
}

// Indicator columns of booleans or small integers are summed natively; any
// other column is summed by pandas over the group's cells in cell order.
bool summable_natively(py::handle np, py::handle column) {
    py::object dtype = column.attr("dtype");
    if (!py::isinstance(dtype, np.attr("dtype")))
        return false;
    const std::string kind = py::str(dtype.attr("kind"));
    const auto itemsize = dtype.attr("itemsize").cast<long>();
    return kind == "b" || kind == "i" || (kind == "u" && itemsize < 8);
}

// The group of each distinct cluster value (a code of pd.factorize): its
// text form looked up among the texts of the sorted labels. The text is
// str() of the value as numpy holds it (float32 0.1 is "0.1", a missing
// label "nan" or "None"), which is what the column's astype(str) writes on
// pandas 2; pandas 3 writes float32 categories at double precision and keeps
// missing labels missing, so its astype(str) is not used.
std::vector<std::int64_t> groups_of_codes(py::handle np, py::handle clusters,
                                          const std::int64_t *codes, std::size_t n_cells,
                                          std::size_t n_codes, const ClusterLabels &labels) {
    std::vector<std::int64_t> first(n_codes, -1);
    std::size_t found = 0;
    for (std::size_t i = 0; i < n_cells && found < n_codes; ++i) {
        const auto code = static_cast<std::size_t>(codes[i]);
        if (code < n_codes && first[code] < 0) {
            first[code] = static_cast<std::int64_t>(i);
            ++found;
        }
    }
    if (found != n_codes)
        throw py::value_error("the cluster column changed while it was read");
    py::list positions;
    for (const std::int64_t row : first)
        positions.append(row);
    py::object values = np.attr("asarray")(clusters.attr("iloc")[positions]);
    std::vector<std::int64_t> groups;
    groups.reserve(n_codes);
    for (py::handle value : values) {
        py::object text = text_of(value);
        PyObject *group = PyDict_GetItemWithError(labels.group_of_text.ptr(), text.ptr());
        if (group == nullptr && PyErr_Occurred())
            throw py::error_already_set();
        groups.push_back(group == nullptr ? -1 : py::handle(group).cast<std::int64_t>());
    }
    return groups;
}

// What pd.factorize numbers a column by: a Python-backed string column
// (pandas 3's text where pyarrow is not installed) as its own object array,
// which pandas numbers the same way (by first appearance, all missing values
// alike) without the copy and checks the string array makes first.
py::object factorizable(py::handle np, py::handle pd, py::handle column) {
    if (string_storage(pd, column.attr("dtype")) == StringStorage::python)
        return np.attr("asarray")(column.attr("array"), py::str("object"));
    return py::reinterpret_borrow<py::object>(column);
}

// One native pass groups the cells and counts, per group, the cells, the
// tumour cells, the reference indicator and the cells of each sample; the few
// numbers per group then go through numpy as one cluster's selection would.
Tally tally_clusters(const Call &call, py::handle obs, py::handle clusters,
                     const ClusterLabels &labels) {
    py::object np = call.global(np_name);
    py::object pd = call.global(pd_name);
    const std::size_t n_cells = py::len(clusters);
    const std::int64_t n_groups = labels.n_groups;

    py::tuple factorized =
        pd.attr("factorize")(factorizable(np, pd, clusters), py::arg("use_na_sentinel") = false);
    ArrayView cluster_codes = int64_array(np, factorized[0], n_cells);
    std::vector<std::int64_t> group_of_code = groups_of_codes(
        np, clusters, cluster_codes.data<std::int64_t>(), n_cells, py::len(factorized[1]), labels);

    py::tuple samples = pd.attr("factorize")(factorizable(np, pd, obs[call.arg(1)]));
    ArrayView sample_codes = int64_array(np, samples[0], n_cells);
    const std::size_t n_samples = py::len(samples[1]);

    // Converted through the column's array: a Series' to_numpy with na_value
    // makes pandas hash the whole index once, seconds on millions of cells.
    py::object is_tumour = eq(obs[call.arg(3)], call.arg(6));
    py::object flags_array = np.attr("ascontiguousarray")(is_tumour.attr("array").attr("to_numpy")(
        py::arg("dtype") = np.attr("bool_"), py::arg("na_value") = false));
    ArrayView flags = checked_array(flags_array, '?', n_cells, false);

    py::object ref = obs[call.arg(4)];
    const bool native_ref = summable_natively(np, ref);
    std::optional<ArrayView> ref_values;
    if (native_ref)
        ref_values.emplace(int64_array(np, ref.attr("to_numpy")(), n_cells));

    Tally tally;
    ArrayView cell_group = new_int64_array(np, n_cells);
    ArrayView order = new_int64_array(np, n_cells);
    ArrayView sample_counts = new_int64_array(np, n_cells);
    std::vector<std::int64_t> offsets(n_groups + 1), count_offsets(n_groups + 1);
    std::vector<std::int64_t> tumour_cells(n_groups), ref_sums(n_groups);
    run_released([&](kernels::InterruptPoll poll) {
        namespace k = kernels;
        return k::is_done(k::map_codes_to_groups(
                   cell_group.data<std::int64_t>(), cluster_codes.data<std::int64_t>(), n_cells,
                   group_of_code.data(), group_of_code.size(), n_groups, poll)) &&
               k::is_done(k::order_cells_by_group(offsets.data(), order.data<std::int64_t>(),
                                                  cell_group.data<std::int64_t>(), n_cells,
                                                  n_groups, poll)) &&
               k::is_done(k::count_flags_by_group(tumour_cells.data(), offsets.data(),
                                                  order.data<std::int64_t>(), n_groups,
                                                  flags.data<std::uint8_t>(), poll)) &&
               (!native_ref || k::is_done(k::sum_by_group(
                                   ref_sums.data(), offsets.data(), order.data<std::int64_t>(),
                                   n_groups, ref_values->data<std::int64_t>(), poll))) &&
               k::is_done(k::tally_samples_by_group(
                   count_offsets.data(), sample_counts.data<std::int64_t>(), offsets.data(),
                   order.data<std::int64_t>(), n_groups, sample_codes.data<std::int64_t>(),
                   n_samples, poll));
    });

    // Per group, the same numpy arithmetic as on the value counts of one
    // cluster: the counts largest first, so the entropy sums in that order.
    py::object sum = np.attr("sum"), int64 = np.attr("int64");
    for (std::int64_t g = 0; g < n_groups; ++g) {
        py::object counts =
            sample_counts.array()[py::slice(count_offsets[g], count_offsets[g + 1], 1)];
        py::object pcnt = div(counts, sum(counts));
        GroupStats stats;
        stats.diversity = sum(mul(negative(pcnt), np.attr("log2")(pcnt)));
        py::object cells = int64(offsets[g + 1] - offsets[g]);
        stats.tumor_pct = truncated_percent(int64(tumour_cells[g]), cells);
        py::object ref_sum =
            native_ref
                ? int64(ref_sums[g])
                : ref.attr("iloc")[order.array()[py::slice(offsets[g], offsets[g + 1], 1)]].attr(
                      "sum")();
        stats.ref_pct = truncated_percent(ref_sum, cells);
        stats.n_samples = int64(count_offsets[g + 1] - count_offsets[g]);
        tally.groups.push_back(std::move(stats));
    }
    tally.cell_group = cell_group.array();
    return tally;
}

py::object result_table(const Call &call, const ClusterLabels &labels, const Tally &tally) {
    py::object np = call.global(np_name);
    py::list tumor_pct, n_samples, diversity, ref_pct, tumour;
    for (std::int64_t group : labels.row_group) {
        const GroupStats &stats = tally.groups[group];
        tumor_pct.append(stats.tumor_pct);
        n_samples.append(stats.n_samples);
        diversity.append(stats.diversity);
        ref_pct.append(stats.ref_pct);
        tumour.append(compare(stats.tumor_pct, py::int_(50), Py_GE));
    }
    // The columns hold the values as computed, typed as a table filled cell by
    // cell from empty ends up: object columns for the first three, float for
    // Ref_pct, which only exists once a row was filled, bool for Tumor.
    py::dict columns;
    columns[tumor_pct_name] = object_array(np, tumor_pct);
    columns[n_samples_name] = object_array(np, n_samples);
    columns[sdi_name] = object_array(np, diversity);
    if (!labels.labels.empty())
        columns[ref_pct_name] = np.attr("array")(ref_pct, py::arg("dtype") = np.attr("float64"));
    columns[tumor_name_col] = np.attr("array")(tumour, py::arg("dtype") = np.attr("bool_"));
    return call.global(pd_name).attr("DataFrame")(columns, py::arg("index") = labels.labels);
}

// Writes the rounded index of each cell's cluster as text: whole numbers
// written into a column that starts as integer zeros, so "1", not "1.0".
void write_cell_index(const Call &call, py::handle adata, const Tally &tally) {
    py::object np = call.global(np_name);
    py::object pd = call.global(pd_name);
    py::list values;
    bool whole = true;
    for (const GroupStats &stats : tally.groups) {
        const double rounded = std::nearbyint(stats.diversity.cast<double>());
        whole = whole && std::isfinite(rounded);
        values.append(rounded);
    }
    values.append(0.0); // cells of no cluster keep the initial 0
    py::object small =
        np.attr("array")(values, py::arg("dtype") = whole ? np.attr("int64") : np.attr("float64"));
    py::object texts = pd.attr("Series")(small).attr("astype")(str_type());
    py::object obs = adata.attr(obs_name);
    py::object column = texts.attr("take")(tally.cell_group).attr("set_axis")(obs.attr("index"));
    obs[call.arg(5)] = column;
}

} // namespace

py::object compute_sample_div_index(const Call &call) {
    py::handle adata = call.arg(0);
    py::object obs = adata.attr(obs_name);
    py::object clusters = obs[call.arg(2)];
    ClusterLabels labels = sorted_cluster_labels(clusters);

    Tally tally;
    if (labels.labels.empty())
        tally.cell_group = call.global(np_name).attr("zeros")(0, py::arg("dtype") = "int64");
    else
        tally = tally_clusters(call, obs, clusters, labels);

    py::object df = result_table(call, labels, tally);
    write_cell_index(call, adata, tally);
    return df;
}

} // namespace pelorkit::analyka
