"""Text in pandas' string dtype (pandas 3's default: Python-backed, or
Arrow-backed where pyarrow is installed) against the same text in object
columns, for every function with a native path over text. A ratio near 1
shows the native path running; a generic fallback shows as several times
slower.

    PYTHONPATH=build/dev313/stage python -m bench.bench_string_dtypes [--quick]
"""

import argparse
import warnings

import pandas as pd

import pelorkit.analyka as analyka
from bench.bench_cci import make_tables
from bench.common import Table, median_time
from tests.support import workloads
from tests.support.strings import STRING_DTYPES


def string_dtypes():
    """Object text, and the string dtypes pandas 3 gives text (NaN-valued,
    Python- or Arrow-backed), or the NA-valued one where pandas has no other."""
    inferred = {name: d for name, d in STRING_DTYPES.items() if d.na_value is not pd.NA}
    return {"object": object, **(inferred or STRING_DTYPES)}


def cci_in(tables, dtype):
    out = {}
    for key, df in tables.items():
        df = df.copy()
        df.index = df.index.astype(dtype)
        for column in ["cell_A", "cell_B", "gene_A", "gene_B"]:
            df[column] = df[column].astype(dtype)
        out[key] = df
    return out


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    quick = parser.parse_args().quick
    warnings.simplefilter("ignore")
    analyka.display = lambda *args, **kwargs: None
    dtypes = string_dtypes()
    repeats = 3 if quick else 5
    table = Table(f"string dtypes against object text (pandas {pd.__version__})")

    def measure(case, inputs, run):
        base = median_time(lambda: run(inputs["object"]), repeats)
        table.add(case, "object", base, base)
        for name, value in inputs.items():
            if name != "object":
                table.add(case, name, median_time(lambda v=value: run(v), repeats), base)

    tables = make_tables(n_samples=6, n_rows=20_000 if quick else 100_000)
    cci = {name: cci_in(tables, dtype) for name, dtype in dtypes.items()}
    measure("cci_get_means", cci, analyka.cci_get_means)
    measure("cci_remove_common", cci, analyka.cci_remove_common)
    measure("cci_get_ni_mat", cci, analyka.cci_get_ni_mat)
    measure("cci_get_df_to_plot", cci, lambda d: analyka.cci_get_df_to_plot(d, 0.05, 0.5))

    n = 200_000 if quick else 2_000_000
    pids, cts = (s.astype(str).astype(object) for s in workloads.population_inputs(n))
    population = {name: (pids.astype(dtype), cts.astype(dtype)) for name, dtype in dtypes.items()}
    measure("get_population", population, lambda pc: analyka.get_population(*pc))
    measure("get_sample_to_group_dict", population,
            lambda pc: analyka.get_sample_to_group_dict(*pc))  # fmt: skip

    adata = workloads.tumour_adata(n)
    for column in ["cnv_cluster", "sample", "ploidy_dec"]:
        adata.obs[column] = adata.obs[column].astype(str).astype(object)
    tumour = {}
    for name, dtype in dtypes.items():
        tumour[name] = adata.copy()
        for column in ["cnv_cluster", "sample", "ploidy_dec"]:
            tumour[name].obs[column] = adata.obs[column].astype(dtype)
    measure("compute_sample_div_index", tumour, analyka.compute_sample_div_index)
    table.print()


if __name__ == "__main__":
    main()
