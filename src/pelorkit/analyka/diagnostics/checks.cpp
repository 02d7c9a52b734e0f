// Diagnostics that need what the glue computed: the group test's group
// lists, the marker lists before and after common-marker removal, the rows
// kept by common-interaction removal, and the split of interaction ids.
#include "pelorkit/python.hpp"

#include "diagnostics/checks.hpp"
#include "diagnostics/report.hpp"
#include "glue/length.hpp"
#include "glue/pyops.hpp"

#include <algorithm>

namespace pelorkit::analyka::diagnostics {
namespace {

std::string count(std::size_t n) {
    return std::to_string(n);
}

// ---- group test -----------------------------------------------------------

struct GroupCounts {
    py::list single;      // groups with one sample
    py::list nan_samples; // samples whose group is NaN
    py::list groups;      // the groups other than NaN
};

GroupCounts count_groups(const py::list &group_list, const py::list &glst, py::handle samples) {
    GroupCounts counts;
    py::list sample_list = pyops::as_list(samples);
    for (std::size_t i = 0; i < group_list.size(); ++i)
        if (is_nan(group_list[i]))
            counts.nan_samples.append(sample_list[i]);
    for (py::handle g : glst) {
        if (is_nan(g))
            continue;
        counts.groups.append(g);
        std::size_t n = 0;
        for (py::handle member : group_list)
            n += pyops::holds(member, g, Py_EQ) ? 1 : 0;
        if (n == 1)
            counts.single.append(g);
    }
    return counts;
}

} // namespace

void explain_unsortable_groups(py::error_already_set &e, py::handle group_list,
                               py::handle samples) {
    if (!is_error(e, PyExc_TypeError, "not supported between instances"))
        throw e;
    std::optional<std::string> message = quietly([&]() -> std::optional<std::string> {
        py::list sample_list = pyops::as_list(samples);
        py::list groups = pyops::as_list(group_list);
        py::list missing;
        for (std::size_t i = 0; i < groups.size() && i < sample_list.size(); ++i)
            if (is_none(groups[i]) || is_nan(groups[i]))
                missing.append(sample_list[i]);
        if (missing.empty())
            return std::nullopt;
        return "sample_group_map gives no group (NaN or None) for the samples " + listing(missing) +
               ": give every sample of the table a group, or leave those rows out";
    });
    reraise(e, PyExc_TypeError, message);
}

void check_groups(const Call &call, const py::list &group_list, const py::list &glst,
                  py::handle samples, py::handle ref_group) {
    std::vector<std::string> messages;
    quietly([&]() -> std::optional<std::string> {
        if (!is_none(ref_group) && !pyops::contains(glst, ref_group)) {
            messages.push_back(
                "ref_group " + shown(ref_group) + " is not the group of any sample of the table " +
                "(groups: " + listing(glst, 8) +
                "), so no comparison was run and the result is empty; pass one of these groups, "
                "or None to compare every pair");
            return std::nullopt;
        }
        const GroupCounts counts = count_groups(group_list, glst, samples);
        if (!counts.nan_samples.empty())
            messages.push_back("sample_group_map gives NaN as the group of the samples " +
                               listing(counts.nan_samples) +
                               ", so they take part in no comparison; give them a group, or "
                               "leave those rows out");
        if (counts.groups.size() == 1)
            messages.push_back("every sample of the table belongs to one group, " +
                               shown(counts.groups[0]) +
                               ", so there is nothing to compare and the result is empty; check "
                               "sample_group_map");
        else if (!counts.single.empty())
            messages.push_back(
                "the groups " + listing(counts.single) +
                " have a single sample: Welch's t-test needs two or more samples per group, so "
                "their comparisons give no p-value (NaN, reported as 1)");
        return std::nullopt;
    });
    for (const std::string &message : messages)
        warn(call, message);
}

// ---- markers --------------------------------------------------------------

namespace {

bool all_empty(const py::dict &mkr_dict) {
    for (auto item : mkr_dict)
        if (len_if_sized(item.second).value_or(1) != 0)
            return false;
    return true;
}

} // namespace

bool check_marker_lists(const Call &call, py::handle df_dct, const py::dict &mkr_dict) {
    std::vector<std::string> messages;
    quietly([&]() -> std::optional<std::string> {
        // Keys whose text before the first '_' is the same group.
        py::dict keys_of_group;
        for (py::handle key : df_dct.attr("keys")()) {
            py::object group = key.attr("split")("_")[py::int_(0)];
            if (!keys_of_group.contains(group))
                keys_of_group[group] = py::list();
            keys_of_group[group].cast<py::list>().append(key);
        }
        for (auto item : keys_of_group) {
            py::list keys = item.second.cast<py::list>();
            if (keys.size() < 2)
                continue;
            messages.push_back("the DEG keys " + listing(keys) + " name the same group, " +
                               shown(item.first) +
                               " (the text before the first '_'), so the last key's markers "
                               "replaced the others'; name the groups without '_'");
            break;
        }
        py::handle n_mkrs = call.arg(2), test_min = call.arg(3), ref_max = call.arg(4);
        if (mkr_dict.empty() || !all_empty(mkr_dict) || !pyops::holds(n_mkrs, py::int_(0), Py_GT))
            return std::nullopt;
        const bool percents =
            pyops::holds(test_min, py::int_(1), Py_GT) || pyops::holds(ref_max, py::int_(1), Py_GT);
        messages.push_back("no gene has nz_pct_test >= " + shown(test_min) +
                           " and nz_pct_ref <= " + shown(ref_max) +
                           " in any DEG table, so every marker list is empty; check the "
                           "thresholds" +
                           (percents ? " (they are fractions between 0 and 1)" : ""));
        return std::nullopt;
    });
    for (const std::string &message : messages)
        warn(call, message);
    return !all_empty(mkr_dict);
}

void check_common_markers(const Call &call, bool had_markers, const py::dict &mkr_dict) {
    if (had_markers && mkr_dict.size() > 1 && all_empty(mkr_dict))
        warn(call, "every marker is shared by two or more groups, so rem_common=True removed "
                   "them all (do two keys hold the same DEG table?); pass rem_common=False to "
                   "keep shared markers");
}

// ---- cell-cell interactions -----------------------------------------------

void check_common_interactions(const Call &call, const std::vector<std::vector<std::uint8_t>> &keep,
                               bool for_counts) {
    const bool any_rows =
        std::any_of(keep.begin(), keep.end(), [](const auto &k) { return !k.empty(); });
    const bool any_kept = std::any_of(keep.begin(), keep.end(), [](const auto &k) {
        return std::find(k.begin(), k.end(), std::uint8_t{1}) != k.end();
    });
    if (!any_rows || any_kept)
        return;
    std::string message;
    if (keep.size() == 1)
        message = std::string("with a single table every interaction is common to all tables, so "
                              "removing common interactions leaves it empty; ") +
                  (for_counts ? "count one sample with cci_get_ni_mat(df_dct, remove_common=False)"
                              : "remove common interactions across two or more samples");
    else
        message = "every interaction is listed by all " + count(keep.size()) +
                  " tables, so removing common interactions leaves every table empty (do the "
                  "keys hold copies of one table?)" +
                  (for_counts ? "; pass remove_common=False to count them all" : "");
    warn(call, message);
}

void raise_unsplittable_id(std::string_view id) {
    const auto field = [](std::string_view text, std::string_view separator) {
        return text.substr(0, text.find(separator));
    };
    std::string reason;
    const std::size_t cut = id.find("--");
    if (cut == std::string_view::npos) {
        reason = "it has no '--' between its gene part and its cell part";
    } else {
        const std::string_view genes = id.substr(0, cut);
        const std::string_view cells = field(id.substr(cut + 2), "--");
        if (genes.find('_') == std::string_view::npos)
            reason = "its gene part has no '_' between the two genes";
        else if (cells.find('|') == std::string_view::npos)
            reason = "its cell part has no '|' between the two cell types";
    }
    std::string message = "list index out of range";
    if (!reason.empty()) {
        PyObject *text =
            PyUnicode_DecodeUTF8(id.data(), static_cast<Py_ssize_t>(id.size()), "replace");
        if (text == nullptr)
            throw py::error_already_set();
        message = "interaction id " + shown(py::reinterpret_steal<py::object>(text)) +
                  " does not split: " + reason + " (ids read 'geneA_geneB--cellA|cellB'; " +
                  message + ")";
    }
    PyErr_SetString(PyExc_IndexError, message.c_str());
    throw py::error_already_set();
}

} // namespace pelorkit::analyka::diagnostics
