// pelorkit.analyka: the analysis module. Its start-up imports the scientific
// stack under fixed aliases, tries the optional packages, reads the kernels'
// thread count (PELORKIT_NUM_THREADS), then binds the
// functions below in this order, and finally registers the private module
// pelorkit.analyka._blocks (per-chunk functions for Dask workers) in
// sys.modules. Read this file first. A function bound as diagnostics::<name>
// runs <name> with the checks for plausible input mistakes around it
// (diagnostics/calls.cpp).
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "pelorkit/module.hpp"

namespace pelorkit::analyka {
namespace {

const FunctionSpec kFunctions[] = {
    {"get_sample_to_group_dict(samples, conditions)", diagnostics::get_sample_to_group_dict},
    {"get_sample_to_group_map(samples, conditions)", get_sample_to_group_map},
    {"get_population(pids, cts, sort_by=[])", diagnostics::get_population},
    {"get_gene_expression(adata, items_to_plot=[], group_col='sample')",
     diagnostics::get_gene_expression},
    {"cci_get_means(cci_df_dct, cci_idx_lst=None, cells=[], genes=[], pval_cutoff=0.05)",
     diagnostics::cci_get_means},
    {"get_cci_means(cci_df_dct, cci_idx_lst=None, cells=[], genes=[], pval_cutoff=0.05)",
     get_cci_means},
    {"cci_get_diff_interactions(df_cci_sample, sample_group_map, ref_group=None, "
     "pval_cutoff=0.05)",
     diagnostics::cci_get_diff_interactions},
    {"test_group_diff(df_sample_by_items, sample_group_map, ref_group=None, pval_cutoff=0.05)",
     test_group_diff},
    {"cci_remove_common(df_dct)", cci_remove_common},
    {"cci_get_ni_mat(df_dct, remove_common=True)", diagnostics::cci_get_ni_mat},
    {"get_cci_ni_mat(df_dct, remove_common=True)", get_cci_ni_mat},
    {"cpdb_get_gp_n_cp(idx)", cpdb_get_gp_n_cp},
    {"cci_get_df_to_plot(df_dct, pval_cutoff=0.01, mean_cutoff=1, target_cells=None)",
     diagnostics::cci_get_df_to_plot},
    {"get_markers_from_deg(df_dct, ref_col='score', N_mkrs=30, nz_pct_test_min=0.5, "
     "nz_pct_ref_max=0.1, rem_common=True)",
     get_markers_from_deg},
    {"filter_gsa_result(dct, neg_log_p_cutoff)", filter_gsa_result},
    {"get_abbreviations()", get_abbreviations},
    {"get_abbreviations_uni()", get_abbreviations_uni},
    {"split_text(s, N_max=20)", split_text},
    {"evaluate_performance(y, y_pred, labels=['Tumor', 'Normal'])",
     diagnostics::evaluate_performance},
    {"compute_sample_div_index(adata, sample_col='sample', cluster_col='cnv_cluster', "
     "tumor_dec='ploidy_dec', ref_ind_col='cnv_ref_ind', sdi_col='sample_diversity_index', "
     "tumor_name='Aneuploid')",
     diagnostics::compute_sample_div_index},
    {"get_axes(axes, nr, nc, j)", diagnostics::get_axes},
    {"_get_value_info(value, key_name=None, is_top_level_anndata_component=False, "
     "level_of_value=None, max_depth=3, n_to_show=3, limited_keys=None)",
     get_value_info, kGetValueInfoDoc},
    {"_display_dict_or_dataframe_recursive(current_obj, current_depth, parent_prefix, "
     "max_depth=3, n_to_show=3, limited_keys=None, str ss: str = None)",
     display_dict_or_dataframe_recursive},
    {"show_anndata_tree(obj, max_depth=3, n_to_show=3, limited_keys=None, _current_depth=0, "
     "_parent_prefix='', ss=None)",
     show_anndata_tree, kShowAnndataTreeDoc},
};

void startup(ModuleBuilder &module) {
    import_required(module);
    import_optional(module);
    configure_threads();
    module.add_functions(kFunctions);
    module.bind("show_tree", module.get("show_anndata_tree"));
    // Last, so that a failed start-up leaves no module behind.
    add_block_module(module);
}

} // namespace
} // namespace pelorkit::analyka

PyMODINIT_FUNC PyInit_analyka() {
    return pelorkit::define_module<pelorkit::analyka::startup>(
        "pelorkit.analyka",
        "Downstream analysis of single-cell results: sample composition, group tests, "
        "cell-cell interaction tables, markers, tumour-call scores and structure display.");
}
