"""Type stubs of pelorkit.analyka, the analysis functions.

Sample composition, expression fractions, group tests, cell-cell interaction
tables, markers, tumour-call scores, structure display and plot-label helpers.

They hold the full documentation of every function, for IDEs and pydoc;
at run time each function's ``__doc__`` is its signature line.
"""

from typing import Any

import pandas as pd

SCANVPY: bool
STATANNOT: bool
SEABORN: bool

def get_sample_to_group_dict(samples: Any, conditions: Any) -> dict[Any, Any]:
    """Map each sample to its condition (group).

    Typical input is two columns of an ``AnnData``'s ``obs`` table, one record
    per cell: the sample column and the condition column. The result is the
    ``sample_group_map`` that `test_group_diff` and `cci_get_diff_interactions`
    take.

    Parameters
    ----------
    samples : array-like
        Sample name of each record: a list, tuple, numpy array or pandas
        Series (its index is ignored), or a lazily held column: an xarray
        ``DataArray`` (a column of the ``obs`` of
        ``anndata.experimental.read_lazy``) or a Dask array, read as it
        would be in memory.
    conditions : array-like
        Condition of each record, aligned with ``samples`` (same length).

    Returns
    -------
    dict
        One key per distinct sample, in ascending sort order (``"S10"`` sorts
        before ``"S2"``), mapped to the condition of the sample's first
        record in input order. Keys and values are the elements of numpy
        arrays built from the inputs: numpy scalars such as ``numpy.str_``
        for lists of strings, which compare and hash equal to plain Python
        values, so ``d["S1"]`` works. A sample whose records disagree gets the first
        record's condition, silently.

    Raises
    ------
    IndexError
        When ``conditions`` and ``samples`` differ in length.
    TypeError
        When the sample names cannot be ordered against each other.

    See Also
    --------
    get_sample_to_group_map : The same function under a second name.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> samples = ["S2", "S1", "S2", "S10"]
    >>> conditions = ["B", "A", "C", "A"]
    >>> m = pk.get_sample_to_group_dict(samples, conditions)
    >>> {str(k): str(v) for k, v in m.items()}
    {'S1': 'A', 'S10': 'A', 'S2': 'B'}
    """

def get_sample_to_group_map(samples: Any, conditions: Any) -> dict[Any, Any]:
    """Map each sample to its condition; a second name of `get_sample_to_group_dict`.

    Calls the module attribute ``get_sample_to_group_dict`` with the same
    arguments and returns its result.

    Parameters
    ----------
    samples : array-like
        Sample name of each record (list, numpy array, pandas Series,
        xarray ``DataArray`` or Dask array).
    conditions : array-like
        Condition of each record, aligned with ``samples``.

    Returns
    -------
    dict
        Distinct samples in ascending order, each mapped to the condition of
        its first record.

    Raises
    ------
    IndexError
        When ``conditions`` and ``samples`` differ in length.
    TypeError
        When the sample names cannot be ordered against each other.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> samples = ["ctrl_1", "ctrl_2", "inf_1"]
    >>> m = pk.get_sample_to_group_map(samples, ["ctrl", "ctrl", "inf"])
    >>> print(m["inf_1"], type(m["inf_1"]).__name__)
    inf str_
    """

