"""A tour of pelorkit on real data: the downstream analysis of single-cell results.

Run from anywhere:  python examples/tour.py [--out tour_output]

Each step prints a heading and the tables a scientist reads; figures go to the
output folder. Data: examples/data (see the README's attribution section) and
scanpy's bundled pbmc68k_reduced.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import shutil
import tempfile
import types
import warnings
import zipfile

import anndata
import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import scanpy as sc
from matplotlib.lines import Line2D
from scipy import stats

import pelorkit.analyka as pk
import pelorkit.fetchora as fetchora
import pelorkit.readers as readers

DATA = pathlib.Path(__file__).resolve().parent / "data"
pd.set_option("display.width", 140)
pd.set_option("display.max_columns", 12)


def heading(number: int, title: str) -> None:
    print(f"\n{'=' * 78}\n{number}. {title}\n{'=' * 78}")


def save(fig, out: pathlib.Path, name: str) -> pathlib.Path:
    path = out / name
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    print(f"[figure] {path}")
    return path


# 1 ---------------------------------------------------------------------------
def step_structure() -> None:
    heading(1, "The structure of a real AnnData (placenta, 3,312 cells)")
    adata = anndata.read_h5ad(DATA / "ventolab_small.h5ad")
    print(pk.show_tree(adata), end="")


# 2 ---------------------------------------------------------------------------
def haber_cells() -> tuple[pd.DataFrame, np.ndarray, np.ndarray, np.ndarray]:
    """The published counts expanded to one (mouse, cell type, condition) per cell."""
    counts = pd.read_csv(DATA / "haber2017_counts.csv", index_col="Mouse")
    mice = counts.index.to_numpy()
    per_cell_mouse = np.repeat(np.repeat(mice, counts.shape[1]), counts.to_numpy().ravel())
    per_cell_type = np.repeat(
        np.tile(counts.columns.to_numpy(), len(mice)), counts.to_numpy().ravel()
    )
    per_cell_condition = np.array([m.rsplit("_", 1)[0] for m in per_cell_mouse])
    return counts, per_cell_mouse, per_cell_type, per_cell_condition


def adjusted_pvalues(df_pct: pd.DataFrame, sample_to_condition: dict) -> pd.DataFrame:
    """Every cell type's p-values against Control (pval_cutoff=1 keeps them all),
    Benjamini-Hochberg-adjusted over all the tests together."""
    every = pk.test_group_diff(df_pct, sample_to_condition, ref_group="Control", pval_cutoff=1)
    adjusted = stats.false_discovery_control(every.to_numpy().ravel(), method="bh")
    return pd.DataFrame(adjusted.reshape(every.shape), index=every.index, columns=every.columns)


def plot_composition(
    df_pct: pd.DataFrame,
    sample_to_condition: dict,
    diff: pd.DataFrame,
    adjusted: pd.DataFrame,
    cutoff: float = 0.05,
):
    """One panel per cell type: each mouse's share by condition and the
    condition's mean, and a bracket from Control to every condition whose
    Welch test gives an uncorrected p <= cutoff, with its BH-adjusted value."""
    groups = sorted(set(sample_to_condition.values()))
    colors = dict(zip(groups, plt.cm.tab10.colors, strict=False))
    nc, nr = 4, int(np.ceil(df_pct.shape[1] / 4))
    fig, axes = plt.subplots(nr, nc, figsize=(4 * nc, 3.6 * nr), squeeze=False)
    for j, ct in enumerate(df_pct.columns):
        ax = pk.get_axes(axes, nr, nc, j)
        for k, g in enumerate(groups):
            mice = [m for m in df_pct.index if sample_to_condition[m] == g]
            values = df_pct.loc[mice, ct]
            ax.scatter(np.full(len(values), k), values, color=colors[g], s=40, label=g)
            ax.hlines(values.mean(), k - 0.3, k + 0.3, color=colors[g])
        # The comparisons behind the marks: "<condition>_vs_Control" columns.
        marks = [
            (comparison.split("_vs_"), p)
            for comparison, p in (diff.loc[ct].items() if ct in diff.index else [])
            if p <= cutoff
        ]
        low, high = df_pct[ct].min(), df_pct[ct].max()
        step = 0.12 * (high - low)
        for level, ((g, ref), p) in enumerate(marks, start=1):
            x0, x1, y = groups.index(ref), groups.index(g), high + level * step
            ax.plot([x0, x0, x1, x1], [y - step / 4, y, y, y - step / 4], color="black", lw=0.8)
            q = adjusted.loc[ct, f"{g}_vs_{ref}"]
            ax.text((x0 + x1) / 2, y, f"p = {p:.3f} (BH {q:.2f})", ha="center", va="bottom",
                    fontsize=8)  # fmt: skip
        ax.set_ylim(low - step, high + (len(marks) + 1) * step)
        ax.set_title(ct, color="firebrick" if marks else "black")
        ax.set_xticks(range(len(groups)), [pk.split_text(g, 8) for g in groups], fontsize=8)
        ax.set_ylabel("% of the mouse's cells")
    for j in range(df_pct.shape[1], nr * nc):
        pk.get_axes(axes, nr, nc, j).axis("off")
    handles, labels = pk.get_axes(axes, nr, nc, 0).get_legend_handles_labels()
    handles.append(Line2D([], [], color="grey"))
    labels.append("bar: the condition's mean")
    fig.legend(
        handles, labels, loc="lower center", ncol=len(handles), title="condition (dot: a mouse)"
    )
    mice = pd.Series(sample_to_condition).value_counts()
    lowest = adjusted.min().min()
    verdict = f"smallest {lowest:.2f}" + (
        f": none survives the correction at {cutoff}" if lowest > cutoff else ""
    )
    fig.suptitle(
        "Cell-type shares per mouse by condition. Brackets and red titles: Welch's t-test against "
        f"Control with an uncorrected p <= {cutoff}\n(n = {mice.min()} to {mice.max()} mice per "
        f"condition, {adjusted.size} tests; in parentheses the Benjamini-Hochberg-adjusted p, "
        f"{verdict})"
    )
    fig.tight_layout(rect=(0, 0.07, 1, 0.95))
    return fig


def mice_per_infection(sample_to_condition: dict) -> str:
    """'n' or 'n to m': the number of mice of each infected group."""
    n = pd.Series(sample_to_condition).loc[lambda c: c != "Control"].value_counts()
    return f"{n.min()}" if n.min() == n.max() else f"{n.min()} to {n.max()}"


def step_composition(out: pathlib.Path) -> None:
    heading(2, "Composition of the small-intestine epithelium (Haber et al. 2017)")
    counts, mouse, cell_type, condition = haber_cells()
    print(f"{len(mouse):,} cells, one (mouse, cell type) pair each.")

    sample_to_condition = pk.get_sample_to_group_map(mouse, condition)
    print("\nSample -> condition map:")
    for sample, group in sample_to_condition.items():
        print(f"  {sample:<16} {group}")

    df_cnt, df_pct = pk.get_population(mouse, cell_type)
    print("\nCell counts per mouse:")
    print(df_cnt.to_string())
    print("\nPercentages per mouse:")
    print(df_pct.round(2).to_string())

    diff = pk.test_group_diff(df_pct, sample_to_condition, ref_group="Control")
    print(
        "\nWelch's t-test of every infection against the controls: the cell types with "
        "p <= 0.05 in at least one comparison, and all their p-values:"
    )
    print(diff.to_string() if len(diff) else "(no cell type differs)")
    adjusted = adjusted_pvalues(df_pct, sample_to_condition)
    print(
        f"\nThese p-values are not corrected for the {adjusted.size} tests ({adjusted.shape[0]} "
        f"cell types x {adjusted.shape[1]} infections), with {mice_per_infection(sample_to_condition)} "
        "mice per infected group. Adjusted over all the tests (Benjamini-Hochberg):"
    )
    print(adjusted.loc[diff.index].round(3).to_string() if len(diff) else "(none)")
    print(
        f"Smallest adjusted p-value: {adjusted.min().min():.2f}; read the uncorrected ones as a "
        "ranking of candidates."
    )
    figure = plot_composition(df_pct, sample_to_condition, diff, adjusted)
    save(figure, out, "composition_haber2017.png")


# 3 ---------------------------------------------------------------------------
MARKER_GENES = ["CD79A", "MS4A1", "CD3D", "IL7R", "NKG7", "GNLY", "LYZ", "S100A8", "FCGR3A", "CST3"]


def plot_dotplot(frac: pd.DataFrame, mean: pd.DataFrame, n_cells: pd.Series):
    """Dot size: share of the group's cells with the gene detected; colour: mean
    expression over all the group's cells; each group's cell count by its name."""
    fig, ax = plt.subplots(figsize=(9.5, 5.5))
    yy, xx = np.meshgrid(np.arange(frac.shape[0]), np.arange(frac.shape[1]), indexing="ij")
    dots = ax.scatter(xx.ravel(), yy.ravel(), s=frac.to_numpy().ravel() * 300,
                      c=mean.to_numpy().ravel(), cmap="Reds", vmin=0, edgecolors="grey", linewidths=0.4)  # fmt: skip
    ax.set_xticks(range(frac.shape[1]), frac.columns, rotation=45, ha="right")
    names = [f"{pk.split_text(s, 18)} (n = {n_cells[s]})" for s in frac.index]
    ax.set_yticks(range(frac.shape[0]), names, fontsize=8)
    ax.set_xlim(-0.6, frac.shape[1] - 0.4)
    ax.set_ylim(frac.shape[0] - 0.5, -0.5)
    ax.set_xlabel("gene")
    ax.set_ylabel("cell type (bulk label)")
    fig.colorbar(dots, ax=ax,
                 label="mean log-normalised expression\nover all the group's cells (zeros included)")  # fmt: skip
    for share in (0.25, 0.5, 1.0):
        ax.scatter([], [], s=share * 300, color="grey", label=f"{share:.0%}")
    ax.legend(loc="upper left", bbox_to_anchor=(1.24, 1), title="cells with\nthe gene detected",
              labelspacing=1.2, borderpad=1)  # fmt: skip
    ax.set_title("Share of cells in which each marker is detected (pbmc.raw > 0)\n"
                 "every cell type weighs the same, whatever its number of cells n")  # fmt: skip
    return fig


def step_expression(out: pathlib.Path, pbmc: anndata.AnnData) -> None:
    heading(3, "Marker detection per cell type (pbmc68k_reduced, raw values)")
    raw = pbmc.raw.to_adata()
    print(
        "pbmc.X is scaled (a z-score per gene), so X > 0 means 'above the gene's mean', not "
        "'expressed'.\npbmc.raw holds the log-normalised values before scaling: there, > 0 "
        "means detected.\nFraction of each cell type's cells with the gene detected (pbmc.raw):"
    )
    frac = pk.get_gene_expression(raw, items_to_plot=MARKER_GENES, group_col="bulk_labels")
    print(frac.round(2).to_string())
    scaled = pk.get_gene_expression(pbmc, items_to_plot=["LYZ"], group_col="bulk_labels")
    print(
        f"\nLYZ in CD14+ monocytes: detected in {frac.loc['CD14+ Monocyte', 'LYZ']:.0%} of the "
        f"cells (raw); above the gene's mean in {scaled.loc['CD14+ Monocyte', 'LYZ']:.0%} (scaled X)."
    )
    mean = raw[:, MARKER_GENES].to_df().groupby(raw.obs["bulk_labels"], observed=True).mean()
    n_cells = raw.obs["bulk_labels"].value_counts()
    print("\nCells per cell type (each is one row of the dot plot, whatever its size):")
    print(n_cells.loc[frac.index].to_string())
    figure = plot_dotplot(frac, mean.loc[frac.index], n_cells)
    save(figure, out, "expression_dotplot_pbmc68k.png")


# 4 ---------------------------------------------------------------------------
# The columns of a CCI result table that the CCI functions read.
CCI_COLUMNS = ["pval", "mean", "cell_A", "cell_B", "gene_A", "gene_B"]


def kidney_cci_table() -> pd.DataFrame:
    """The kidney result read with pelorkit.readers: one row per interaction id,
    the columns the CCI functions read, then CellPhoneDB's annotation."""
    # CellPhoneDB lists CALCA_CALCR twice; the reader keeps the two apart (their
    # ids end in their id_cp_interaction) and says so in a UserWarning, shown
    # here as the note it is.
    with warnings.catch_warnings(record=True) as notes:
        warnings.simplefilter("always")
        tables = readers.read_cellphonedb(DATA / "cpdb_kidney", sample="kidney")
    for note in notes:
        print(f"Note from read_cellphonedb: {note.message}")
    return tables["kidney"]


