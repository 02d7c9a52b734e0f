"""Seeded, valid inputs of any size for the analysis functions, in the forms
users pass them (categorical obs columns, CSR matrices, dicts of per-sample
CCI tables), CellPhoneDB and LIANA results for the readers, and small valid
calls of every function: shared by the robustness suites, the diagnostics,
pandas 3 and reader tests, and bench/."""

import contextlib
import functools
import sys

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp

from tests.support import ROOT


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


# -- CellPhoneDB and LIANA results, for the readers ---------------------------------
# The CellPhoneDB kidney result shipped in examples/data (ktplotspy's example
# data, MIT licence: examples/data/LICENSE-ktplotspy-data.txt): 837
# interacting pairs over 12 cell types, CALCA_CALCR among them twice.
KIDNEY = ROOT / "examples" / "data" / "cpdb_kidney"
CELL_TYPES = ["B cell", "NK cell", "MNPa(mono)"]
CELL_PAIRS = [f"{a}|{b}" for a in CELL_TYPES for b in CELL_TYPES]
# The annotation columns in front of the cell pairs of the kidney result.
ANNOTATION = 11


@functools.cache
def kidney_result():
    """(means, pvalues) of the kidney result as pandas.read_csv reads them
    (shared: copy before changing them)."""
    return (pd.read_csv(KIDNEY / "means.txt", sep="\t"),
            pd.read_csv(KIDNEY / "pvalues.txt", sep="\t"))  # fmt: skip


def cellphonedb_run(seed=0, labels=CELL_PAIRS):
    """(means, pvalues) of a small statistical analysis cut from the kidney
    result: eight interacting pairs (five significant ones, a complex partner,
    CALCA_CALCR twice) over three cell types, means scaled by log-normal noise
    for a non-zero seed, the cell-pair columns named `labels`."""
    means, pvals = kidney_result()
    annotation = list(means.columns[:ANNOTATION])
    significant = np.flatnonzero((pvals[CELL_PAIRS] < 0.05).any(axis=1))[:5]
    rows = [*significant, 235, 512, 513]  # a complex partner; CALCA_CALCR twice
    m = means.loc[rows, annotation + CELL_PAIRS].reset_index(drop=True)
    p = pvals.loc[rows, annotation + CELL_PAIRS].reset_index(drop=True)
    if seed:
        noise = np.random.default_rng(seed).lognormal(0, 0.3, (len(m), len(CELL_PAIRS)))
        m[CELL_PAIRS] = (m[CELL_PAIRS] * noise).round(3)
    rename = dict(zip(CELL_PAIRS, labels, strict=True))
    return m.rename(columns=rename), p.rename(columns=rename)


def relevant_interactions(pvals):
    """A DEG analysis' relevant_interactions from a pvalues table: 1 where
    significant, without the rows and columns that hold no 1 (as CellPhoneDB
    writes it)."""
    pairs = [c for c in pvals.columns if "|" in c]
    flags = (pvals[pairs] < 0.05).astype(int)
    rows = flags.any(axis=1)
    columns = list(flags.columns[flags.any(axis=0)])
    annotation = list(pvals.columns[: len(pvals.columns) - len(pairs)])
    return pd.concat([pvals.loc[rows, annotation], flags.loc[rows, columns]], axis=1)


def v5_names(analysis, suffix, means, second):
    """{file stem: table} of a run as CellPhoneDB v5 names its files."""
    table = "relevant_interactions" if analysis == "degs_analysis" else "pvalues"
    return {f"{analysis}_means_{suffix}": means, f"{analysis}_{table}_{suffix}": second}


def write_run(folder, **tables):
    """Writes each table as CellPhoneDB does (<stem>.txt, tab-separated,
    without the index) into `folder`, made if needed; returns the folder."""
    folder.mkdir(parents=True, exist_ok=True)
    for stem, frame in tables.items():
        frame.to_csv(folder / f"{stem}.txt", sep="\t", index=False)
    return folder


def cellphonedb_cohort(n_samples, seed=0):
    """(means, pvalues) of one run over sample-prefixed labels
    "<sample>_<cell type>": per sample the whole kidney result with its means
    scaled by log-normal noise and a fifth of its p-values redrawn, plus the
    cell pairs across neighbouring samples that a run over all labels lists."""
    means, pvals = kidney_result()
    pairs = [c for c in means.columns if "|" in c]
    annotation = list(means.columns[: len(means.columns) - len(pairs)])
    cells = sorted({c.split("|")[0] for c in pairs})
    rng = np.random.default_rng(seed)
    names = [f"S{s + 1:02d}" for s in range(n_samples)]
    m_blocks, p_blocks, columns = [], [], []
    m_all = means[pairs].to_numpy(float)
    p_all = pvals[pairs].to_numpy(float)
    for s, name in enumerate(names):
        m = np.round(m_all * rng.lognormal(0, 0.3, m_all.shape), 3)
        redraw = rng.random(p_all.shape) < 0.2
        p = np.where(redraw, rng.choice(p_all.ravel(), p_all.shape), p_all)
        m_blocks.append(m)
        p_blocks.append(p)
        columns += [f"{name}_{a}|{name}_{b}" for a, b in (c.split("|") for c in pairs)]
        if s + 1 < n_samples:  # pairs across two samples, which the reader leaves out
            m_blocks.append(m[:, : len(cells)])
            p_blocks.append(p[:, : len(cells)])
            columns += [f"{name}_{c}|{names[s + 1]}_{c}" for c in cells]
    return tuple(
        pd.concat([frame[annotation], pd.DataFrame(np.hstack(blocks), columns=columns)], axis=1)
        for frame, blocks in ((means, m_blocks), (pvals, p_blocks))
    )


def liana_results(n_rows=300, seed=0):
    """LIANA's by-sample output of its CellPhoneDB method: a categorical sample
    column (with an unused category), complexes joined by '_' (some of which
    make ids that read alike), further score columns."""
    rng = np.random.default_rng(seed)
    complexes = ["CD74", "MIF", "ITGA4_ITGB1", "VCAM1", "A_B", "C", "B_C", "A"]
    frame = pd.DataFrame({
        "sample": pd.Categorical(rng.choice(["s2", "s1", "s3"], n_rows),
                                 categories=["s1", "s2", "s3", "s4"]),
        "source": rng.choice(["T cell", "B cell", "NK"], n_rows),
        "target": rng.choice(["T cell", "Mono"], n_rows),
        "ligand_complex": rng.choice(complexes, n_rows),
        "receptor_complex": rng.choice(complexes, n_rows),
        "lr_means": rng.random(n_rows).round(3),
        "cellphone_pvals": rng.choice([0.0, 0.01, 0.5, 1.0], n_rows),
        "ligand": rng.choice(["CD74", "MIF"], n_rows),
        "ligand_means": rng.random(n_rows),
    })  # fmt: skip
    return frame.drop_duplicates(list(frame.columns[:5]))


def reader_calls():
    """{reader function: [(args, kwargs), ...]}: small calls that succeed."""
    means, pvals = cellphonedb_run()
    prefixed = {c: "s1_" + c.replace("|", "|s1_") for c in CELL_PAIRS}
    return {
        "read_cellphonedb": [
            call(means=means, pvalues=pvals),
            call(means=means, relevant_interactions=relevant_interactions(pvals), sample="s1"),
            call(
                means=means.rename(columns=prefixed),
                pvalues=pvals.rename(columns=prefixed),
                sample_sep="_",
            ),
        ],
        "read_liana": [
            call(liana_results(40), "sample"),
            call(liana_results(40), sample_key="sample"),
        ],
    }
