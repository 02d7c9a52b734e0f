"""The data-set catalogs of the loading module."""

import re

SAMPLE_KEYS = ["Breast", "BC", "BRCA", "Colitis-hs", "Colitis-mm", "Colon", "CRC",
               "Intestine", "Lung", "NSCLC", "Melanoma", "Pancreas", "PDAC"]  # fmt: skip
PROCESSED_KEYS = ["Lung", "NSCLC", "Colon", "CRC", "Breast", "BC", "BRCA", "Pancreas", "PDAC",
                  "Colitis-mm", "Colitis-hs", "Colitis-mm-full", "Brain", "Liver(normal)",
                  "Kidney(normal)"]  # fmt: skip
SYNONYMS = [["Breast", "BC", "BRCA"], ["Colon", "CRC", "Intestine"], ["Lung", "NSCLC"],
            ["Pancreas", "PDAC"]]  # fmt: skip


def test_catalogs_as_shipped(fetchora):
    """Plain dicts with case-sensitive keys in this order; synonyms share one
    identifier, and no identifier serves two catalogs."""
    catalogs = {
        "sample_data_fid_dict": SAMPLE_KEYS,
        "sample_data_fid_dict_gz": SAMPLE_KEYS,
        "processed_sample_data_fid_dict": PROCESSED_KEYS,
    }
    identifiers = []
    for name, keys in catalogs.items():
        catalog = getattr(fetchora, name)
        assert type(catalog) is dict and list(catalog) == keys, name
        assert "lung" not in catalog
        for group in SYNONYMS:
            assert len({catalog[k] for k in group if k in catalog}) == 1, (name, group)
        assert all(re.fullmatch(r"[A-Za-z0-9_-]{33}", v) for v in catalog.values()), name
        identifiers.append(set(catalog.values()))
    assert [len(s) for s in identifiers] == [7, 7, 10]
    assert len(set.union(*identifiers)) == 24
