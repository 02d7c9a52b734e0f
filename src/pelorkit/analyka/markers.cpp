// Marker lists from DEG tables and gene-set result filters. Both work on small
// per-group tables, so they call pandas step by step like the algorithm reads.
#include "pelorkit/python.hpp"

#include "diagnostics/checks.hpp"
#include "functions.hpp"
#include "glue/pyops.hpp"

#include <cstddef>

namespace pelorkit::analyka {
using namespace pyops;

namespace {

const Name nz_pct_test_name{"nz_pct_test"};
const Name nz_pct_ref_name{"nz_pct_ref"};
const Name neg_log_p_name{"-log(p-val)"};

// `frame.loc[mask, :]`: the selected rows with every column.
py::object select_rows(py::handle frame, py::handle mask) {
    return frame.attr("loc")[py::make_tuple(mask, full_slice())];
}

// False, after printing the error line, when some frame lacks the ranking
// column; every frame is checked before any marker is computed.
bool has_ranking_column(const Call &call, py::handle df_dct, py::handle ref_col) {
    for (py::handle key : df_dct.attr("keys")()) {
        py::list columns = as_list(df_dct[key].attr("columns").attr("values"));
        int found = PySequence_Contains(columns.ptr(), ref_col.ptr());
        if (found < 0)
            throw py::error_already_set();
        if (!found) {
            py::str fmt("ERROR: %s not found in column name of DEG results.");
            call.print(steal(PyUnicode_Format(fmt.ptr(), ref_col.ptr())));
            return false;
        }
    }
    return true;
}

// The best N_mkrs genes of one DEG table that pass both detection thresholds,
// best first.
py::list best_markers(py::handle deg, const Call &call) {
    py::handle ref_col = call.arg(1), n_mkrs = call.arg(2);
    py::handle nz_pct_test_min = call.arg(3), nz_pct_ref_max = call.arg(4);
    py::object df = deg.attr("copy")(py::arg("deep") = true);
    py::object b1 = compare(df[nz_pct_test_name], nz_pct_test_min, Py_GE);
    py::object b2 = compare(df[nz_pct_ref_name], nz_pct_ref_max, Py_LE);
    py::object kept = select_rows(df, bit_and(b1, b2));
    py::list by(1);
    by[0] = ref_col;
    py::object ranked = kept.attr("sort_values")(by, py::arg("ascending") = false);
    py::object head = ranked.attr("iloc")[slice_of(py::handle(), n_mkrs)];
    return as_list(head.attr("index").attr("values"));
}

// Drops every gene that is a marker of two or more groups. Each list keeps
// its best-first order (without repeats), so the result is reproducible.
void remove_common_markers(const py::dict &mkr_dict) {
    py::list groups = as_list(mkr_dict.attr("keys")());
    const std::size_t n = groups.size();
    py::set common;
    for (std::size_t i = 0; i < n; ++i) {
        py::set first(mkr_dict[groups[i]]);
        for (std::size_t j = i + 1; j < n; ++j)
            if (truthy(compare(groups[i], groups[j], Py_NE)))
                common.attr("update")(first.attr("intersection")(mkr_dict[groups[j]]));
    }
    for (py::handle group : groups) {
        py::list kept;
        py::set seen;
        for (py::handle gene : mkr_dict[group]) {
            if (common.contains(gene) || seen.contains(gene))
                continue;
            seen.add(gene);
            kept.append(gene);
        }
        mkr_dict[group] = kept;
    }
}

} // namespace

py::object get_markers_from_deg(const Call &call) {
    py::handle df_dct = call.arg(0);
    if (!has_ranking_column(call, df_dct, call.arg(1)))
        return py::none();

    py::dict mkr_dict;
    for (py::handle key : df_dct.attr("keys")()) {
        py::object group = key.attr("split")("_")[py::int_(0)];
        mkr_dict[group] = best_markers(df_dct[key], call);
    }
    const bool had_markers = diagnostics::check_marker_lists(call, df_dct, mkr_dict);
    if (truthy(call.arg(5))) {
        remove_common_markers(mkr_dict);
        diagnostics::check_common_markers(call, had_markers, mkr_dict);
    }
    return mkr_dict;
}

py::object filter_gsa_result(const Call &call) {
    py::handle dct = call.arg(0);
    py::dict dct_t;
    for (py::handle key : dct.attr("keys")()) {
        py::object df = dct[key];
        py::object b = compare(df[neg_log_p_name], call.arg(1), Py_GE);
        dct_t[key] = select_rows(df, b);
    }
    return dct_t;
}

} // namespace pelorkit::analyka
