"""Tumour-cell analysis: the sample diversity index (one boolean mask over
every cell per cluster, labels matched by their text form) and the scores of
tumour/normal calls."""

import numpy as np
import pandas as pd


def compute_sample_div_index(
    adata,
    sample_col="sample",
    cluster_col="cnv_cluster",
    tumor_dec="ploidy_dec",
    ref_ind_col="cnv_ref_ind",
    sdi_col="sample_diversity_index",
    tumor_name="Aneuploid",
):
    obs = adata.obs
    clust_lst = obs[cluster_col].unique().tolist()
    clust_lst.sort()
    df = pd.DataFrame(columns=["Tumor_pct", "N_samples", "sample_diversity_index"], index=clust_lst)
    # The text of every label as pandas 2's astype(str) writes it: str() of
    # each value as numpy holds it (pandas 3 keeps missing labels missing)
    label_text = np.asarray(obs[cluster_col]).astype(str)
    for c in clust_lst:
        b = label_text == str(c)
        pcnt = obs.loc[b, sample_col].value_counts()
        pcnt = pcnt / np.sum(pcnt)
        pcnt = pcnt[pcnt > 0]
        H = np.sum(-pcnt * np.log2(pcnt))
        pt = int(100 * (obs.loc[b, tumor_dec] == tumor_name).sum() / np.sum(b))
        pt_ref = int(100 * obs.loc[b, ref_ind_col].sum() / np.sum(b))
        Ns = np.sum(pcnt > 0)
        df.loc[c, "Tumor_pct"] = pt
        df.loc[c, "Ref_pct"] = pt_ref
        df.loc[c, "N_samples"] = Ns
        df.loc[c, "sample_diversity_index"] = H
    df["Tumor"] = df["Tumor_pct"] >= 50
    obs[sdi_col] = 0
    for c in df.index.values.tolist():
        b = label_text == str(c)
        obs.loc[b, sdi_col] = df.loc[c, "sample_diversity_index"].round()
    obs[sdi_col] = obs[sdi_col].astype(str)
    return df


def evaluate_performance(y, y_pred, labels=["Tumor", "Normal"]):  # noqa: B006 - shared on purpose
    acc = np.sum(y == y_pred) / len(y)
    perf = {"Accuracy": np.round(acc, 3), "F1": 0}
    f1_all, nc = [], []
    for t in labels:
        b1, b2 = y == t, y_pred == t
        bc = b1 & b2
        prec = np.sum(bc) / np.sum(b2)
        recall = np.sum(bc) / np.sum(b1)
        fpr = np.sum(~b1 & b2) / np.sum(~b1)
        f1 = 2 * prec * recall / (prec + recall)
        perf[f"F1 ({t})"] = np.round(f1, 3)
        perf[f"Precision ({t})"] = np.round(prec, 3)
        perf[f"Recall ({t})"] = np.round(recall, 3)
        perf[f"FPR ({t})"] = np.round(fpr, 3)
        f1_all.append(f1)
        nc.append(np.sum(b1))
    perf["F1"] = np.round(np.sum(np.array(f1_all) * np.array(nc)) / np.sum(nc), 3)
    return perf
