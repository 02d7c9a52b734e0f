"""The group test: Welch's t-test per item between groups of samples, one
scipy.stats.ttest_ind call per comparison of two groups (scipy loops over the
columns in Python as soon as one value is NaN)."""

import numpy as np
import pandas as pd
from scipy import stats

# The test's keywords; permutations=None and random_state=None, its other
# defaults, are not passed: recent scipy no longer accepts them.
KEYWORDS = dict(axis=0, equal_var=False, nan_policy="omit", alternative="two-sided", trim=0)


def cci_get_diff_interactions(
    df_cci_sample, sample_group_map, ref_group=None, pval_cutoff=0.05, ttest=None
):
    """`ttest(a, b)` stands in for scipy's call when given."""
    ttest = ttest or (lambda a, b: stats.ttest_ind(a, b, **KEYWORDS))
    group = [sample_group_map[k] for k in list(df_cci_sample.index.values)]
    glst = sorted(set(group))
    group = pd.Series(group, index=df_cci_sample.index)
    df_res = pd.DataFrame(index=list(df_cci_sample.columns.values))
    pairs = []
    if ref_group is None:
        pairs = [(g1, g2) for i, g1 in enumerate(glst) for j, g2 in enumerate(glst) if i > j]
    elif ref_group in glst:
        pairs = [(g, ref_group) for g in glst if g != ref_group]
    for g1, g2 in pairs:
        b1, b2 = group == g1, group == g2
        if np.sum(b1) > 0 and np.sum(b2) > 0:
            res = ttest(df_cci_sample.loc[b1, :], df_cci_sample.loc[b2, :])
            df_res.loc[:, f"{g1}_vs_{g2}"] = res.pvalue
    df_res[df_res.isnull()] = 1
    df_res = df_res.loc[df_res.min(axis=1) <= pval_cutoff, :]
    df_res["ss"] = (df_res <= pval_cutoff).sum(axis=1)
    df_res["pp"] = -np.log10(df_res.prod(axis=1))
    return df_res.sort_values(by=["ss", "pp"], ascending=False).iloc[:, :-2]