def plot_interaction_counts(counts: pd.DataFrame):
    """Directed counts as a heatmap; the cell types keep their full names."""
    fig, ax = plt.subplots(figsize=(9, 7.5))
    image = ax.imshow(counts.to_numpy(), cmap="viridis")
    ax.set_xticks(range(len(counts.columns)), counts.columns, rotation=60, ha="right", fontsize=8)
    ax.set_yticks(range(len(counts.index)), counts.index, fontsize=8)
    values = counts.to_numpy()
    for (i, j), n in np.ndenumerate(values):
        dark = image.norm(n) < 0.6  # viridis is dark at its low end
        ax.text(j, i, str(n), ha="center", va="center", fontsize=7,
                color="white" if dark else "black")  # fmt: skip
    ax.set_xlabel("second partner (cell_B)")
    ax.set_ylabel("first partner (cell_A)")
    fig.colorbar(image, ax=ax, fraction=0.046, pad=0.03,
                 label="number of significant interactions (p <= 0.05)")  # fmt: skip
    ax.set_title("Directed interaction counts between kidney immune cells")
    return fig


def step_cci(out: pathlib.Path) -> None:
    heading(4, "Cell-cell interactions of kidney immune cells (CellPhoneDB result)")
    cci = kidney_cci_table()
    print(f"CCI result table: {len(cci):,} interactions, e.g.")
    print(cci[CCI_COLUMNS].head(4).to_string())

    plot_tables = pk.cci_get_df_to_plot({"kidney": cci}, pval_cutoff=0.01, mean_cutoff=1)
    strong = plot_tables["kidney"].sort_values("mean", ascending=False)
    print("\nStrong significant interactions (p <= 0.01, mean >= 1), top 10 by mean:")
    print(strong[["gene_pair", "cell_pair", "mean", "pval"]].head(10).to_string())

    # One sample: nothing to remove as common to all samples.
    significant = cci.loc[cci["pval"] <= 0.05]
    counts = pk.cci_get_ni_mat({"kidney": significant}, remove_common=False)["kidney"]
    counts = counts.astype(int)
    print(
        "\nSignificant interactions (p <= 0.05) per ordered cell-type pair (rows: first partner):"
    )
    print(counts.to_string())
    save(plot_interaction_counts(counts), out, "cci_counts_kidney.png")


