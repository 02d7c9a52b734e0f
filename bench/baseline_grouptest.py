"""Baseline of the group test: the algorithm as straightforward pandas
statements, one scipy.stats.ttest_ind call per comparison (scipy loops over the
columns in Python as soon as one value is NaN)."""

import numpy as np
import pandas as pd
from scipy import stats


def cci_get_diff_interactions(df_cci_sample, sample_group_map, ref_group=None, pval_cutoff=0.05):
    group = [sample_group_map[k] for k in list(df_cci_sample.index.values)]
    glst = list(set(group))
    glst.sort()
    group = pd.Series(group, index=df_cci_sample.index)
    df_res = pd.DataFrame(index=list(df_cci_sample.columns.values))

    def test(b_first, b_second, name):
        res = stats.ttest_ind(
            df_cci_sample.loc[b_first, :],
            df_cci_sample.loc[b_second, :],
            axis=0,
            equal_var=False,
            nan_policy="omit",
            alternative="two-sided",
            trim=0,
        )
        df_res.loc[:, name] = res.pvalue

    if ref_group is None:
        for i, g1 in enumerate(glst):
            b_r = group == g1
            if np.sum(b_r) > 0:
                for j, g2 in enumerate(glst):
                    if i > j:
                        b_o = group == g2
                        if np.sum(b_o) > 0:
                            test(b_r, b_o, f"{g1}_vs_{g2}")
    elif ref_group in glst:
        b_ref = group == ref_group
        if np.sum(b_ref) > 0:
            for g in glst:
                if g != ref_group:
                    b = group == g
                    if np.sum(b) > 0:
                        test(b, b_ref, f"{g}_vs_{ref_group}")

    df_res[df_res.isnull()] = 1
    pv_min = df_res.min(axis=1)
    df_res = df_res.loc[pv_min <= pval_cutoff, :]
    df_res["ss"] = (df_res <= pval_cutoff).sum(axis=1)
    df_res["pp"] = -np.log10(df_res.prod(axis=1))
    df_res = df_res.sort_values(by=["ss", "pp"], ascending=False)
    return df_res.iloc[:, :-2]
