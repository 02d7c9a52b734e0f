"""The data-set catalogs of the loading module."""

import re

SAMPLE_KEYS = ["Breast", "BC", "BRCA", "Colitis-hs", "Colitis-mm", "Colon", "CRC",
               "Intestine", "Lung", "NSCLC", "Melanoma", "Pancreas", "PDAC"]  # fmt: skip
PROCESSED_KEYS = ["Lung", "NSCLC", "Colon", "CRC", "Breast", "BC", "BRCA", "Pancreas", "PDAC",
                  "Colitis-mm", "Colitis-hs", "Colitis-mm-full", "Brain", "Liver(normal)",
                  "Kidney(normal)"]  # fmt: skip
SYNONYMS = [["Breast", "BC", "BRCA"], ["Colon", "CRC", "Intestine"], ["Lung", "NSCLC"],
            ["Pancreas", "PDAC"]]  # fmt: skip


def test_keys_in_order(fetchora):
    assert list(fetchora.sample_data_fid_dict) == SAMPLE_KEYS
    assert list(fetchora.sample_data_fid_dict_gz) == SAMPLE_KEYS
    assert list(fetchora.processed_sample_data_fid_dict) == PROCESSED_KEYS


def test_synonyms_share_an_identifier_and_catalogs_share_none(fetchora):
    catalogs = [
        fetchora.sample_data_fid_dict,
        fetchora.sample_data_fid_dict_gz,
        fetchora.processed_sample_data_fid_dict,
    ]
    for catalog in catalogs:
        for group in SYNONYMS:
            present = [k for k in group if k in catalog]
            assert len({catalog[k] for k in present}) == 1
    sets = [set(c.values()) for c in catalogs]
    assert [len(s) for s in sets] == [7, 7, 10]
    assert len(sets[0] | sets[1] | sets[2]) == 24


def test_identifier_format(fetchora):
    for catalog in (fetchora.sample_data_fid_dict, fetchora.sample_data_fid_dict_gz,
                    fetchora.processed_sample_data_fid_dict):  # fmt: skip
        for value in catalog.values():
            assert re.fullmatch(r"[A-Za-z0-9_-]{33}", value)


def test_keys_are_case_sensitive(fetchora):
    assert "lung" not in fetchora.sample_data_fid_dict
    assert "lung" not in fetchora.processed_sample_data_fid_dict
    assert type(fetchora.sample_data_fid_dict) is dict