def get_population(
    pids: Any, cts: Any, sort_by: list[Any] = ...
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Count the cells of each cell type per sample, as counts and percentages.

    Parameters
    ----------
    pids : array-like
        Sample identifier of each cell (list, numpy array, pandas Series,
        categorical included), for example ``adata.obs["sample"]``; also a
        lazily held column, the xarray ``DataArray`` of the ``obs`` of
        ``anndata.experimental.read_lazy`` or a Dask array, which is read
        into memory (one label per cell) as ``to_memory()`` would read it.
    cts : array-like
        Cell type of each cell, aligned with ``pids``.
    sort_by : list, default []
        Cell types (columns) by which to sort the rows of the percentage
        table, ascending, the first listed deciding first. Empty: keep the
        sorted sample order. The default list is shared between calls and
        never modified.

    Returns
    -------
    df_celltype_cnt : pandas.DataFrame
        Samples × cell types. Index: the distinct values of ``pids`` in
        ascending order; columns: the distinct values of ``cts`` in ascending
        order; values: cell counts (integers, 0 where a sample has no cell of
        that type).
    df_celltype_pct : pandas.DataFrame
        The same shape, float64: each row divided by the sample's cell count,
        times 100, so every row sums to 100. Rows sorted by ``sort_by`` when
        given. This is the sample × item table that `test_group_diff` takes.

    Raises
    ------
    IndexError
        When ``pids`` and ``cts`` differ in length.
    KeyError
        When a name in ``sort_by`` is not a cell type of the data.
    TypeError
        When the labels cannot be ordered against each other.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> pids = ["S1", "S1", "S1", "S2"]
    >>> cts = ["T", "T", "B", "B"]
    >>> counts, pct = pk.get_population(pids, cts)
    >>> counts
        B  T
    S1  1  2
    S2  1  0
    >>> pct.round(2)
            B      T
    S1   33.33  66.67
    S2  100.00   0.00
    >>> list(pk.get_population(pids, cts, sort_by=["T"])[1].index)
    ['S2', 'S1']
    """

def get_gene_expression(
    adata: Any, items_to_plot: list[Any] | None = ..., group_col: str = "sample"
) -> pd.DataFrame:
    """Fraction of each group's cells in which each gene's value is above zero.

    Only values ``> 0`` count. On raw counts that is the share of cells that
    express the gene. On scaled data (z-scores, as in
    ``sc.datasets.pbmc68k_reduced().X``) it is the share of cells above the
    gene's mean: pass the counts instead, for example
    ``adata.raw.to_adata()`` or an ``AnnData`` built from a counts layer.

    Parameters
    ----------
    adata : anndata.AnnData
        Cells × genes; ``X`` dense or sparse (CSR/CSC), in memory, in a file
        opened with ``anndata.read_h5ad(path, backed="r")``, an anndata
        sparse dataset, h5py dataset or zarr array (of a zarr v2 or v3
        store, sharded or not), or the Dask array of
        ``anndata.experimental.read_lazy`` (of an ``.h5ad`` file or a zarr
        store): all of these are streamed from the store in blocks, never
        loaded whole. Other Dask arrays of numpy or scipy sparse chunks are
        counted chunk by chunk on the active scheduler, a
        ``dask.distributed`` cluster included. ``obs`` must hold
        ``group_col``; a lazy ``obs`` (``read_lazy``) reads only that
        column.
    items_to_plot : list of str or None, default []
        Genes (names of ``adata.var_names``) to report, in the order wanted.
        ``None`` or an empty list: all genes in ``var`` order. The default
        list is shared between calls and never modified.
    group_col : str, default "sample"
        Column of ``adata.obs`` that groups the cells (sample, condition,
        cell type...).

    Returns
    -------
    pandas.DataFrame
        Groups × genes, float64 between 0.0 and 1.0. Index: the distinct
        values of ``adata.obs[group_col]`` in ascending order; columns:
        ``adata.var_names`` or ``items_to_plot`` in the given order. Grouped
        by sample it is the sample × item table that `test_group_diff`
        takes.

    Raises
    ------
    KeyError
        When ``group_col`` is not a column of ``adata.obs``, or a name in
        ``items_to_plot`` is not a gene of ``adata``. The key is the missing
        name; a note lists the columns of ``adata.obs`` (or the missing
        genes).
    ValueError
        When a stored ``X`` is malformed ("X in the file is malformed: ...":
        an index pointer that does not start at 0 or does not delimit the
        values, indices that are not integers, a shape attribute that
        disagrees with ``obs``/``var``).
    TypeError
        When a stored ``X`` holds values that are not numbers.

    Examples
    --------
    >>> import anndata, numpy as np, pandas as pd
    >>> import pelorkit.analyka as pk
    >>> adata = anndata.AnnData(
    ...     X=np.array([[0, 1.0], [2, 0], [3, 3], [0, -1]]),
    ...     obs=pd.DataFrame({"sample": ["a", "a", "b", "b"]},
    ...                      index=["c1", "c2", "c3", "c4"]),
    ...     var=pd.DataFrame(index=["G1", "G2"]),
    ... )
    >>> pk.get_gene_expression(adata)
        G1   G2
    a  0.5  0.5
    b  0.5  0.5
    >>> pk.get_gene_expression(adata, items_to_plot=["G2"])
        G2
    a  0.5
    b  0.5
    """

def cci_get_means(
    cci_df_dct: dict[Any, pd.DataFrame],
    cci_idx_lst: list[Any] | None = None,
    cells: Any = ...,
    genes: Any = ...,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame:
    """Samples × interactions table of the interactions' mean values.

    An interaction enters the table when it passes the filters (p-value, and
    the cell and gene restrictions) in at least one sample; its ``mean`` is
    then reported for every sample that lists it, significant there or not.

    Parameters
    ----------
    cci_df_dct : dict of str to pandas.DataFrame
        Sample name → CCI result table: index = interaction id
        ``"<gene_A>_<gene_B>--<cell_A>|<cell_B>"``, columns ``pval``,
        ``mean``, ``cell_A``, ``cell_B``, ``gene_A``, ``gene_B``. The dict's
        order is the row order of the result.
    cci_idx_lst : list of str or None, default None
        Interaction ids to use as the columns, unchanged; this bypasses every
        filter. ``None``: select them as described above.
    cells : sequence of str, default []
        Keep interactions where ``cell_A`` or ``cell_B`` is one of these.
        Empty: no restriction. The default list is shared, never modified.
    genes : sequence of str, default []
        Keep interactions where ``gene_A`` or ``gene_B`` is one of these.
        Empty: no restriction.
    pval_cutoff : float, default 0.05
        A row is significant when its ``pval`` is at most this value.

    Returns
    -------
    pandas.DataFrame
        Index: the sample names in dict order; columns: the selected
        interaction ids (one sample: its significant ids in table order;
        several samples: the union in order of first appearance); values:
        float64 ``mean`` of the interaction in the sample, NaN where the
        sample's table has no such id. This is the sample × item table that
        `cci_get_diff_interactions` tests.

    Raises
    ------
    KeyError
        When a table lacks ``pval`` or ``mean``, or ``cell_A``/``cell_B``
        (with ``cells``), or ``gene_A``/``gene_B`` (with ``genes``).
    ValueError
        When a table lists a selected interaction id on more than one row:
        the message names the ids and their samples. Ids must be unique in
        each table; `pelorkit.readers.read_cellphonedb` reads CellPhoneDB
        results that way.
    UnboundLocalError
        When ``cci_df_dct`` is empty and ``cci_idx_lst`` is None.
    AttributeError
        When ``cci_df_dct`` is None.

    See Also
    --------
    get_cci_means : The same function under a second name.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> columns = ["pval", "mean", "cell_A", "cell_B", "gene_A", "gene_B"]
    >>> def cci(*rows):
    ...     df = pd.DataFrame(rows, columns=columns)
    ...     genes = df.gene_A + "_" + df.gene_B
    ...     df.index = genes + "--" + df.cell_A + "|" + df.cell_B
    ...     return df
    >>> tables = {
    ...     "S1": cci((0.001, 1.2, "B", "T", "CD74", "MIF"),
    ...               (0.2, 0.4, "T", "B", "CCL5", "CCR5")),
    ...     "S2": cci((0.03, 0.9, "B", "T", "CD74", "MIF"),
    ...               (0.0, 2.0, "T", "B", "CXCL13", "CXCR5")),
    ... }
    >>> pk.cci_get_means(tables)
        CD74_MIF--B|T  CXCL13_CXCR5--T|B
    S1            1.2                NaN
    S2            0.9                2.0
    """

def get_cci_means(
    cci_df_dct: dict[Any, pd.DataFrame],
    cci_idx_lst: list[Any] | None = None,
    cells: Any = ...,
    genes: Any = ...,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame:
    """Samples × interactions table of mean values; a second name of `cci_get_means`.

    Calls the module attribute ``cci_get_means`` with the five arguments and
    returns its result. Its default lists are its own (distinct objects from
    those of `cci_get_means`), shared between its calls and never modified.

    Parameters
    ----------
    cci_df_dct : dict of str to pandas.DataFrame
        Sample name → CCI result table (see `cci_get_means`).
    cci_idx_lst : list of str or None, default None
        Interaction ids to use as columns, unfiltered; ``None`` selects them.
    cells : sequence of str, default []
        Cell types of which at least one partner must be; empty: any.
    genes : sequence of str, default []
        Genes of which at least one partner must be; empty: any.
    pval_cutoff : float, default 0.05
        Significance threshold on ``pval`` (inclusive).

    Returns
    -------
    pandas.DataFrame
        Samples × interaction ids, float64 means, NaN where a sample lacks
        the interaction.

    Raises
    ------
    KeyError
        When a table lacks a column the filters read.
    ValueError
        When a table lists a selected interaction id on more than one row:
        the message names the ids and their samples. Ids must be unique in
        each table; `pelorkit.readers.read_cellphonedb` reads CellPhoneDB
        results that way.
    UnboundLocalError
        When ``cci_df_dct`` is empty and ``cci_idx_lst`` is None.
    AttributeError
        When ``cci_df_dct`` is None.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> t = pd.DataFrame(
    ...     {"pval": [0.01], "mean": [0.7], "cell_A": ["B"],
    ...      "cell_B": ["T"], "gene_A": ["CD74"], "gene_B": ["MIF"]},
    ...     index=["CD74_MIF--B|T"],
    ... )
    >>> ids = ["CD74_MIF--B|T", "A_B--X|Y"]
    >>> pk.get_cci_means({"S1": t}, cci_idx_lst=ids)
        CD74_MIF--B|T  A_B--X|Y
    S1            0.7       NaN
    """

def cci_get_diff_interactions(
    df_cci_sample: pd.DataFrame,
    sample_group_map: Any,
    ref_group: Any = None,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame:
    """Welch's t-test of every item between groups of samples.

    For every column (an interaction of the CCI mean table, or any other
    per-sample measurement) it runs ``scipy.stats.ttest_ind(..., axis=0,
    equal_var=False, nan_policy='omit', permutations=None, random_state=None,
    alternative='two-sided', trim=0)`` between every pair of groups, or
    between every group and a reference group, and keeps the items that are
    significant in at least one comparison.

    Parameters
    ----------
    df_cci_sample : pandas.DataFrame
        Samples × items, numeric; NaN values are left out of the test
        (as the CCI mean table of `cci_get_means` has them).
    sample_group_map : mapping
        Sample name → group, for every sample of the index: a dict (see
        `get_sample_to_group_dict`) or a pandas Series indexed by sample.
    ref_group : object, default None
        ``None``: test every pair of groups. Otherwise the reference group:
        test every other group against it. A group no sample has gives an
        empty result, silently.
    pval_cutoff : float, default 0.05
        A p-value counts as significant when it is at most this value.

    Returns
    -------
    pandas.DataFrame
        Index: the items with at least one p-value ``<= pval_cutoff``;
        columns: one per comparison, named ``"<group>_vs_<other>"`` (all
        pairs: ``B_vs_A``, ``C_vs_A``, ``C_vs_B`` for sorted groups A, B, C,
        the later group first; reference mode: ``"<group>_vs_<ref_group>"``
        in sorted group order); values: two-sided p-values (float64), 1 where
        the test gave NaN (fewer than two usable values in a group). Rows are
        ordered by the number of significant comparisons, most first, then
        by the product of the p-values, smallest first. With one group only
        the result has no rows and no columns.

    Raises
    ------
    KeyError
        When a sample of the index is missing from ``sample_group_map``.
        The key is the first such sample; a note names them all (or, for a
        table whose columns are the samples, says to pass it transposed).
    TypeError
        When the group labels cannot be ordered against each other.

    See Also
    --------
    test_group_diff : The same test, named for any sample × item table.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> table = pd.DataFrame(
    ...     {"CD74_MIF--B|T": [1.0, 1.1, 0.9, 3.0, 3.1, 2.9],
    ...      "A_B--X|Y": [1, 2, 3, 1, 2, 3]},
    ...     index=["c1", "c2", "c3", "i1", "i2", "i3"],
    ... )
    >>> groups = {s: "ctrl" if s[0] == "c" else "inf" for s in table.index}
    >>> pk.cci_get_diff_interactions(table, groups)
                   inf_vs_ctrl
    CD74_MIF--B|T     0.000016
    """

def test_group_diff(
    df_sample_by_items: pd.DataFrame,
    sample_group_map: Any,
    ref_group: Any = None,
    pval_cutoff: float = 0.05,
) -> pd.DataFrame:
    """Welch's t-test of every item of a sample × item table between groups.

    The general entry point for comparing conditions: on the percentage
    table of `get_population`, the expression table of
    `get_gene_expression` or the CCI mean table of `cci_get_means`. It calls
    the module attribute ``cci_get_diff_interactions`` with the same four
    arguments and returns its result.

    Parameters
    ----------
    df_sample_by_items : pandas.DataFrame
        Index = sample names, columns = items (cell types, genes,
        interactions), numeric values; NaN values are left out of the test.
    sample_group_map : mapping
        Sample name → group for every sample of the index (the dict of
        `get_sample_to_group_map`, another dict, or a pandas Series).
    ref_group : object, default None
        ``None``: every pair of groups; otherwise test every other group
        against this one.
    pval_cutoff : float, default 0.05
        Significance threshold (inclusive).

    Returns
    -------
    pandas.DataFrame
        The items significant in at least one comparison (index), one
        p-value column per comparison named ``"<group>_vs_<other>"``, NaN
        p-values replaced by 1, most consistently significant items first.
        See `cci_get_diff_interactions` for the details.

    Raises
    ------
    KeyError
        When a sample of the index is missing from ``sample_group_map``.
        The key is the first such sample; a note names them all (or, for a
        table whose columns are the samples, says to pass it transposed).
    TypeError
        When the group labels cannot be ordered against each other.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> pct = pd.DataFrame(
    ...     {"Stem": [50.0, 52.0, 20.0, 22.0],
    ...      "Tuft": [50.0, 48.0, 80.0, 77.0]},
    ...     index=["ctl_1", "ctl_2", "inf_1", "inf_2"],
    ... )
    >>> conditions = ["ctl", "ctl", "inf", "inf"]
    >>> groups = pk.get_sample_to_group_map(pct.index, conditions)
    >>> pk.test_group_diff(pct, groups, ref_group="ctl").round(4)
          inf_vs_ctl
    Stem      0.0022
    Tuft      0.0065
    """

def cci_remove_common(df_dct: dict[Any, pd.DataFrame]) -> dict[Any, pd.DataFrame]:
    """Drop from each sample's CCI table the interactions that every sample lists.

    Parameters
    ----------
    df_dct : dict of str to pandas.DataFrame
        Sample name → CCI result table; only the index (interaction ids) is
        read.

    Returns
    -------
    dict of str to pandas.DataFrame
        The same keys in the same order; each value a new frame with all
        columns and the rows whose id is missing from at least one other
        sample (an id on several rows keeps them all). A single sample
        gives an empty table (every id is common); an empty dict gives an
        empty dict. The input tables are not modified.

    Raises
    ------
    AttributeError
        When ``df_dct`` is None.

    See Also
    --------
    cci_get_ni_mat : Calls this function first when ``remove_common`` is true.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> s1 = pd.DataFrame({"mean": [1.0, 2.0, 3.0]},
    ...                   index=["a_b--X|Y", "c_d--X|Y", "e_f--X|Y"])
    >>> s2 = pd.DataFrame({"mean": [4.0, 5.0]},
    ...                   index=["c_d--X|Y", "g_h--Y|X"])
    >>> out = pk.cci_remove_common({"S1": s1, "S2": s2})
    >>> sorted(out["S1"].index), list(out["S2"].index)
    (['a_b--X|Y', 'e_f--X|Y'], ['g_h--Y|X'])
    """

def cci_get_ni_mat(
    df_dct: dict[Any, pd.DataFrame], remove_common: Any = True
) -> dict[Any, pd.DataFrame]:
    """Count the interactions between every ordered pair of cell types, per sample.

    Parameters
    ----------
    df_dct : dict of str to pandas.DataFrame
        Sample name → CCI result table; the columns ``cell_A`` and
        ``cell_B`` are read. Every row counts once.
    remove_common : bool, default True
        When true, first drop the interactions that every sample lists
        (`cci_remove_common`, looked up as a module attribute). With a
        single sample that leaves nothing: pass ``False`` to count all rows.

    Returns
    -------
    dict of str to pandas.DataFrame
        Sample name (dict order) → square matrix. Index and columns: the
        same sorted list of every ``cell_A`` and ``cell_B`` value of all
        tables, so matrices of one call can be subtracted; entry
        ``[a, b]``: the number of rows with ``cell_A == a`` and
        ``cell_B == b`` (integers). Directed: rows are the first partner,
        columns the second; not symmetrised.

    Warns
    -----
    UserWarning
        When a table lists an interaction id on more than one row: every row
        counts, so that interaction counts more than once (ids common to all
        tables and removed first excepted). Read CellPhoneDB results with
        `pelorkit.readers.read_cellphonedb`, whose ids are unique.

    Raises
    ------
    KeyError
        When a table lacks ``cell_A`` or ``cell_B``.
    TypeError
        When the cell-type values cannot be ordered (strings mixed with NaN).
    AttributeError
        When ``df_dct`` is None.

    See Also
    --------
    get_cci_ni_mat : The same function under a second name.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> t = pd.DataFrame(
    ...     {"cell_A": ["T", "T", "B"], "cell_B": ["B", "B", "T"]},
    ...     index=["a_b--T|B", "c_d--T|B", "e_f--B|T"],
    ... )
    >>> pk.cci_get_ni_mat({"S1": t}, remove_common=False)["S1"]
       B  T
    B  0  1
    T  2  0
    """

def get_cci_ni_mat(
    df_dct: dict[Any, pd.DataFrame], remove_common: Any = True
) -> dict[Any, pd.DataFrame]:
    """Directed interaction counts per sample; a second name of `cci_get_ni_mat`.

    Calls the module attribute ``cci_get_ni_mat`` with ``df_dct`` and
    ``remove_common`` and returns its result.

    Parameters
    ----------
    df_dct : dict of str to pandas.DataFrame
        Sample name → CCI result table (``cell_A`` and ``cell_B`` are read).
    remove_common : bool, default True
        Drop the interactions every sample lists before counting.

    Returns
    -------
    dict of str to pandas.DataFrame
        Sample name → cell type × cell type matrix of interaction counts,
        on one shared sorted axis.

    Warns
    -----
    UserWarning
        As `cci_get_ni_mat`: when a table lists an interaction id twice.

    Raises
    ------
    KeyError
        When a table lacks ``cell_A`` or ``cell_B``.
    AttributeError
        When ``df_dct`` is None.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> s1 = pd.DataFrame({"cell_A": ["T", "B"], "cell_B": ["B", "T"]},
    ...                   index=["a_b--T|B", "c_d--B|T"])
    >>> s2 = s1.iloc[[0]]
    >>> pk.get_cci_ni_mat({"S1": s1, "S2": s2})["S1"]
       B  T
    B  0  1
    T  0  0
    """

def cpdb_get_gp_n_cp(idx: str) -> tuple[str, str, str, str, str, str]:
    """Split an interaction id into its gene pair, cell pair and four partners.

    An id reads ``"<gene_A>_<gene_B>--<cell_A>|<cell_B>"``. Only the first
    two fields of each split are used: a gene name that itself contains
    ``"_"`` is cut there, and anything after a second ``"--"`` or ``"|"`` is
    dropped. Nothing is stripped.

    Parameters
    ----------
    idx : str
        The interaction id.

    Returns
    -------
    tuple of str
        ``(gene_pair, cell_pair, gene_A, gene_B, cell_A, cell_B)``.

    Raises
    ------
    IndexError
        When the id has no ``"--"``, its gene part no ``"_"`` or its cell
        part no ``"|"``.
    AttributeError
        When ``idx`` is not a string.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> pk.cpdb_get_gp_n_cp("CD74_MIF--B cell|T cell")
    ('CD74_MIF', 'B cell|T cell', 'CD74', 'MIF', 'B cell', 'T cell')
    """

def cci_get_df_to_plot(
    df_dct: dict[Any, pd.DataFrame],
    pval_cutoff: float = 0.01,
    mean_cutoff: float = 1,
    target_cells: list[Any] | None = None,
) -> dict[Any, pd.DataFrame]:
    """Per-sample CCI tables aligned on the strong, significant interactions.

    Selects the interactions with ``pval <= pval_cutoff`` and
    ``mean >= mean_cutoff`` in at least one sample and rebuilds every
    sample's table over exactly that set, so that plots of several samples
    show the same rows. It shows the size of the set with the notebook's
    ``display`` (the module attribute ``display``; outside a notebook it is
    printed): ``Union of Interactions: <n>``.

    Parameters
    ----------
    df_dct : dict of str to pandas.DataFrame
        Sample name → CCI result table (``pval``, ``mean``; ``cell_A`` and
        ``cell_B`` with ``target_cells``). Further columns are carried over.
    pval_cutoff : float, default 0.01
        Keep rows with ``pval`` at most this value.
    mean_cutoff : float, default 1
        Keep rows with ``mean`` at least this value.
    target_cells : list of str or None, default None
        A ``list`` keeps the rows where ``cell_A`` or ``cell_B`` is in it.
        Any other value, a tuple or set included, applies no cell filter.

    Returns
    -------
    dict of str to pandas.DataFrame
        Sample name (dict order) → plot table. Index: the selected ids, in
        the same order for every sample (first appearance); columns: the
        input table's columns in their order, then ``gene_pair`` and
        ``cell_pair`` (``gene_A``, ``gene_B``, ``cell_A``, ``cell_B`` are
        overwritten in place, or appended when missing). Rows of
        interactions the sample lists copy its values; absent ones have
        ``mean`` 0, ``pval`` 1 and NaN in the other input columns. The six
        id-derived columns are filled on every row from the id (see
        `cpdb_get_gp_n_cp`).

    Raises
    ------
    KeyError
        When a table lacks ``pval`` or ``mean`` (or ``cell_A``/``cell_B``
        with a cell filter).
    ValueError
        When a table lists a selected interaction id on more than one row:
        the message names the ids and their samples. Ids must be unique in
        each table; `pelorkit.readers.read_cellphonedb` reads CellPhoneDB
        results that way.
    IndexError
        When a selected id cannot be split (see `cpdb_get_gp_n_cp`).
    AttributeError
        When ``df_dct`` is None.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> s1 = pd.DataFrame(
    ...     {"pval": [0.001, 0.5], "mean": [1.5, 2.0],
    ...      "cell_A": ["B", "T"], "cell_B": ["T", "B"],
    ...      "gene_A": ["CD74", "CCL5"], "gene_B": ["MIF", "CCR5"]},
    ...     index=["CD74_MIF--B|T", "CCL5_CCR5--T|B"],
    ... )
    >>> s2 = s1.iloc[[1]]
    >>> tables = pk.cci_get_df_to_plot({"S1": s1, "S2": s2})
    Union of Interactions: 1
    >>> tables["S2"][["mean", "pval", "gene_pair", "cell_pair"]]
                   mean  pval gene_pair cell_pair
    CD74_MIF--B|T   0.0   1.0  CD74_MIF       B|T
    """

def get_markers_from_deg(
    df_dct: dict[str, pd.DataFrame],
    ref_col: str = "score",
    N_mkrs: int = 30,
    nz_pct_test_min: float = 0.5,
    nz_pct_ref_max: float = 0.1,
    rem_common: Any = True,
) -> dict[str, list[Any]] | None:
    """Marker genes per group from differential-expression (DEG) tables.

    Keeps the genes detected in enough cells of the tested group and in few
    reference cells, takes the best ones by ``ref_col``, and can drop the
    genes that are markers of more than one group.

    Parameters
    ----------
    df_dct : dict of str to pandas.DataFrame
        DEG key → table with one row per gene (gene names as index) and the
        columns ``nz_pct_test`` (fraction of the tested group's cells in
        which the gene is detected), ``nz_pct_ref`` (the same in the
        reference cells) and ``ref_col``. The group is the key up to its
        first ``"_"``: ``"T cell_vs_rest"`` gives ``"T cell"``. With scanpy,
        build it from ``sc.tl.rank_genes_groups(..., pts=True)``: ``scores``,
        ``pts`` and ``pts_rest`` per group.
    ref_col : str, default "score"
        Ranking column; larger is better.
    N_mkrs : int, default 30
        Number of markers kept per group (fewer when fewer genes pass).
    nz_pct_test_min : float, default 0.5
        Lowest accepted ``nz_pct_test`` (inclusive).
    nz_pct_ref_max : float, default 0.1
        Highest accepted ``nz_pct_ref`` (inclusive).
    rem_common : bool, default True
        Remove every gene that is a marker of two or more groups from all
        of them.

    Returns
    -------
    dict of str to list, or None
        Group → gene names, best first, in the order of ``df_dct``'s keys
        (a later key with the same group replaces the earlier list). None,
        after printing ``ERROR: <ref_col> not found in column name of DEG
        results.``, when a table lacks ``ref_col``. The input tables are not
        modified.

    Raises
    ------
    KeyError
        When a table lacks ``nz_pct_test`` or ``nz_pct_ref``.
    AttributeError
        When a key is not a string.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> def deg_table(genes, score, nz_test, nz_ref):
    ...     return pd.DataFrame({"score": score, "nz_pct_test": nz_test,
    ...                          "nz_pct_ref": nz_ref}, index=genes)
    >>> deg = {
    ...     "B_vs_rest": deg_table(["MS4A1", "CD79A", "LYZ"], [9.0, 7.0, 5.0],
    ...                            [0.9, 0.8, 0.9], [0.05, 0.02, 0.3]),
    ...     "T_vs_rest": deg_table(["CD3D", "CD79A"], [8.0, 6.0],
    ...                            [0.7, 0.6], [0.1, 0.05]),
    ... }
    >>> pk.get_markers_from_deg(deg)
    {'B': ['MS4A1'], 'T': ['CD3D']}
    >>> pk.get_markers_from_deg(deg, rem_common=False)
    {'B': ['MS4A1', 'CD79A'], 'T': ['CD3D', 'CD79A']}
    """

def filter_gsa_result(
    dct: dict[Any, pd.DataFrame], neg_log_p_cutoff: float
) -> dict[Any, pd.DataFrame]:
    """Keep the gene sets at or above a -log p-value threshold, in every table.

    Parameters
    ----------
    dct : dict of str to pandas.DataFrame
        Key (cell type or comparison) → gene-set analysis table with the
        column ``"-log(p-val)"``, one row per gene set.
    neg_log_p_cutoff : float
        Keep rows whose ``"-log(p-val)"`` is at least this value (NaN rows
        are dropped).

    Returns
    -------
    dict of str to pandas.DataFrame
        The same keys in the same order; each value the kept rows, all
        columns, in input order. A table with no row left stays, empty.

    Raises
    ------
    KeyError
        When a table lacks the column ``"-log(p-val)"``.
    AttributeError
        When ``dct`` is None.

    Examples
    --------
    >>> import pandas as pd
    >>> import pelorkit.analyka as pk
    >>> sets = ["TCR signaling", "Glycolysis", "IL-2 signaling"]
    >>> table = pd.DataFrame({"-log(p-val)": [5.2, 1.1, 2.0]}, index=sets)
    >>> pk.filter_gsa_result({"T cell": table}, 2)["T cell"]
                    -log(p-val)
    TCR signaling           5.2
    IL-2 signaling          2.0
    """

def get_abbreviations() -> dict[str, dict[str, str]]:
    """Cell-type abbreviation tables for plot labels, at three levels of detail.

    Returns
    -------
    dict of str to dict of str to str
        ``{"celltype_major": {...}, "celltype_minor": {...},
        "celltype_subset": {...}}`` (7, 15 and 40 entries): full cell-type
        name → short label. A new dict at every call, safe to modify. Names
        absent from a table are left to the caller.

    See Also
    --------
    get_abbreviations_uni : One flat table over all levels.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> tables = pk.get_abbreviations()
    >>> list(tables)
    ['celltype_major', 'celltype_minor', 'celltype_subset']
    >>> tables["celltype_minor"]["Aneuploid Epithelial cell"]
    'Epi (Aneup)'
    """

def get_abbreviations_uni() -> dict[str, str]:
    """One flat cell-type abbreviation table over all levels and tissues.

    Returns
    -------
    dict of str to str
        Full cell-type name → short label (80 entries, lung, intestine and
        pancreas types included). A new dict at every call, safe to modify.

    See Also
    --------
    get_abbreviations : The same labels as three tables.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> table = pk.get_abbreviations_uni()
    >>> names = ["Microfold cell", "T cell", "Podocyte"]
    >>> [table.get(name, name) for name in names]
    ['mFold', 'T cell', 'Podocyte']
    """

def split_text(s: str, N_max: int = 20) -> str:
    """Wrap a long label onto several lines at blanks.

    A newline is inserted after a blank wherever the line would otherwise
    exceed ``N_max`` characters; the blank stays at the end of its line, so
    removing the newlines gives ``s`` back. A word longer than ``N_max`` is
    never broken, and the last line may hold ``N_max + 1`` characters.

    Parameters
    ----------
    s : str
        The label.
    N_max : int, default 20
        Line length limit in characters.

    Returns
    -------
    str
        ``s`` unchanged when it is at most ``N_max`` characters long, else
        ``s`` with newlines inserted.

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> pk.split_text("Aneuploid Intestinal Epithelial cell")
    'Aneuploid Intestinal \\nEpithelial cell'
    >>> pk.split_text("Smooth muscle cell")
    'Smooth muscle cell'
    """

def evaluate_performance(y: Any, y_pred: Any, labels: list[Any] = ...) -> dict[str, Any]:
    """Score per-cell tumour/normal calls against reference labels.

    Parameters
    ----------
    y : numpy.ndarray or pandas.Series
        Reference label of each cell. Must compare element-wise with ``==``
        (plain lists do not); two Series must share their index.
    y_pred : numpy.ndarray or pandas.Series
        Predicted label of each cell, aligned with ``y``.
    labels : list, default ['Tumor', 'Normal']
        Labels to score, in the order reported. The default list is shared
        between calls and never modified.

    Returns
    -------
    dict of str to numpy.float64
        ``"Accuracy"`` (share of cells with ``y == y_pred``), ``"F1"`` (the
        labels' F1 scores weighted by their number of reference cells), then
        for each label ``t`` the keys ``"F1 (t)"``, ``"Precision (t)"``,
        ``"Recall (t)"`` and ``"FPR (t)"`` (false positives over reference
        negatives), all rounded to 3 decimals. A zero denominator (a label
        never predicted, or absent from ``y``) gives NaN with numpy's
        runtime warning, and a NaN precision or recall makes that label's F1
        and the weighted ``"F1"`` NaN. A label found neither in ``y`` nor in
        ``y_pred`` gives a ``UserWarning`` naming it instead.

    Raises
    ------
    ValueError
        When ``y`` and ``y_pred`` differ in length, or one of them is a
        table (a one-column DataFrame, say) that does not line up with the
        other: pass one of its columns.

    Examples
    --------
    >>> import numpy as np
    >>> import pelorkit.analyka as pk
    >>> y = np.array(["Tumor", "Tumor", "Normal", "Normal", "Tumor"])
    >>> y_pred = np.array(["Tumor", "Normal", "Normal", "Tumor", "Tumor"])
    >>> {k: float(v) for k, v in pk.evaluate_performance(y, y_pred).items()}
    {'Accuracy': 0.6, 'F1': 0.6, 'F1 (Tumor)': 0.667, 'Precision (Tumor)': 0.667, 'Recall (Tumor)': 0.667, 'FPR (Tumor)': 0.5, 'F1 (Normal)': 0.5, 'Precision (Normal)': 0.5, 'Recall (Normal)': 0.5, 'FPR (Normal)': 0.333}
    """

def compute_sample_div_index(
    adata: Any,
    sample_col: str = "sample",
    cluster_col: str = "cnv_cluster",
    tumor_dec: str = "ploidy_dec",
    ref_ind_col: str = "cnv_ref_ind",
    sdi_col: str = "sample_diversity_index",
    tumor_name: str = "Aneuploid",
) -> pd.DataFrame:
    """Per copy-number cluster: sample diversity index, tumour and reference shares.

    The sample diversity index of a cluster is the Shannon entropy, in bits,
    of its cells' distribution over samples: 0 for a cluster drawn from one
    sample (a clone), 1.0 for two samples in equal shares, 2.0 for four.
    Also writes the rounded index of each cell's cluster, as text, into
    ``adata.obs[sdi_col]`` (created or overwritten): the only function of
    the package that modifies its input. A lazily read ``AnnData``
    (``anndata.experimental.read_lazy``) gets the column in its ``obs`` in
    memory, as anndata's own assignment to a lazy ``obs`` does; the file it
    was read from is not changed.

    Parameters
    ----------
    adata : anndata.AnnData
        Only ``adata.obs`` is read (and written); in memory, backed or
        lazily read (its label columns are read into memory).
    sample_col : str, default "sample"
        Column of ``obs`` with each cell's sample.
    cluster_col : str, default "cnv_cluster"
        Column with each cell's CNV cluster label. Labels are matched as
        text: use a string or categorical column of strings (integer labels
        match no cell and raise ``ValueError``).
    tumor_dec : str, default "ploidy_dec"
        Column with each cell's tumour/normal decision.
    ref_ind_col : str, default "cnv_ref_ind"
        Column with each cell's reference indicator (bool or 0/1), summed.
    sdi_col : str, default "sample_diversity_index"
        Column of ``obs`` to write the rounded index to.
    tumor_name : str, default "Aneuploid"
        Value of ``tumor_dec`` that marks a tumour cell.

    Returns
    -------
    pandas.DataFrame
        One row per cluster, index = the cluster labels in ascending order,
        columns in this order: ``Tumor_pct`` (whole-number percentage of
        tumour cells, truncated: 4 of 6 gives 66), ``N_samples`` (samples
        with at least one cell in the cluster), ``sample_diversity_index``
        (unrounded), ``Ref_pct`` (whole-number percentage of reference
        cells, truncated) and ``Tumor`` (bool, ``Tumor_pct >= 50``). The
        first three columns hold the values as computed (object dtype); the
        last column is always named ``sample_diversity_index``, whatever
        ``sdi_col`` is. Without cells, ``Ref_pct`` is absent.

    Raises
    ------
    KeyError
        When a named column is missing from ``adata.obs``.
    ValueError
        When the cluster labels are not text (no cell matches a label).

    Examples
    --------
    >>> import anndata, pandas as pd
    >>> import pelorkit.analyka as pk
    >>> obs = pd.DataFrame({
    ...     "sample": ["A", "A", "A", "B", "B", "C"],
    ...     "cnv_cluster": ["c1"] * 6,
    ...     "ploidy_dec": ["Aneuploid"] * 4 + ["Diploid"] * 2,
    ...     "cnv_ref_ind": [False] * 5 + [True],
    ... }, index=[f"cell{i}" for i in range(6)])
    >>> adata = anndata.AnnData(obs=obs)
    >>> table = pk.compute_sample_div_index(adata)
    >>> table
       Tumor_pct N_samples sample_diversity_index  Ref_pct  Tumor
    c1        66         3               1.459148     16.0   True
    >>> float(adata.obs["sample_diversity_index"].iloc[0])
    1.0
    """

def get_axes(axes: Any, nr: int, nc: int, j: int) -> Any:
    """Panel number ``j`` of a grid of subplots, filled row by row.

    Hides the difference between a one-row layout (a flat sequence of
    panels) and a multi-row layout (rows of panels).

    Parameters
    ----------
    axes : sequence or 2-D array
        The panels: indexed ``axes[row][column]`` when ``nr > 1``, else
        ``axes[j]``. With matplotlib, create them with ``squeeze=False`` or
        keep ``nr > 1`` (a squeezed single-column grid is one-dimensional).
    nr : int
        Number of rows.
    nc : int
        Number of columns (not 0 when ``nr > 1``).
    j : int
        Running panel number, from 0.

    Returns
    -------
    object
        ``axes[j // nc][j % nc]`` when ``nr > 1``, else ``axes[j]``.

    Raises
    ------
    ZeroDivisionError
        When ``nc`` is 0 and ``nr > 1``.
    IndexError
        When ``j`` lies beyond the grid.

    Examples
    --------
    >>> import matplotlib.pyplot as plt
    >>> import pelorkit.analyka as pk
    >>> fig, axes = plt.subplots(2, 3)
    >>> pk.get_axes(axes, 2, 3, 4) is axes[1][1]
    True
    >>> plt.close(fig)
    """

def _get_value_info(
    value: Any,
    key_name: Any = None,
    is_top_level_anndata_component: bool = False,
    level_of_value: int | None = None,
    max_depth: int = 3,
    n_to_show: int = 3,
    limited_keys: Any = None,
) -> str:
    """One-line summary of a value, as the tree display prints it after a key.

    Used by `show_anndata_tree`. Data frames give their shape and first
    columns, array-likes (anything with ``shape`` and ``dtype``) their shape
    and dtype (short vectors and scalars their own text), dicts ``(dict)``,
    strings up to 79 characters the quoted string, numbers, booleans and
    None their text, anything else its type name in parentheses.

    Parameters
    ----------
    value : object
        The value to summarise.
    key_name : object, default None
        The key under which the value is stored; a truthy key that is in
        ``limited_keys`` gives the empty text.
    is_top_level_anndata_component : bool, default False
        Accepted and ignored.
    level_of_value : int or None, default None
        Tree depth at which the value is printed; a dict at
        ``level_of_value >= max_depth`` lists its keys inline. None: no
        depth limit.
    max_depth : int, default 3
        Depth from which dicts list their keys inline.
    n_to_show : int, default 3
        Column names or keys listed before the list is cut with ``...``.
    limited_keys : container or None, default None
        Hidden keys; must support ``in`` when ``key_name`` is truthy.

    Returns
    -------
    str
        The summary, without a line feed.

    Raises
    ------
    TypeError
        When ``key_name`` is truthy and ``limited_keys`` is None, or the
        first ``n_to_show`` column names of a wider frame are not strings.

    Examples
    --------
    >>> import numpy as np
    >>> import pelorkit.analyka as pk
    >>> pk._get_value_info(np.zeros((100, 20), dtype="float32"))
    'array (shape=(100, 20), dtype=float32)'
    >>> pk._get_value_info({"a": 1, "b": 2}, level_of_value=3)
    '(dict) Keys=[a, b]'
    """

def _display_dict_or_dataframe_recursive(
    current_obj: Any,
    current_depth: int,
    parent_prefix: str,
    max_depth: int = 3,
    n_to_show: int = 3,
    limited_keys: Any = None,
    ss: str = None,
) -> str:
    """Tree lines of one mapping level, appended to ``ss``.

    Used by `show_anndata_tree`. Every visible key gets one line: the
    prefix, a connector (``"├── "``, or ``"└── "`` for the last visible
    key), the key padded to the longest key's width, ``": "`` and the
    value's summary (`_get_value_info`); nested dicts are drawn one level
    deeper through `show_anndata_tree`.

    Parameters
    ----------
    current_obj : mapping
        A dict or any object with ``keys()`` and item access; anything
        without ``keys`` adds nothing, an empty mapping adds
        ``"└── (empty)"``.
    current_depth : int
        Depth of this level; nothing is drawn at ``max_depth`` or deeper.
    parent_prefix : str
        Text put in front of every line of this level.
    max_depth : int, default 3
        Depth limit.
    n_to_show : int, default 3
        Passed on to `_get_value_info`.
    limited_keys : container or None, default None
        Hidden keys (no line, no subtree); must support ``in`` for a
        non-empty mapping.
    ss : str or None, default None
        Text to append to; exactly a ``str`` (not a subclass) or None.

    Returns
    -------
    str
        ``ss`` followed by this level's lines, each ending in a line feed.

    Raises
    ------
    TypeError
        When ``ss`` is neither None nor exactly a ``str``, or
        ``limited_keys`` is None for a non-empty mapping.
    ValueError
        When ``current_obj`` is a pandas DataFrame (it has no truth value).

    Examples
    --------
    >>> import pelorkit.analyka as pk
    >>> d = {"a": 1, "bb": {"x": [1, 2], "y": "hi"}}
    >>> draw = pk._display_dict_or_dataframe_recursive
    >>> print(draw(d, 0, "", limited_keys=[]), end="")
    ├── a : 1
    └── bb: (dict)
         ├── x: (list)
         └── y: 'hi'
    """

def show_anndata_tree(
    obj: Any,
    max_depth: int = 3,
    n_to_show: int = 3,
    limited_keys: Any = None,
    _current_depth: int = 0,
    _parent_prefix: str = "",
    ss: str | None = None,
) -> str:
    """Tree-shaped text of an AnnData, a dict or a DataFrame.

    For an ``AnnData``: a header with its shape and one line per component
    (``X``, ``obs``, ``var``, ``obsm``, ``obsp``, ``varm``, ``varp``,
    ``uns``), the mapping components (``uns``, ``obsm``, ``obsp``, ``varm``,
    ``varp``) expanded down to ``max_depth``. For a dict: a header and the
    tree of its keys. For a DataFrame: one line with its shape and first
    three columns. For anything else: its type and summary. The text is
    returned, not printed: ``print(pk.show_tree(adata))``.

    Parameters
    ----------
    obj : anndata.AnnData, dict, pandas.DataFrame or object
        What to display. A lazily read ``AnnData`` and its lazy ``obs`` and
        ``var`` are shown as the in-memory ones they load into.
    max_depth : int, default 3
        Depth limit; dicts at this depth list their keys inline.
    n_to_show : int, default 3
        Column names or keys listed in a summary before ``...``.
    limited_keys : list or None, default None
        Keys left out of the tree wherever they occur. None: 17 bulky
        pipeline keys (``"log"``, ``"cnv"``, ``"DEG_stat"``, ...); pass
        ``[]`` to show every key.
    _current_depth : int, default 0
        Depth of ``obj`` in the tree, for the recursion; leave at 0.
    _parent_prefix : str, default ''
        Prefix of the tree lines, for the recursion; leave empty.
    ss : str or None, default None
        Text to append to; the result starts with it.

    Returns
    -------
    str
        The lines, each ending in a line feed.

    Raises
    ------
    NameError
        When anndata could not be imported at start-up.
    TypeError
        When ``ss`` is neither None nor a ``str``.

    Examples
    --------
    >>> import numpy as np
    >>> import pelorkit.analyka as pk
    >>> d = {"a": 1, "bb": {"x": [1, 2], "y": "hi"}, "c": np.zeros((10, 3))}
    >>> print(pk.show_tree(d), end="")
    Dictionary Structure (top-level):
    ├── a : 1
    ├── bb: (dict)
    │    ├── x: (list)
    │    └── y: 'hi'
    └── c : array (shape=(10, 3), dtype=float64)
    """

show_tree = show_anndata_tree
