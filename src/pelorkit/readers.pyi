"""Type stubs of pelorkit.readers, the readers of cell-cell interaction results.

They turn what CellPhoneDB and LIANA write into the dict of per-sample CCI
result tables that the CCI functions of `pelorkit.analyka` take
(`cci_get_means`, `cci_get_ni_mat`, `cci_get_df_to_plot`, ...).

They hold the full documentation of every function, for IDEs and pydoc;
at run time each function's ``__doc__`` is its signature line.
"""

import os
from collections.abc import Mapping
from typing import Any

import pandas as pd

def read_cellphonedb(
    source: str | os.PathLike[str] | Mapping[Any, str | os.PathLike[str]] | None = None,
    means: str | os.PathLike[str] | pd.DataFrame | None = None,
    pvalues: str | os.PathLike[str] | pd.DataFrame | None = None,
    relevant_interactions: str | os.PathLike[str] | pd.DataFrame | None = None,
    sample: Any = None,
    sample_sep: str | None = None,
) -> dict[Any, pd.DataFrame]:
    """Read CellPhoneDB results as per-sample CCI result tables.

    CellPhoneDB writes wide tables: one row per interacting pair (its name in
    ``interacting_pair``, then annotation columns), one column per ordered
    pair of cell types ``"A|B"``. Each sample's table becomes one long CCI
    result table with a row per interacting pair and cell pair:

    - index: the interaction id, ``interacting_pair + "--" + "A|B"``, that
      is ``"<gene_A>_<gene_B>--<cell_A>|<cell_B>"``; unique in every table;
    - ``pval`` (float64): the pair's p-value; in a DEG analysis 0 for a
      relevant interaction and 1 for any other;
    - ``mean`` (float64): the pair's mean from the means table;
    - ``cell_A``, ``cell_B``: the two cell types of the column;
    - ``gene_A``, ``gene_B``: the two partners of the interacting pair, such
      that ``gene_A + "_" + gene_B`` is the pair: a gene, or for a protein
      complex its whole name (``partner_a`` reads ``complex:<name>``);
    - then CellPhoneDB's annotation columns as the means table has them, in
      its order (``id_cp_interaction``, ``partner_a``, ``partner_b``,
      ``secreted``, ``receptor_a``, ``receptor_b``, ``annotation_strategy``,
      ``is_integrin``, and in version 5 ``directionality`` and
      ``classification``); ``interacting_pair``, ``gene_a`` and ``gene_b``
      are not repeated, since the id and ``gene_A``/``gene_B`` hold them.

    The rows run cell pair by cell pair in column order and, within one, in
    the row order of the means table (the order of ``pandas.melt``).

    A complex partner has ``"_"`` in its name, so
    `pelorkit.analyka.cpdb_get_gp_n_cp`, which splits an id at its first
    ``"_"``, gives back only the first two fields: for the id
    ``"ACVR_1A2A receptor_BMP7--B cell|NK cell"`` it returns the genes
    ``"ACVR"`` and ``"1A2A receptor"``, where this reader's ``gene_A`` and
    ``gene_B`` are ``"ACVR_1A2A receptor"`` and ``"BMP7"``. The ``genes``
    filter of `pelorkit.analyka.cci_get_means` reads the columns (use the
    complex's name), while `pelorkit.analyka.cci_get_df_to_plot` rebuilds
    ``gene_A`` and ``gene_B`` from the ids, as the split gives them.

    CellPhoneDB can list two interactions under one interacting pair (for
    instance ``CALCA_CALCR``, from two proteins of the gene CALCA). Their
    rows would share every id, so each such row keeps ids of its own: they
    end in ``"--"`` and the row's ``id_cp_interaction``
    (``"CALCA_CALCR--B cell|B cell--CPI-SS015B2F961"``), or its number 1, 2,
    ... among the rows of the pair where the table has no distinct
    ``id_cp_interaction``. `pelorkit.analyka.cpdb_get_gp_n_cp` ignores
    everything after a second ``"--"``, so such ids still split into the
    pair's genes and cells. A UserWarning names the pairs.

    Parameters
    ----------
    source : str, os.PathLike, mapping or None, default None
        A CellPhoneDB output folder, or a mapping ``{sample: folder}`` for a
        cohort, one table per sample in the mapping's order. In a folder,
        CellPhoneDB 5 names a run's files by analysis and suffix
        (``statistical_analysis_means_<suffix>.txt`` with
        ``statistical_analysis_pvalues_<suffix>.txt``, or
        ``degs_analysis_means_<suffix>.txt`` with
        ``degs_analysis_relevant_interactions_<suffix>.txt``), the suffix
        being the time of the run (``month_day_year_hhmmss``) unless chosen;
        older versions write ``means.txt`` with ``pvalues.txt`` or
        ``relevant_interactions.txt`` (``.csv`` files are read with commas).
        When a folder holds several runs, the newest is read: the latest
        time stamp when every run's suffix is one, otherwise the run whose
        files were written last; a UserWarning names the run read. None:
        read the tables given as ``means`` with ``pvalues`` or
        ``relevant_interactions``.
    means : str, os.PathLike, pandas.DataFrame or None, default None
        The means table of one run: its path, or the frame as
        ``pandas.read_csv(path, sep="\\t")`` reads it (no index column).
    pvalues : str, os.PathLike, pandas.DataFrame or None, default None
        The pvalues table of the same statistical analysis run. Its rows are
        matched to the means table's by ``id_cp_interaction`` (where both
        have it, else by ``interacting_pair``) and its columns by label, so
        the order may differ, but both must list the same interactions and
        cell pairs, and every p-value must lie in [0, 1].
    relevant_interactions : str, os.PathLike, pandas.DataFrame or None, default None
        The relevant_interactions table of a DEG analysis run, instead of
        ``pvalues``: 1 marks a relevant interaction, 0 any other. CellPhoneDB
        leaves out the rows and columns without a relevant interaction; those
        cells get p-value 1.
    sample : hashable or None, default None
        The key of the one table of a folder or of ``means``. None: the name
        of the folder read (of the folder holding ``means``), or
        ``"sample"`` when ``means`` is a frame. Not with a mapping or with
        ``sample_sep``.
    sample_sep : str or None, default None
        For one run over cell-type labels ``<sample><sep><cell type>`` (the
        cells of all samples annotated together): each label is split at the
        first ``sample_sep``, so sample names must not contain it (cell types
        may; with samples such as ``ctrl_1`` choose another separator, for
        example ``"::"``), only the cell pairs within one sample are kept,
        and each sample gets its table (keys: the sample names, in the order
        in which the columns first name them; cell types without the prefix).
        Every label must contain it. Not with a mapping.

    Returns
    -------
    dict
        Sample → CCI result table, as described above.

    Raises
    ------
    FileNotFoundError
        A folder or file that does not exist, or a folder holding no complete
        CellPhoneDB run (the message lists the half runs it found).
    NotADirectoryError, IsADirectoryError
        A file given as ``source``, or a folder given as a table.
    TypeError
        No source and no tables, ``means`` without ``pvalues`` or
        ``relevant_interactions``, or an argument of the wrong type (a frame
        as ``source``, a number as a table, a ``sample_sep`` that is no str).
    ValueError
        Conflicting arguments; a table that is no CellPhoneDB means table (no
        ``interacting_pair`` column, no ``"A|B"`` column, a ``rank`` column of
        the significant_means table, repeated column labels); means and
        pvalues (or relevant_interactions) that list different interactions
        or cell pairs; p-values outside [0, 1] or relevance other than 0 and
        1 (the tables swapped); a ``sample_sep`` that does not split every
        label, or leaves no pair within one sample; names that cannot make
        an id that splits back (a label with two ``"|"``, a ``"--"``, a pair
        without ``"_"``).

    Warns
    -----
    UserWarning
        When an interacting pair is listed more than once (naming the pairs),
        and when a folder holds several runs (naming the one read).

    See Also
    --------
    read_liana : The same tables from LIANA's results.
    pelorkit.analyka.cci_get_means : The samples × interactions table of means.

    Examples
    --------
    A statistical analysis run of two interacting pairs, one with a complex
    partner, over the cell types B and T:

    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> import pelorkit.readers as readers
    >>> annotation = pd.DataFrame({
    ...     "id_cp_interaction": ["CPI-1", "CPI-2"],
    ...     "interacting_pair": ["CD74_MIF", "ITGA4_ITGB1_VCAM1"],
    ...     "partner_a": ["simple:P04233", "complex:ITGA4_ITGB1"],
    ...     "partner_b": ["simple:P14174", "simple:P19320"],
    ...     "gene_a": ["CD74", None], "gene_b": ["MIF", "VCAM1"],
    ... })
    >>> means = annotation.assign(**{"B|B": [1.5, 0.0], "B|T": [2.0, 0.8]})
    >>> pvalues = annotation.assign(**{"B|B": [0.01, 1.0], "B|T": [0.2, 0.04]})
    >>> tables = readers.read_cellphonedb(means=means, pvalues=pvalues, sample="S1")
    >>> tables["S1"][["pval", "mean", "cell_A", "cell_B", "gene_A", "gene_B"]]
                            pval  mean cell_A cell_B       gene_A gene_B
    CD74_MIF--B|B           0.01   1.5      B      B         CD74    MIF
    ITGA4_ITGB1_VCAM1--B|B  1.00   0.0      B      B  ITGA4_ITGB1  VCAM1
    CD74_MIF--B|T           0.20   2.0      B      T         CD74    MIF
    ITGA4_ITGB1_VCAM1--B|T  0.04   0.8      B      T  ITGA4_ITGB1  VCAM1
    >>> pk.cpdb_get_gp_n_cp("ITGA4_ITGB1_VCAM1--B|T")  # the split cuts the complex
    ('ITGA4_ITGB1_VCAM1', 'B|T', 'ITGA4', 'ITGB1', 'B', 'T')

    The same run written by CellPhoneDB 5 into a folder, read from there:

    >>> import pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp()) / "S1"
    >>> folder.mkdir()
    >>> means.to_csv(folder / "statistical_analysis_means_06_01_2024_101500.txt",
    ...              sep="\\t", index=False)
    >>> pvalues.to_csv(folder / "statistical_analysis_pvalues_06_01_2024_101500.txt",
    ...                sep="\\t", index=False)
    >>> readers.read_cellphonedb(folder)["S1"].equals(tables["S1"])
    True

    One run over labels ``<sample>_<cell type>`` gives one table per sample:

    >>> cohort = readers.read_cellphonedb(
    ...     means=annotation.assign(**{"S1_B|S1_T": [2.0, 0.8], "S1_B|S2_T": [1.0, 1.0],
    ...                                "S2_B|S2_T": [0.5, 3.1]}),
    ...     pvalues=annotation.assign(**{"S1_B|S1_T": [0.2, 0.04], "S1_B|S2_T": [0.0, 0.0],
    ...                                  "S2_B|S2_T": [0.5, 0.001]}),
    ...     sample_sep="_")
    >>> list(cohort), list(cohort["S2"].index)
    (['S1', 'S2'], ['CD74_MIF--B|T', 'ITGA4_ITGB1_VCAM1--B|T'])
    >>> pk.cci_get_means(cohort)
        ITGA4_ITGB1_VCAM1--B|T
    S1                     0.8
    S2                     3.1
    """