# 5 ---------------------------------------------------------------------------
def marker_deg_tables(pbmc: anndata.AnnData) -> dict[str, pd.DataFrame]:
    """One DEG table per cell type against the rest, from scanpy's t-test."""
    adata = pbmc.copy()
    sc.tl.rank_genes_groups(adata, "bulk_labels", method="t-test", pts=True)
    result = adata.uns["rank_genes_groups"]
    deg = {}
    for group in adata.obs["bulk_labels"].cat.categories:
        names = pd.Index(result["names"][group])
        deg[f"{group}_vs_rest"] = pd.DataFrame(
            {
                "score": result["scores"][group],
                "nz_pct_test": result["pts"].loc[names, group].to_numpy(),
                "nz_pct_ref": result["pts_rest"].loc[names, group].to_numpy(),
            },
            index=names,
        )
    return deg


def gsa_example() -> dict[str, pd.DataFrame]:
    """An illustrative gene-set result table per cell type."""
    return {
        "T cell": pd.DataFrame(
            {"-log(p-val)": [5.2, 1.1, 3.0, np.nan], "size": [120, 40, 85, 10]},
            index=["TCR signaling", "Glycolysis", "IL-2 signaling", "Unscored set"],
        ),
        "B cell": pd.DataFrame(
            {"-log(p-val)": [2.0, 0.4], "size": [60, 30]},
            index=["BCR signaling", "Heme metabolism"],
        ),
    }


