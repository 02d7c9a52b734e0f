// Declarations of every function of pelorkit.analyka, grouped by the folder
// and file that define them (module.cpp binds them). Each takes the bound
// arguments of one call (see pelorkit/pyfunction.hpp).
#pragma once

#include "pelorkit/module.hpp"
#include "pelorkit/pyfunction.hpp"

namespace pelorkit::analyka {

// startup.cpp: the imports under their aliases, the optional packages and the
// kernels' thread count.
void import_required(ModuleBuilder &module);
void import_optional(ModuleBuilder &module);
void configure_threads();

// samples.cpp: sample-to-condition maps.
py::object get_sample_to_group_dict(const Call &call);
py::object get_sample_to_group_map(const Call &call);

// composition.cpp: cell-type populations per sample.
py::object get_population(const Call &call);

// expression/: expression fractions per sample (fractions.cpp), with X in
// memory, in an HDF5 file or in Dask chunks; dask.cpp registers the private
// module of the per-chunk function that worker processes import.
py::object get_gene_expression(const Call &call);
void add_block_module(ModuleBuilder &module);

// grouptest/comparisons.cpp: Welch's t-test per item between groups of samples.
py::object cci_get_diff_interactions(const Call &call);
py::object test_group_diff(const Call &call);

// cci/: tables derived from per-sample cell-cell interaction results: the
// mean table (means.cpp), common-interaction removal and the interaction
// counts (counts.cpp), the plot tables (plot.cpp) and the parts of an
// interaction id (ids.cpp).
py::object cci_get_means(const Call &call);
py::object get_cci_means(const Call &call);
py::object cci_remove_common(const Call &call);
py::object cci_get_ni_mat(const Call &call);
py::object get_cci_ni_mat(const Call &call);
py::object cci_get_df_to_plot(const Call &call);
py::object cpdb_get_gp_n_cp(const Call &call);

// markers.cpp: marker lists and gene-set result filters.
py::object get_markers_from_deg(const Call &call);
py::object filter_gsa_result(const Call &call);

// labels.cpp: abbreviation tables, label wrapping, subplot selection.
py::object get_abbreviations(const Call &call);
py::object get_abbreviations_uni(const Call &call);
py::object split_text(const Call &call);
py::object get_axes(const Call &call);

// tumour.cpp: tumour-call scores and the sample diversity index.
py::object evaluate_performance(const Call &call);
py::object compute_sample_div_index(const Call &call);

// display/: tree-shaped text of AnnData objects, dicts and frames (tree.cpp)
// and the one-line summaries of their values (value_info.cpp).
py::object get_value_info(const Call &call);
py::object display_dict_or_dataframe_recursive(const Call &call);
py::object show_anndata_tree(const Call &call);
extern const char *const kShowAnndataTreeDoc;
extern const char *const kGetValueInfoDoc;

namespace diagnostics {

// diagnostics/calls.cpp: the functions of the same name with the checks for
// plausible input mistakes around them (bound in module.cpp in their place);
// they pass the result and the errors on.
py::object get_sample_to_group_dict(const Call &call);
py::object get_population(const Call &call);
py::object get_gene_expression(const Call &call);
py::object cci_get_diff_interactions(const Call &call);
py::object cci_get_means(const Call &call);
py::object cci_get_df_to_plot(const Call &call);
py::object cci_get_ni_mat(const Call &call);
py::object evaluate_performance(const Call &call);
py::object compute_sample_div_index(const Call &call);
py::object get_axes(const Call &call);

} // namespace diagnostics

} // namespace pelorkit::analyka