def read_liana(
    df: pd.DataFrame,
    sample_key: Any,
    score_key: Any = "lr_means",
    pvalue_key: Any = "cellphone_pvals",
    source_key: Any = "source",
    target_key: Any = "target",
    ligand_key: Any = "ligand_complex",
    receptor_key: Any = "receptor_complex",
) -> dict[Any, pd.DataFrame]:
    """Read LIANA's by-sample results as per-sample CCI result tables.

    LIANA's ``by_sample`` runs (for example
    ``li.mt.cellphonedb.by_sample(adata, sample_key=...)``) return one long
    frame: a row per sample, source and target cell type, and ligand and
    receptor complex, with the method's scores. Each sample's rows become one
    CCI result table, in row order:

    - index: ``ligand + "_" + receptor + "--" + source + "|" + target``,
      unique in every table;
    - ``pval`` and ``mean`` (float64): the p-value and score columns;
    - ``cell_A``, ``cell_B``: source and target; ``gene_A``, ``gene_B``:
      ligand and receptor complex, whole (LIANA joins the members of a
      complex with ``"_"``, such as ``"ITGA4_ITGB1"``, which
      `pelorkit.analyka.cpdb_get_gp_n_cp` cuts at the first ``"_"``, as for
      CellPhoneDB's complexes);
    - then every other column of ``df``, in its order (a column named like
      one of the six above is left out).

    Values that are no text (cell types numbered 0, 1, ...) enter the id and
    the columns as ``str`` shows them. Two rows of a sample can make the same
    id: the complexes ``"A_B"`` with ``"C"`` and ``"A"`` with ``"B_C"`` both
    give ``"A_B_C"``, and a row may be listed twice. Each such row keeps an
    id of its own, ending in ``"--1"``, ``"--2"``, ... in row order (an
    ending that `pelorkit.analyka.cpdb_get_gp_n_cp` ignores), and a
    UserWarning names the ids.

    Parameters
    ----------
    df : pandas.DataFrame
        LIANA's by-sample results.
    sample_key : hashable
        The column of the sample, as passed to LIANA's ``by_sample``. The
        tables follow the order in which the samples first appear (LIANA
        writes them in the order of its categories); a category without rows
        gets no table.
    score_key : hashable, default 'lr_means'
        The column of the score that becomes ``mean``: the default is that of
        LIANA's CellPhoneDB method; for another method pass its magnitude
        column in which a larger value means a stronger interaction
        (``lr_probs`` of CellChat, ``lrscore`` of SingleCellSignalR). LIANA's
        aggregate ranks (``magnitude_rank``) run the other way: the
        ``mean_cutoff`` of `pelorkit.analyka.cci_get_df_to_plot` would keep
        the weakest interactions.
    pvalue_key : hashable, default 'cellphone_pvals'
        The column of the p-value that becomes ``pval`` (for another method
        its p-value column, such as ``cellchat_pvals``, or the rank
        aggregate's ``specificity_rank``).
    source_key : hashable, default 'source'
        The column of the sending cell type.
    target_key : hashable, default 'target'
        The column of the receiving cell type.
    ligand_key : hashable, default 'ligand_complex'
        The column of the ligand (complex).
    receptor_key : hashable, default 'receptor_complex'
        The column of the receptor (complex).

    Returns
    -------
    dict
        Sample → CCI result table; the keys are the values of the sample
        column.

    Raises
    ------
    TypeError
        When ``df`` is no DataFrame.
    ValueError
        A named column that ``df`` lacks (the message lists its columns),
        repeated column labels, a row without sample, cell type or complex,
        a score or p-value column that holds no numbers, or names that cannot
        make an id that splits back (a cell type with ``"|"`` or ``"--"``, a
        complex with ``"--"``).

    Warns
    -----
    UserWarning
        When two rows of a sample make the same id (naming the ids).

    See Also
    --------
    read_cellphonedb : The same tables from CellPhoneDB's own output.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.readers as readers
    >>> liana_res = pd.DataFrame({
    ...     "sample": ["ctrl", "ctrl", "inf"],
    ...     "source": ["B", "T", "B"], "target": ["T", "T", "T"],
    ...     "ligand_complex": ["CD74", "VCAM1", "CD74"],
    ...     "receptor_complex": ["MIF", "ITGA4_ITGB1", "MIF"],
    ...     "lr_means": [1.2, 0.4, 2.5], "cellphone_pvals": [0.01, 0.3, 0.0],
    ... })
    >>> tables = readers.read_liana(liana_res, sample_key="sample")
    >>> tables["ctrl"]
                            pval  mean cell_A cell_B gene_A       gene_B
    CD74_MIF--B|T           0.01   1.2      B      T   CD74          MIF
    VCAM1_ITGA4_ITGB1--T|T  0.30   0.4      T      T  VCAM1  ITGA4_ITGB1
    >>> list(tables)
    ['ctrl', 'inf']
    """
