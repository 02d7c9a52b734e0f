"""Seeded, valid inputs of any size for the analysis functions, in the forms
users pass them (categorical obs columns, CSR matrices, dicts of per-sample
CCI tables), and small valid calls of every function: shared by the
robustness suites and the diagnostics and pandas 3 tests."""

import contextlib
import sys

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp


def labels(prefix, count):
    return [f"{prefix}{i:03d}" for i in range(count)]


def categorical(rng, n, categories):
    codes = rng.integers(0, len(categories), n, dtype=np.int16)
    return pd.Series(pd.Categorical.from_codes(codes, categories=categories))


def population_inputs(n_cells, n_samples=20, n_types=15, seed=0):
    """(pids, cts): per-cell sample and cell-type columns as categorical Series."""
    rng = np.random.default_rng(seed)
    return (
        categorical(rng, n_cells, labels("S", n_samples)),
        categorical(rng, n_cells, labels("T", n_types)),
    )


def csr_matrix(n_rows, n_cols, per_row, seed=0, dtype=np.float32):
    """A canonical CSR matrix with `per_row` stored values in every row (some
    of them zero or negative), built without per-row Python work."""
    rng = np.random.default_rng(seed)
    per_row = min(per_row, n_cols)
    step = n_cols // per_row
    offsets = rng.integers(0, step, n_rows, dtype=np.int32)
    indices = (np.arange(per_row, dtype=np.int32) * step)[None, :] + offsets[:, None]
    data = rng.integers(-2, 6, n_rows * per_row).astype(dtype)
    indptr = np.arange(0, n_rows * per_row + 1, per_row, dtype=np.int64)
    return sp.csr_matrix((data, indices.ravel(), indptr), shape=(n_rows, n_cols))


def expression_adata(n_cells, n_genes=200, per_row=20, n_samples=10, seed=0):
    """AnnData with a CSR X and a categorical "sample" column in obs."""
    rng = np.random.default_rng(seed)
    obs = pd.DataFrame(
        {"sample": categorical(rng, n_cells, labels("S", n_samples)).values},
        index=pd.Index(np.arange(n_cells).astype(str), dtype=object),
    )
    var = pd.DataFrame(index=labels("G", n_genes))
    return anndata.AnnData(X=csr_matrix(n_cells, n_genes, per_row, seed), obs=obs, var=var)


