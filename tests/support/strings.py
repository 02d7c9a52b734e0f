"""pandas' string dtypes, as far as the installed pandas has them."""

import importlib.util

import numpy as np
import pandas as pd

# pandas' string inference (pandas 3's default) is available as an option
# from 2.3 on; pandas 2.2 infers only Arrow-backed strings, which need pyarrow.
STRING_INFERENCE = tuple(map(int, pd.__version__.split(".")[:2])) >= (2, 3) or (
    importlib.util.find_spec("pyarrow") is not None
)

# {name: dtype}: the NA-valued Python-backed string dtype, and the NaN-valued
# ones (pandas 3's default for text: Python-backed, or Arrow-backed where
# pyarrow is installed) where this pandas has them (2.3 on).
STRING_DTYPES = {"string-python": pd.StringDtype("python")}
try:
    STRING_DTYPES["str-python"] = pd.StringDtype("python", na_value=np.nan)
    if importlib.util.find_spec("pyarrow") is not None:
        STRING_DTYPES["str-pyarrow"] = pd.StringDtype("pyarrow", na_value=np.nan)
except TypeError:
    pass

PYTHON_STRING_DTYPES = [d for d in STRING_DTYPES.values() if d.storage == "python"]
