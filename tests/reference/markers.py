"""Marker lists from DEG tables, before the common-marker removal."""


def marker_lists(df_dct, ref_col="score", n_mkrs=30, test_min=0.5, ref_max=0.1):
    """{group: the best n_mkrs genes that pass both thresholds, best first};
    the group is the key up to its first '_'."""
    result = {}
    for key in df_dct:
        df = df_dct[key]
        kept = df[(df["nz_pct_test"] >= test_min) & (df["nz_pct_ref"] <= ref_max)]
        result[key.split("_")[0]] = list(
            kept.sort_values([ref_col], ascending=False).iloc[:n_mkrs].index.values
        )
    return result