def step_markers(pbmc: anndata.AnnData) -> None:
    heading(5, "Markers from DEG tables (pbmc68k_reduced) and a gene-set filter")
    deg = marker_deg_tables(pbmc)
    print("DEG table of 'CD19+ B' (first rows):")
    print(deg["CD19+ B_vs_rest"].head(5).round(3).to_string())
    markers = pk.get_markers_from_deg(deg, N_mkrs=8, nz_pct_test_min=0.5, nz_pct_ref_max=0.2)
    print("\nMarkers (detected in >= 50% of the group, <= 20% elsewhere; shared markers removed):")
    for group, genes in markers.items():
        print(f"  {group:<30} {', '.join(map(str, genes)) or '-'}")

    print("\nGene-set results kept at -log(p-val) >= 2 (an illustrative table):")
    for key, frame in pk.filter_gsa_result(gsa_example(), 2).items():
        print(f"  {key}: {', '.join(frame.index) or '-'}")


# 6 ---------------------------------------------------------------------------
def tumour_example() -> anndata.AnnData:
    """CNV clusters of a labelled example; cluster 'c1' is the worked example."""
    rows = []
    # c1: 6 cells (A, A, A, B, B, C), 4 aneuploid, 1 reference cell.
    for i, s in enumerate(["A", "A", "A", "B", "B", "C"]):
        rows.append((s, "c1", "Aneuploid" if i < 4 else "Diploid", i == 5))
    # c2: a normal cluster spread evenly over four samples, half reference cells.
    for i, s in enumerate(["A", "B", "C", "D"] * 5):
        rows.append((s, "c2", "Diploid", i % 2 == 0))
    # c3: a tumour clone from a single sample.
    for i in range(12):
        rows.append(("D", "c3", "Aneuploid" if i < 11 else "Diploid", False))
    obs = pd.DataFrame(rows, columns=["sample", "cnv_cluster", "ploidy_dec", "cnv_ref_ind"])
    obs.index = [f"cell{i}" for i in range(len(obs))]
    return anndata.AnnData(obs=obs)


