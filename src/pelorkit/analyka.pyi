# Type stubs for pelorkit.analyka.
from typing import Any

import numpy as np
import pandas as pd

SCANVPY: bool
STATANNOT: bool
SEABORN: bool

def get_sample_to_group_dict(samples: Any, conditions: Any) -> dict[Any, Any]: ...
def get_sample_to_group_map(samples: Any, conditions: Any) -> dict[Any, Any]: ...
def get_population(
    pids: Any, cts: Any, sort_by: list[Any] = ...
) -> tuple[pd.DataFrame, pd.DataFrame]: ...
def get_gene_expression(
    adata: Any, items_to_plot: list[Any] | None = ..., group_col: str = "sample"
) -> pd.DataFrame: ...
def cci_get_means(
    cci_df_dct: dict[Any, pd.DataFrame],
    cci_idx_lst: list[Any] | None = None,
    cells: Any = ...,
    genes: Any = ...,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame: ...
def get_cci_means(
    cci_df_dct: dict[Any, pd.DataFrame],
    cci_idx_lst: list[Any] | None = None,
    cells: Any = ...,
    genes: Any = ...,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame: ...
def cci_get_diff_interactions(
    df_cci_sample: pd.DataFrame, sample_group_map: Any, ref_group: Any = None, pval_cutoff: float = 0.05
) -> pd.DataFrame: ...
def test_group_diff(
    df_sample_by_items: pd.DataFrame,
    sample_group_map: Any,
    ref_group: Any = None,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame: ...
def cci_remove_common(df_dct: dict[Any, pd.DataFrame]) -> dict[Any, pd.DataFrame]: ...
def cci_get_ni_mat(df_dct: dict[Any, pd.DataFrame], remove_common: Any = True) -> dict[Any, pd.DataFrame]: ...
def get_cci_ni_mat(df_dct: dict[Any, pd.DataFrame], remove_common: Any = True) -> dict[Any, pd.DataFrame]: ...
def cpdb_get_gp_n_cp(idx: str) -> tuple[str, str, str, str, str, str]: ...
def cci_get_df_to_plot(
    df_dct: dict[Any, pd.DataFrame],
    pval_cutoff: float = 0.01,
    mean_cutoff: float = 1,
    target_cells: list[Any] | None = None,
) -> dict[Any, pd.DataFrame]: ...
def get_markers_from_deg(
    df_dct: dict[str, pd.DataFrame],
    ref_col: str = "score",
    N_mkrs: int = 30,
    nz_pct_test_min: float = 0.5,
    nz_pct_ref_max: float = 0.1,
    rem_common: Any = True,
) -> dict[str, list[Any]] | None: ...
def filter_gsa_result(dct: dict[Any, pd.DataFrame], neg_log_p_cutoff: float) -> dict[Any, pd.DataFrame]: ...
def get_abbreviations() -> dict[str, dict[str, str]]: ...
def get_abbreviations_uni() -> dict[str, str]: ...
def split_text(s: str, N_max: int = 20) -> str: ...
def evaluate_performance(y: Any, y_pred: Any, labels: list[Any] = ...) -> dict[str, Any]: ...
def compute_sample_div_index(
    adata: Any,
    sample_col: str = "sample",
    cluster_col: str = "cnv_cluster",
    tumor_dec: str = "ploidy_dec",
    ref_ind_col: str = "cnv_ref_ind",
    sdi_col: str = "sample_diversity_index",
    tumor_name: str = "Aneuploid",
) -> pd.DataFrame: ...
def get_axes(axes: Any, nr: int, nc: int, j: int) -> Any: ...
def _get_value_info(
    value: Any,
    key_name: Any = None,
    is_top_level_anndata_component: bool = False,
    level_of_value: int | None = None,
    max_depth: int = 3,
    n_to_show: int = 3,
    limited_keys: Any = None,
) -> str: ...
def _display_dict_or_dataframe_recursive(
    current_obj: Any,
    current_depth: int,
    parent_prefix: str,
    max_depth: int = 3,
    n_to_show: int = 3,
    limited_keys: Any = None,
    ss: str = None,
) -> str: ...
def show_anndata_tree(
    obj: Any,
    max_depth: int = 3,
    n_to_show: int = 3,
    limited_keys: Any = None,
    _current_depth: int = 0,
    _parent_prefix: str = "",
    ss: str | None = None,
) -> str: ...

show_tree = show_anndata_tree
