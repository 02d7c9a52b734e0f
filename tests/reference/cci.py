"""The cell-cell interaction tables: means, common-interaction removal, count
matrices, id parsing and plot tables (the group test is in grouptest.py).

Where a set decides an order, results are compared as sets. The plot table
starts its `mean` and `pval` columns as floats, so that filling in float
values is valid under pandas 3 as well.
"""

from __future__ import annotations

import pandas as pd


def cci_get_means(cci_df_dct, cci_idx_lst=None, cells=(), genes=(), pval_cutoff=0.05):
    if cci_idx_lst is None:
        for j, s in enumerate(cci_df_dct.keys()):
            df = cci_df_dct[s]
            b = df["pval"] <= pval_cutoff
            if len(cells) > 0:
                b = b & (df["cell_A"].isin(cells) | df["cell_B"].isin(cells))
            if len(genes) > 0:
                b = b & (df["gene_A"].isin(genes) | df["gene_B"].isin(genes))
            sel = list(df.index.values[b])
            if j == 0:
                idx_union = sel
            else:
                idx_union = list(set(idx_union).union(sel))
        cci_idx_lst = idx_union
    slst = list(cci_df_dct.keys())
    df = pd.DataFrame(index=slst, columns=cci_idx_lst)
    df.loc[:, :] = None
    for s in slst:
        idx = list(set(cci_idx_lst).intersection(list(cci_df_dct[s].index.values)))
        df.loc[s, idx] = cci_df_dct[s].loc[idx, "mean"].astype(float)
    return df.astype(float)


def cci_remove_common(df_dct):
    idx_dct = {}
    idxo_dct = {}
    for j, g in enumerate(df_dct.keys()):
        idx_dct[g] = list(df_dct[g].index.values)
        if j == 0:
            idx_c = idx_dct[g]
        else:
            idx_c = list(set(idx_c).intersection(idx_dct[g]))
    for g in df_dct.keys():
        idxo_dct[g] = list(set(idx_dct[g]) - set(idx_c))
    dfs_dct = {}
    for g in df_dct.keys():
        dfs_dct[g] = df_dct[g].loc[idxo_dct[g], :]
    return dfs_dct


def cci_get_ni_mat(df_dct, remove_common=True):
    dfs_dct = cci_remove_common(df_dct) if remove_common else df_dct
    celltype_lst = []
    for t in dfs_dct.values():
        ct_a = list(t["cell_A"].unique())
        ct_b = list(t["cell_B"].unique())
        celltype_lst = list(set(celltype_lst).union(ct_a + ct_b))
    celltype_lst.sort()
    result = {}
    for g in dfs_dct.keys():
        df = pd.DataFrame(index=celltype_lst, columns=celltype_lst)
        df.loc[:] = 0
        for a, b in zip(dfs_dct[g]["cell_A"], dfs_dct[g]["cell_B"], strict=False):
            df.loc[a, b] += 1
        result[g] = df
    return result


def cpdb_get_gp_n_cp(idx):
    items = idx.split("--")
    gene_pair, cell_pair = items[0], items[1]
    gns = gene_pair.split("_")
    cts = cell_pair.split("|")
    return gene_pair, cell_pair, gns[0], gns[1], cts[0], cts[1]


def cci_get_df_to_plot(df_dct, pval_cutoff=0.01, mean_cutoff=1, target_cells=None, display=print):
    idx_lst_all = []
    for k in df_dct.keys():
        df = df_dct[k]
        b = (df["pval"] <= pval_cutoff) & (df["mean"] >= mean_cutoff)
        if isinstance(target_cells, list):
            b1 = df["cell_A"].isin(target_cells)
            b2 = df["cell_B"].isin(target_cells)
            b = b & (b1 | b2)
        idx_lst_all = idx_lst_all + list(df.index.values[b])
    idx_lst_all = list(set(idx_lst_all))
    display("Union of Interactions: %i" % len(idx_lst_all))  # noqa: UP031
    dfs = {}
    for k in df_dct.keys():
        df = df_dct[k]
        dfv = pd.DataFrame(index=idx_lst_all, columns=df.columns)
        dfv["mean"] = 0.0
        dfv["pval"] = 1.0
        idxt = list(set(idx_lst_all).intersection(list(df.index.values)))
        cols = list(df.columns.values)
        cols.remove("mean")
        cols.remove("pval")
        dfv.loc[idxt, cols] = df.loc[idxt, cols]
        dfv.loc[idxt, "mean"] = df.loc[idxt, "mean"]
        dfv.loc[idxt, "pval"] = df.loc[idxt, "pval"]
        parts = [[] for _ in range(6)]
        for s in list(dfv.index.values):
            for part, value in zip(parts, cpdb_get_gp_n_cp(s), strict=True):
                part.append(value)
        names = ["gene_pair", "cell_pair", "gene_A", "gene_B", "cell_A", "cell_B"]
        for name, part in zip(names, parts, strict=True):
            dfv[name] = part
        dfs[k] = dfv
    return dfs