def step_tumour() -> None:
    heading(6, "Sample diversity index and tumour-call scores (labelled example)")
    adata = tumour_example()
    table = pk.compute_sample_div_index(adata)
    print(table.to_string())
    print(
        "\nWorked example, cluster c1 (samples A, A, A, B, B, C): fractions 1/2, 1/3, 1/6, "
        f"index = {float(table.loc['c1', 'sample_diversity_index'])!r} bits, "
        f"Tumor_pct = int(100*4/6) = {table.loc['c1', 'Tumor_pct']}, "
        f"Ref_pct = {table.loc['c1', 'Ref_pct']:g}"
    )
    print("Rounded index written to adata.obs['sample_diversity_index']:",
          dict(adata.obs.groupby("cnv_cluster", observed=True)["sample_diversity_index"].first()))  # fmt: skip

    y = np.array(["Tumor", "Tumor", "Normal", "Normal", "Tumor"])
    y_pred = np.array(["Tumor", "Normal", "Normal", "Tumor", "Tumor"])
    print("\nTumour calls scored against reference labels (five cells):")
    for key, value in pk.evaluate_performance(y, y_pred).items():
        print(f"  {key:<20} {value}")


# 7 ---------------------------------------------------------------------------
@contextlib.contextmanager
def offline_download(archive: str):
    """Stands in for the file-hosting service: every download copies `archive`."""

    def download(url, output, quiet=False):
        print(f"(local stand-in for the download of {url})")
        shutil.copy(archive, output)
        return output

    real_gdown = fetchora.gdown
    fetchora.gdown = types.SimpleNamespace(download=download)
    try:
        yield
    finally:
        fetchora.gdown = real_gdown


def zipped_h5ad(adata: anndata.AnnData, name: str) -> str:
    """Writes adata to `name`.h5ad, zips it to archive.zip and removes the .h5ad."""
    adata.write_h5ad(f"{name}.h5ad")
    with zipfile.ZipFile("archive.zip", "w") as zf:
        zf.write(f"{name}.h5ad")
    os.remove(f"{name}.h5ad")
    return "archive.zip"


def step_fetch(pbmc: anndata.AnnData) -> None:
    heading(7, "Data-set catalogs and a local loader round trip (no network)")
    print("Sample data sets:   ", ", ".join(fetchora.sample_data_fid_dict))
    print("Processed data sets:", ", ".join(fetchora.processed_sample_data_fid_dict))
    print("(Not published yet: point a catalog key at your own file identifier.)\n")

    with tempfile.TemporaryDirectory() as tmp, contextlib.chdir(tmp):
        archive = zipped_h5ad(pbmc[:50, :20].copy(), "pbmc_demo")
        with offline_download(archive):
            adata = fetchora.load_sample_data("my-own-file-identifier")
        print(adata)
        print("Files left in the working directory:", sorted(os.listdir(".")))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="tour_output", help="folder for the figures")
    args = parser.parse_args()
    out = pathlib.Path(args.out).resolve()
    out.mkdir(parents=True, exist_ok=True)
    matplotlib.use("Agg")  # figures go to files only

    pbmc = sc.datasets.pbmc68k_reduced()
    step_structure()
    step_composition(out)
    step_expression(out, pbmc)
    step_cci(out)
    step_markers(pbmc)
    step_tumour()
    step_fetch(pbmc)
    print(f"\nDone. Figures are in {out}")


if __name__ == "__main__":
    main()