def expression_dask_adata(n_cells, n_genes=200, per_row=20, n_samples=10, seed=0, chunks=8):
    """expression_adata with X as a Dask array of CSR chunks, rows split in `chunks`."""
    import dask.array as da

    adata = expression_adata(n_cells, n_genes, per_row, n_samples, seed)
    adata.X = da.from_array(adata.X, chunks=(max(1, -(-n_cells // chunks)), -1))
    return adata


_backed_files = []


def expression_backed_adata(n_cells, n_genes=200, per_row=20, n_samples=10, seed=0):
    """expression_adata written to an .h5ad file in a temporary directory
    (removed at exit) and opened backed."""
    import atexit
    import shutil
    import tempfile

    if not _backed_files:
        folder = tempfile.mkdtemp(prefix="pelorkit-backed-")
        atexit.register(shutil.rmtree, folder, True)
        _backed_files.append(folder)
    path = f"{_backed_files[0]}/cells{len(_backed_files)}.h5ad"
    _backed_files.append(path)
    expression_adata(n_cells, n_genes, per_row, n_samples, seed).write_h5ad(path)
    return anndata.read_h5ad(path, backed="r")


def tumour_adata(n_cells, n_clusters=8, n_samples=10, seed=0):
    """AnnData whose obs carries the columns the sample diversity index reads."""
    return anndata.AnnData(obs=tumour_obs(n_cells, n_clusters, n_samples, seed))


def tumour_obs(n_cells, n_clusters=8, n_samples=10, seed=0):
    """The obs table of tumour_adata. (AnnData checks that the cell names are
    unique, which takes seconds for millions of cells.)"""
    rng = np.random.default_rng(seed)
    cluster = labels("C", n_clusters)
    return pd.DataFrame(
        {
            "sample": categorical(rng, n_cells, labels("S", n_samples)).values,
            "cnv_cluster": np.array(cluster, dtype=object)[rng.integers(0, n_clusters, n_cells)],
            "ploidy_dec": np.where(rng.random(n_cells) < 0.6, "Aneuploid", "Diploid").astype(
                object
            ),
            "cnv_ref_ind": rng.random(n_cells) < 0.2,
        },
        index=pd.Index(np.arange(n_cells).astype(str), dtype=object),
    )


def cci_table(rng, n_rows, n_types=12, n_genes=40, ids=True):
    """One sample's CCI result table: interaction ids as index (or a plain
    range when `ids` is false), pval, mean and the four partner columns."""
    cells = np.array(labels("Cell ", n_types), dtype=object)
    genes = np.array(labels("G", n_genes), dtype=object)
    cell_a = cells[rng.integers(0, n_types, n_rows)]
    cell_b = cells[rng.integers(0, n_types, n_rows)]
    gene_a = genes[rng.integers(0, n_genes, n_rows)]
    gene_b = genes[rng.integers(0, n_genes, n_rows)]
    frame = pd.DataFrame(
        {
            "pval": rng.random(n_rows) ** 3,
            "mean": rng.random(n_rows) * 3,
            "cell_A": cell_a,
            "cell_B": cell_b,
            "gene_A": gene_a,
            "gene_B": gene_b,
        }
    )
    if ids:
        frame.index = gene_a + "_" + gene_b + "--" + cell_a + "|" + cell_b
    return frame


def cci_tables(n_samples, n_rows, seed=0, ids=True, **table):
    """{sample: CCI result table}; rows of one sample may repeat ids."""
    rng = np.random.default_rng(seed)
    return {f"S{k:02d}": cci_table(rng, n_rows, ids=ids, **table) for k in range(n_samples)}


def sample_table(n_samples, n_items, n_groups=3, nan_fraction=0.1, seed=0):
    """(samples x items table with NaN holes, {sample: group})."""
    rng = np.random.default_rng(seed)
    values = rng.normal(size=(n_samples, n_items))
    values[:, : n_items // 2] += np.arange(n_samples)[:, None] % n_groups
    values[rng.random(values.shape) < nan_fraction] = np.nan
    samples = labels("S", n_samples)
    groups = {s: f"grp{i % n_groups}" for i, s in enumerate(samples)}
    return pd.DataFrame(values, index=samples, columns=labels("item", n_items)), groups


def deg_tables():
    """{DEG key: table} for the marker extraction, two groups sharing a gene."""
    genes = ["CD3E", "CD2", "MS4A1", "NKG7", "GNLY", "LYZ"]
    return {
        "T cell_vs_rest": pd.DataFrame(
            {
                "score": [9.0, 7.0, 1.0, 6.0, 2.0, 0.5],
                "nz_pct_test": [0.9, 0.8, 0.1, 0.7, 0.5, 0.2],
                "nz_pct_ref": [0.05, 0.1, 0.3, 0.02, 0.1, 0.5],
            },
            index=genes,
        ),
        "NK cell_vs_rest": pd.DataFrame(
            {
                "score": [1.0, 2.0, 0.1, 8.0, 7.5, 0.2],
                "nz_pct_test": [0.2, 0.6, 0.1, 0.95, 0.9, 0.1],
                "nz_pct_ref": [0.2, 0.05, 0.3, 0.01, 0.02, 0.4],
            },
            index=genes,
        ),
    }


def gsa_tables():
    return {
        "T cell": pd.DataFrame(
            {"-log(p-val)": [5.0, 1.0, np.nan, 2.0], "size": [10, 20, 30, 40]},
            index=["pw1", "pw2", "pw3", "pw4"],
        ),
        "B cell": pd.DataFrame({"-log(p-val)": [0.5], "size": [7]}, index=["pw1"]),
    }


def display_adata():
    """A small AnnData with every component the tree display draws."""
    adata = anndata.AnnData(
        X=np.zeros((6, 4), dtype=np.float32),
        obs=pd.DataFrame({"sample": list("aabbcc")}, index=labels("c", 6)),
        var=pd.DataFrame({"gene_ids": list("wxyz")}, index=labels("g", 4)),
    )
    adata.obsm["X_pca"] = np.zeros((6, 2))
    adata.uns["pca"] = {"variance": np.arange(50.0), "params": {"zero_center": True}}
    adata.uns["log"] = ["hidden by default"]
    return adata


@contextlib.contextmanager
def recursion_headroom(frames):
    """Sets the recursion limit to the current depth plus `frames` for the
    block (some libraries raise it at import, to 3000 or more)."""
    depth, frame = 0, sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(depth + frames)
    try:
        yield
    finally:
        sys.setrecursionlimit(limit)


def call(*args, **kwargs):
    return args, kwargs


def valid_calls():
    """{analysis function: [(args, kwargs), ...]}: small calls that succeed,
    with fresh inputs at every use."""
    cci = cci_tables(3, 12, n_types=3, n_genes=4)
    table, groups = sample_table(6, 5, n_groups=2)
    pids, cts = population_inputs(60, n_samples=3, n_types=4)
    expression = expression_adata(30, n_genes=6, per_row=3, n_samples=3)
    y = np.array(["Tumor", "Tumor", "Normal", "Normal", "Tumor"])
    y_pred = np.array(["Tumor", "Normal", "Normal", "Tumor", "Tumor"])
    nested = {"a": 1, "bb": {"x": [1, 2], "y": "hi"}, "c": np.zeros((10, 3))}
    grid = [[object() for _ in range(3)] for _ in range(2)]
    return {
        "get_sample_to_group_dict": [
            call(["S2", "S1", "S2", "S10"], ["B", "A", "C", "A"]),
            call(np.array([3, 1, 3]), pd.Series(["x", "y", "z"])),
            call([None, None], ["A", "B"]),  # object values: the generic path
        ],
        "get_sample_to_group_map": [call(["S2", "S1"], ["B", "A"])],
        "get_population": [
            call(pids, cts),
            call(list(pids), np.array(cts), sort_by=["T001"]),
        ],
        "get_gene_expression": [
            call(expression),
            call(expression, ["G004", "G001"], group_col="sample"),
        ],
        "cci_get_means": [
            call(cci),
            call(cci, cells=["Cell 001"], genes=["G002"], pval_cutoff=0.5),
            call(cci, cci_idx_lst=list(cci["S00"].index[:3])),
        ],
        "get_cci_means": [call(cci)],
        "cci_get_diff_interactions": [
            call(table, groups),
            call(table, groups, ref_group="grp1", pval_cutoff=0.5),
        ],
        "test_group_diff": [call(table, groups)],
        "cci_remove_common": [call(cci)],
        "cci_get_ni_mat": [call(cci), call(cci, False)],
        "get_cci_ni_mat": [call(cci, remove_common=False)],
        "cpdb_get_gp_n_cp": [call("G1_G2--B cell|T cell")],
        "cci_get_df_to_plot": [
            call(cci, pval_cutoff=0.5, mean_cutoff=0.5),
            call(cci, 0.5, 0.5, ["Cell 000"]),
        ],
        "get_markers_from_deg": [
            call(deg_tables()),
            call(deg_tables(), N_mkrs=2, rem_common=False),
            call(deg_tables(), ref_col="missing"),  # prints, returns None
        ],
        "filter_gsa_result": [call(gsa_tables(), 1.0)],
        "get_abbreviations": [call()],
        "get_abbreviations_uni": [call()],
        "split_text": [call("Aneuploid Intestinal Epithelial cell", N_max=10), call("short")],
        "evaluate_performance": [
            call(y, y_pred),
            call(pd.Series(y), pd.Series(y_pred), ["Tumor"]),
        ],
        "compute_sample_div_index": [
            call(tumour_adata(40, n_clusters=3, n_samples=3)),
            call(tumour_adata(40, n_clusters=3, n_samples=3), sdi_col="sdi"),
        ],
        "get_axes": [call(grid, 2, 3, 4), call(grid[0], 1, 3, 2)],
        "_get_value_info": [
            call(pd.DataFrame({"a": [1.0, 2.0], "b": ["x", "y"]})),
            call(nested, level_of_value=3),
            call(np.arange(10.0), key_name="k", limited_keys=[]),
        ],
        "_display_dict_or_dataframe_recursive": [
            call(nested, 0, "", limited_keys=[]),
            call({}, 0, "|", ss="x"),
        ],
        "show_anndata_tree": [
            call(display_adata()),
            call(nested, limited_keys=["c"]),
            call(pd.DataFrame({"a": [1.0], "b": [2], "c": ["x"], "d": [None]})),
        ],
    }


def cellphonedb_tables(n_pairs=6, n_types=3, seed=0):
    """(means, pvalues) of a small CellPhoneDB statistical analysis, as
    pandas.read_csv reads them: a repeated interacting pair and a complex
    partner among the rows."""
    rng = np.random.default_rng(seed)
    genes = labels("G", n_pairs + 1)
    pairs = [f"{genes[i]}_{genes[i + 1]}" for i in range(n_pairs - 2)]
    pairs += [pairs[0], f"{genes[0]}_{genes[1]}_{genes[2]}"]
    annotation = pd.DataFrame({
        "id_cp_interaction": [f"CPI-{i:04d}" for i in range(n_pairs)],
        "interacting_pair": pairs,
        "partner_a": [f"simple:P{i:05d}" for i in range(n_pairs - 1)] + [f"complex:{genes[0]}_{genes[1]}"],
        "partner_b": [f"simple:Q{i:05d}" for i in range(n_pairs)],
        "gene_a": [p.split("_")[0] for p in pairs[:-1]] + [None],
        "gene_b": [p.rsplit("_", 1)[1] for p in pairs],
        "is_integrin": rng.random(n_pairs) < 0.3,
    })  # fmt: skip
    cells = [f"Cell {i}" for i in range(n_types)]
    columns = [f"{a}|{b}" for a in cells for b in cells]
    means = rng.lognormal(-1, 1, (n_pairs, len(columns))).round(3)
    pvals = np.where(rng.random(means.shape) < 0.5, 1.0, rng.random(means.shape).round(3))
    return tuple(
        pd.concat([annotation, pd.DataFrame(values, columns=columns)], axis=1)
        for values in (means, pvals)
    )


def liana_table(n_rows=40, seed=0):
    """LIANA's by-sample results of its CellPhoneDB method."""
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "sample": pd.Categorical(rng.choice(["s1", "s2"], n_rows)),
        "source": rng.choice(["B", "T", "NK"], n_rows),
        "target": rng.choice(["B", "T"], n_rows),
        "ligand_complex": rng.choice(["CD74", "ITGA4_ITGB1", "A_B", "A"], n_rows),
        "receptor_complex": rng.choice(["MIF", "C", "B_C"], n_rows),
        "lr_means": rng.random(n_rows),
        "cellphone_pvals": rng.random(n_rows).round(2),
        "ligand_means": rng.random(n_rows),
    })  # fmt: skip
    return frame


def reader_calls():
    """{reader function: [(args, kwargs), ...]}: small calls that succeed."""
    means, pvals = cellphonedb_tables()
    relevant = (pvals.iloc[:, 7:] < 0.5).astype(int)
    relevant = pd.concat([pvals.iloc[:, :7], relevant], axis=1)
    prefixed = {c: "s1_" + c.replace("|", "|s1_") for c in means.columns[7:]}
    prefixed_means, prefixed_pvals = means.rename(columns=prefixed), pvals.rename(columns=prefixed)
    return {
        "read_cellphonedb": [
            call(means=means, pvalues=pvals),
            call(means=means, relevant_interactions=relevant, sample="s1"),
            call(means=prefixed_means, pvalues=prefixed_pvals, sample_sep="_"),
        ],
        "read_liana": [call(liana_table(), "sample"), call(liana_table(), sample_key="sample")],
    }
