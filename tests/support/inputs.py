"""Small inputs built by hand: a CCI result table from its interaction ids,
and an AnnData from X and per-cell groups (and the warning such groups
bring when some are NaN)."""

import contextlib
import warnings

import anndata
import numpy as np
import pandas as pd
import pytest

from tests.reference.cci import cpdb_get_gp_n_cp


def cci_table(ids, pval=0.001, mean=2.0, **extra):
    """A CCI result table whose partner columns are taken from the ids;
    `pval` and `mean` are a value for every row or one per row, `extra`
    more columns."""
    parts = [cpdb_get_gp_n_cp(i) for i in ids]
    n = len(ids)
    df = pd.DataFrame(
        {
            "pval": np.broadcast_to(np.asarray(pval, dtype=float), (n,)).copy(),
            "mean": np.broadcast_to(np.asarray(mean, dtype=float), (n,)).copy(),
            "gene_A": [p[2] for p in parts],
            "gene_B": [p[3] for p in parts],
            "cell_A": [p[4] for p in parts],
            "cell_B": [p[5] for p in parts],
        },
        index=pd.Index(list(ids), dtype=object),
    )
    for name, values in extra.items():
        df[name] = values
    return df


def adata_of(X, obs, var_names=None):
    """AnnData of X with cells c0, c1, ... and genes G0, G1, ... (or
    `var_names`); `obs` is a frame or the cells' "sample" column."""
    var_names = var_names or [f"G{j}" for j in range(X.shape[1])]
    obs = obs if isinstance(obs, pd.DataFrame) else pd.DataFrame({"sample": obs})
    obs.index = [f"c{i}" for i in range(X.shape[0])]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # anndata's notes on index and dtype conversions
        return anndata.AnnData(X=X, obs=obs, var=pd.DataFrame(index=var_names))


def warns_if_nan_groups(groups):
    """pytest.warns for get_gene_expression's warning about cells in no group,
    when the grouping column holds NaN; otherwise nothing."""
    if pd.isna(pd.Series(groups)).any():
        return pytest.warns(UserWarning, match="holds NaN: those cells belong to no group")
    return contextlib.nullcontext()


def warns_if(expected, match):
    """pytest.warns(UserWarning, match=match) when `expected`, else nothing."""
    return pytest.warns(UserWarning, match=match) if expected else contextlib.nullcontext()
