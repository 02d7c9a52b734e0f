"""pelorkit: downstream analysis of single-cell RNA-seq results in notebooks.

Three native modules:

- ``pelorkit.analyka``: sample composition, expression fractions, group tests,
  cell-cell interaction tables, markers, tumour-call scores, structure display
  and plot-label helpers.
- ``pelorkit.fetchora``: download, unpack and load data sets as ``AnnData``.
- ``pelorkit.readers``: CellPhoneDB and LIANA results as the cell-cell
  interaction tables of ``pelorkit.analyka``.

Import them explicitly; this package imports none of them, because the
start-up of ``pelorkit.analyka`` may install missing optional packages with pip.
"""

__version__ = "0.1.0"
__all__ = ["__version__"]
