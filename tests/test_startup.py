"""Start-up of the modules, each checked in a fresh interpreter."""

import pytest

EXPECTED_ORDER = [
    "time", "os", "copy", "datetime", "math", "random", "warnings", "subprocess", "sys",
    "np", "pd", "stats", "signal", "plt", "cm", "colormaps", "mpl", "figure", "Rectangle",
    "cluster", "mixture", "lm", "met", "display", "files",
    "SCANVPY", "sc", "anndata", "STATANNOT", "Annotator", "SEABORN", "sns", "go",
    "get_sample_to_group_dict", "get_sample_to_group_map", "get_population",
    "get_gene_expression", "cci_get_means", "get_cci_means", "cci_get_diff_interactions",
    "test_group_diff", "cci_remove_common", "cci_get_ni_mat", "get_cci_ni_mat",
    "cpdb_get_gp_n_cp", "cci_get_df_to_plot", "get_markers_from_deg", "filter_gsa_result",
    "get_abbreviations", "get_abbreviations_uni", "split_text", "evaluate_performance",
    "compute_sample_div_index", "get_axes", "_get_value_info",
    "_display_dict_or_dataframe_recursive", "show_anndata_tree", "show_tree",
]  # fmt: skip


def test_clean_import_prints_nothing_and_binds_in_order(run_child):
    out = run_child(
        """
        import pelorkit.analyka as a
        names = [n for n in vars(a) if not n.startswith("__")]
        print(names)
        print(a.SCANVPY, a.STATANNOT, a.SEABORN, a.show_tree is a.show_anndata_tree)
        print(a.np.__name__, a.pd.__name__, a.stats.__name__, a.lm.__name__, a.met.__name__)
        """
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 3, out.stdout
    assert eval(lines[0]) == EXPECTED_ORDER
    assert lines[1] == "True True True True"
    assert lines[2] == "numpy pandas scipy.stats sklearn.linear_model sklearn.metrics"


def test_missing_optional_package_that_pip_cannot_install(run_child):
    out = run_child(
        """
        import pelorkit.analyka as a
        print(a.SCANVPY, a.STATANNOT, a.SEABORN, hasattr(a, "go"), hasattr(a, "sns"))
        print(PIP_CALLS[0][0] == sys.executable, len(PIP_CALLS))
        """,
        hidden=["plotly"],
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "WARNING: plotly not installed.",
        "PIP ['-m', 'pip', 'install', 'plotly']",
        "WARNING: Cannot install plotly.",
        "True True True False True",
        "True 1",
    ]


def test_two_missing_packages_run_pip_in_block_order(run_child):
    # statannotations imports seaborn, so hiding seaborn fails both blocks.
    out = run_child(
        """
        import pelorkit.analyka as a
        print(a.SCANVPY, a.STATANNOT, a.SEABORN, "Annotator" in vars(a), "sns" in vars(a))
        """,
        hidden=["seaborn", "statannotations"],
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[-1] == "True False False False False"
    assert lines[:-1] == [
        "WARNING: statannotations not installed or not available. ",
        "PIP ['-m', 'pip', 'install', 'statannotations']",
        "WARNING: Cannot install statannotations.",
        "WARNING: seaborn not installed or not available. ",
        "PIP ['-m', 'pip', 'install', 'seaborn']",
        "WARNING: Cannot install seaborn.",
    ]


def test_successful_install_then_retry(run_child):
    # pip "succeeds" and the hidden package becomes importable before the retry.
    out = run_child(
        """
        def _unhide(cmd, *args, **kwargs):
            PIP_CALLS.append(cmd)
            HIDDEN.discard(cmd[-1])
            return 0
        sys.modules["subprocess"].check_call = _unhide
        import pelorkit.analyka as a
        print(a.go.__name__, len(PIP_CALLS))
        """,
        hidden=["plotly"],
        pip="ok",
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "WARNING: plotly not installed.",
        "INFO: plotly was sucessfully installed.",
        "plotly.graph_objects 1",
    ]


def test_scanpy_block_keeps_sc_when_anndata_is_missing(run_child):
    out = run_child(
        """
        import scanpy  # imported before anndata is hidden
        HIDDEN.add("anndata")
        for name in list(sys.modules):
            if name.split(".")[0] == "anndata":
                del sys.modules[name]
        import pelorkit.analyka as a
        print(a.SCANVPY, "sc" in vars(a), "anndata" in vars(a))
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "WARNING: scanpy not installed.",
        "PIP ['-m', 'pip', 'install', 'scanpy']",
        "WARNING: Cannot install scanpy.",
        "False True False",
    ]


def test_interrupted_install_is_caught_like_any_failure(run_child):
    out = run_child(
        """
        def _interrupt(cmd, *args, **kwargs):
            raise KeyboardInterrupt
        sys.modules["subprocess"].check_call = _interrupt
        import pelorkit.analyka as a
        print(a.SEABORN)
        """,
        hidden=["seaborn"],
    )
    assert out.returncode == 0, out.stderr
    assert "WARNING: Cannot install seaborn." in out.stdout
    assert out.stdout.splitlines()[-1] == "False"


@pytest.mark.parametrize(
    "module, hidden",
    [
        ("pelorkit.analyka", "importlib_resources"),
        ("pelorkit.fetchora", "gdown"),
        ("pelorkit.readers", "pandas"),
    ],
)
def test_missing_required_package_fails_with_its_own_error(run_child, module, hidden):
    out = run_child(
        f"""
        try:
            import {module}
        except ModuleNotFoundError as e:
            print("raised", type(e).__name__, e.name)
        print("{module}" in sys.modules, len(PIP_CALLS))
        print(sorted(name for name in sys.modules if name.startswith("pelorkit.")))
        HIDDEN.clear()
        import {module} as m  # a new attempt runs the whole start-up again
        print(m.__name__)
        """,
        hidden=[hidden],
    )
    assert out.returncode == 0, out.stderr
    # nothing of the failed start-up is left, the private chunk module included
    assert out.stdout.splitlines() == [
        f"raised ModuleNotFoundError {hidden}",
        "False 0",
        "[]",
        module,
    ]


BOUND_IN_ORDER = {
    "pelorkit.fetchora": [
        "gdown", "gzip", "shutil", "os", "tarfile", "anndata", "zipfile",
        "download_from_google_drive", "decompress_gz", "decompress_zip",
        "decompress_zip_and_move", "decompress_tar_gz", "sample_data_fid_dict_gz",
        "sample_data_fid_dict", "load_h5ad", "load_anndata", "load_sample_data",
        "processed_sample_data_fid_dict", "load_pelor_processed_anndata",
        "load_pelor_processed_sample_data",
    ],
    "pelorkit.readers": [
        "os", "warnings", "np", "pd", "Mapping", "read_cellphonedb", "read_liana",
    ],
}  # fmt: skip


@pytest.mark.parametrize("module", list(BOUND_IN_ORDER))
def test_start_up_binds_in_order_and_prints_nothing(run_child, module):
    out = run_child(
        f"""
        import {module} as m
        print([n for n in vars(m) if not n.startswith("__")])
        """
    )
    assert out.returncode == 0, out.stderr
    assert eval(out.stdout) == BOUND_IN_ORDER[module]


def test_package_imports_none_of_the_modules(run_child):
    out = run_child(
        """
        import pelorkit
        print([m in sys.modules for m in ("pelorkit.analyka", "pelorkit.fetchora", "pelorkit.readers")])
        """
    )
    assert out.stdout.strip() == "[False, False, False]"
