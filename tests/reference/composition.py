"""The cell-type population table and the expression fractions per sample."""

from __future__ import annotations

import numpy as np
import pandas as pd


def get_population(pids, cts, sort_by=[]):  # noqa: B006 - the default is shared on purpose
    pid_lst = list(set(list(pids)))
    pid_lst.sort()
    celltype_lst = list(set(list(cts)))
    celltype_lst.sort()
    df_celltype_cnt = pd.DataFrame(index=pid_lst, columns=celltype_lst)
    df_celltype_cnt.loc[:, :] = 0
    for pid in pid_lst:
        b = np.array(pids) == pid
        ct_sel = np.array(cts)[b]
        for ct in celltype_lst:
            bx = ct_sel == ct
            df_celltype_cnt.loc[pid, ct] = np.sum(bx)
    df_celltype_pct = (df_celltype_cnt.div(df_celltype_cnt.sum(axis=1), axis=0) * 100).astype(float)
    if len(sort_by) > 0:
        df_celltype_pct = df_celltype_pct.sort_values(by=sort_by)
    return df_celltype_cnt, df_celltype_pct


def get_gene_expression(adata, items_to_plot=[], group_col="sample"):  # noqa: B006
    slst = adata.obs[group_col].unique().tolist()
    slst.sort()
    if items_to_plot is None or len(items_to_plot) == 0:
        Xs = adata.to_df()
        df = pd.DataFrame(index=slst, columns=adata.var.index)
    else:
        Xs = adata[:, items_to_plot].to_df()
        df = pd.DataFrame(index=slst, columns=items_to_plot)
    for s in slst:
        b = adata.obs[group_col] == s
        mns = list((Xs.loc[b, :] > 0).mean(axis=0))
        df.loc[s, :] = mns
    return df.astype(float)
