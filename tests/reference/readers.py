"""The readers: CellPhoneDB's wide tables and LIANA's long results turned into
per-sample CCI result tables, statement by statement on frames already read
(pelorkit.readers also finds and reads the files)."""

import numpy as np
import pandas as pd

# The columns every CCI result table starts with.
CORE = ["pval", "mean", "cell_A", "cell_B", "gene_A", "gene_B"]


def read_cellphonedb(means, second, deg=False, sample_sep=None, sample="sample"):
    """{sample: table} of one run: `second` is its pvalues table, or its
    relevant_interactions table when `deg`."""
    pairs = [c for c in means.columns if isinstance(c, str) and "|" in c]
    key = "id_cp_interaction"
    if key not in means or key not in second:
        key = "interacting_pair"

    def keyed(frame):  # the k-th row of a key meets the k-th of the other table
        return pd.MultiIndex.from_arrays([frame[key], frame.groupby(key).cumcount()])

    other = second.set_axis(keyed(second))
    other = other[[c for c in other.columns if isinstance(c, str) and "|" in c]]
    other = other.reindex(index=keyed(means), columns=pairs).astype(float)
    pvals = (1.0 - other.fillna(0.0)) if deg else other

    def partner(side):
        names = []
        for p, g in zip(means.get(f"partner_{side}", [None] * len(means)),
                        means.get(f"gene_{side}", [None] * len(means)), strict=True):  # fmt: skip
            complex_ = isinstance(p, str) and p.startswith("complex:")
            names.append(p[len("complex:") :] if complex_ else g if isinstance(g, str) else "")
        return names

    gene_a, gene_b = [], []
    for pair, a, b in zip(means["interacting_pair"], partner("a"), partner("b"), strict=True):
        if a and pair.startswith(a + "_"):
            cut = len(a)
        elif b and pair.endswith("_" + b):
            cut = len(pair) - len(b) - 1
        else:
            cut = pair.index("_")
        gene_a.append(pair[:cut])
        gene_b.append(pair[cut + 1 :])

    endings = pd.Series("", index=means.index)
    for _, rows in means.groupby("interacting_pair", sort=False):
        if len(rows) < 2:
            continue
        ids = rows.get("id_cp_interaction")
        if ids is not None and ids.map(lambda x: isinstance(x, str) and x != "").all() and ids.is_unique:  # fmt: skip
            endings[rows.index] = ids
        else:
            endings[rows.index] = [str(i + 1) for i in range(len(rows))]

    groups = {}
    for j, label in enumerate(pairs):
        a, b = label.split("|")
        if sample_sep is None:
            groups.setdefault(sample, []).append((j, a, b))
            continue
        (sa, ca), (sb, cb) = a.split(sample_sep, 1), b.split(sample_sep, 1)
        if sa == sb:
            groups.setdefault(sa, []).append((j, ca, cb))

    carried = [c for c in means.columns
               if c not in pairs and c not in ("interacting_pair", "gene_a", "gene_b")]  # fmt: skip
    n = len(means)
    tables = {}
    for name, columns in groups.items():
        js = [j for j, _, _ in columns]
        k = len(js)
        mean = means[pairs].iloc[:, js].set_axis(range(k), axis=1).melt()["value"]
        pval = pvals.iloc[:, js].set_axis(range(k), axis=1).melt()["value"]
        cell_a = np.repeat([a for _, a, _ in columns], n).astype(object)
        cell_b = np.repeat([b for _, _, b in columns], n).astype(object)
        ending = np.tile(endings.to_numpy(object), k)
        ids = (np.tile(means["interacting_pair"].to_numpy(object), k) + "--" + cell_a + "|"
               + cell_b + np.where(ending == "", "", "--" + ending))  # fmt: skip
        table = pd.DataFrame(
            {"pval": pval.to_numpy(float), "mean": mean.to_numpy(float), "cell_A": cell_a,
             "cell_B": cell_b, "gene_A": np.tile(np.array(gene_a, object), k),
             "gene_B": np.tile(np.array(gene_b, object), k)},
            index=pd.Index(ids),
        )  # fmt: skip
        annotation = means[carried].iloc[np.tile(np.arange(n), k)]
        tables[name] = pd.concat([table, annotation.set_axis(table.index)], axis=1)
    return tables


def read_liana(df, sample_key, score_key="lr_means", pvalue_key="cellphone_pvals",
               source_key="source", target_key="target", ligand_key="ligand_complex",
               receptor_key="receptor_complex"):  # fmt: skip
    keys = [sample_key, score_key, pvalue_key, source_key, target_key, ligand_key, receptor_key]
    extra = [c for c in df.columns if c not in keys and c not in CORE]
    tables = {}
    for sample in pd.unique(df[sample_key]):
        rows = df[df[sample_key] == sample]
        text = {k: rows[k].map(str) for k in (source_key, target_key, ligand_key, receptor_key)}
        ids = (text[ligand_key] + "_" + text[receptor_key] + "--" + text[source_key] + "|"
               + text[target_key])  # fmt: skip
        number = ids.groupby(ids).cumcount() + 1
        ids = ids.where(~ids.duplicated(keep=False), ids + "--" + number.map(str))
        table = pd.DataFrame(
            {"pval": rows[pvalue_key].to_numpy(float), "mean": rows[score_key].to_numpy(float),
             "cell_A": text[source_key].to_numpy(object), "cell_B": text[target_key].to_numpy(object),
             "gene_A": text[ligand_key].to_numpy(object),
             "gene_B": text[receptor_key].to_numpy(object)},
            index=pd.Index(ids.to_numpy(object)),
        )  # fmt: skip
        for column in extra:
            table[column] = rows[column].set_axis(table.index)
        tables[sample] = table
    return tables
