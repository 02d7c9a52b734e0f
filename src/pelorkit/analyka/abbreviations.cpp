// Cell-type abbreviations for plot labels: one table per annotation level and
// one flat table that also covers tissue-specific types. Each call builds new
// dicts, so callers may change what they get.
#include "pelorkit/python.hpp"

#include "functions.hpp"

#include <span>

namespace pelorkit::analyka {
namespace {

struct Abbreviation {
    const char *name;
    const char *label;
};

constexpr Abbreviation kMajor[] = {
    {"Epithelial cell", "Epi"}, {"T cell", "T cell"},        {"Smooth muscle cell", "SMC"},
    {"Fibroblast", "Fib"},      {"Myeloid cell", "Myeloid"}, {"Endothelial cell", "Endo"},
    {"B cell", "B cell"},
};

constexpr Abbreviation kMinor[] = {
    {"Epithelial cell", "Epi"},
    {"T cell CD4+", "T CD4+"},
    {"T cell CD8+", "T CD8+"},
    {"Smooth muscle cell", "SMC"},
    {"Fibroblast", "Fib"},
    {"ILC", "ILC"},
    {"Dendritic cell", "DC"},
    {"Monocyte", "Mono"},
    {"Endothelial cell", "Endo"},
    {"Macrophage", "Mac"},
    {"B cell", "B cell"},
    {"Plasma cell", "Plasma"},
    {"NK cell", "NK"},
    {"Aneuploid Epithelial cell", "Epi (Aneup)"},
    {"Diploid Epithelial cell", "Epi (Dip)"},
};

constexpr Abbreviation kSubset[] = {
    {"B cell (Breg)", "Breg"},
    {"B cell (Follicular)", "Bf"},
    {"B cell (MZ)", "BMZ"},
    {"B cell(Memory)", "Bmem"},
    {"DC (Classical)", "cDC"},
    {"DC (Inflammatory)", "iDC"},
    {"DC (Plasmacytoid)", "pDC"},
    {"Monocyte", "Mono"},
    {"Endothelial cell", "Endo"},
    {"Epithelial cell", "Epi"},
    {"Fibroblast", "Fib"},
    {"ILC1", "ILC1"},
    {"ILC2", "ILC2"},
    {"ILC3 (NCR+)", "ILC3(+)"},
    {"ILC3 (NCR-)", "ILC3(-)"},
    {"ILCreg", "ILCreg"},
    {"LTI", "LTI"},
    {"Macrophage (M1)", "Mac_M1"},
    {"Macrophage (M2A)", "Mac_M2a"},
    {"Macrophage (M2B)", "Mac_M2b"},
    {"Macrophage (M2C)", "Mac_M2c"},
    {"Macrophage (M2D)", "Mac_M2d"},
    {"NK cell", "NK"},
    {"Plasma cell", "Plasma"},
    {"Smooth muscle cell", "SMC"},
    {"T cell (Cytotoxic)", "T_Cyto"},
    {"T cell (Naive)", "T_Naive"},
    {"T cell (Tfh)", "Tfh"},
    {"T cell (Th1)", "Th1"},
    {"T cell (Th17)", "Th17"},
    {"T cell (Th2)", "Th2"},
    {"T cell (Th22)", "Th22"},
    {"T cell (Th9)", "Th9"},
    {"T cell (Treg)", "Treg"},
    {"MDSC (Granulocytic)", "MDSC_G"},
    {"MDSC (Monocytic)", "MDSC_M"},
    {"Endothelial tip cell", "Endo tip"},
    {"Lymphatic Endothelial cell", "Endo Lymp"},
    {"Luminal epithelial cell", "Epi lum"},
    {"Mammary epithelial cell", "Epi mam"},
};

// All levels plus lung, intestine, pancreas and duct types.
constexpr Abbreviation kUniversal[] = {
    {"Epithelial cell", "Epi"},
    {"Aneuploid Epithelial cell", "Epi (Aneup)"},
    {"Diploid Epithelial cell", "Epi (Dip)"},
    {"Lung Epithelial cell", "Lung.Epi"},
    {"Aneuploid Lung Epithelial cell", "Lung.Epi (Aneup)"},
    {"Diploid Lung Epithelial cell", "Lung.Epi (Dip)"},
    {"Intestinal Epithelial cell", "Ent.Epi"},
    {"Aneuploid Intestinal Epithelial cell", "Ent.Epi (Aneup)"},
    {"Diploid Intestinal Epithelial cell", "Ent.Epi (Dip)"},
    {"Ductal cell", "Ductal"},
    {"Aneuploid Ductal cell", "Duct (Aneup)"},
    {"Diploid Ductal cell", "Duct (Dip)"},
    {"T cell", "T cell"},
    {"Smooth muscle cell", "SMC"},
    {"Fibroblast", "Fib"},
    {"Myeloid cell", "Myeloid"},
    {"Endothelial cell", "Endo"},
    {"B cell", "B cell"},
    {"T cell CD4+", "T CD4+"},
    {"T cell CD8+", "T CD8+"},
    {"ILC", "ILC"},
    {"Dendritic cell", "DC"},
    {"Monocyte", "Mono"},
    {"Macrophage", "Mac"},
    {"Plasma cell", "Plasma"},
    {"Enterocyte", "Enterocyte"},
    {"Enteric glial cell", "Ent.Glia"},
    {"Enterochromaffin cell", "Ent.Chrom"},
    {"Enteroendocrine cell", "Ent.Endoc"},
    {"Goblet cell", "Goblet"},
    {"Crypt cell", "Crypt"},
    {"Paneth cell", "Paneth"},
    {"Tuft cell", "Tuft"},
    {"Microfold cell", "mFold"},
    {"Alveolar type 2", "AT2"},
    {"Alveolar type 1", "AT1"},
    {"Cilliated cell", "Cilli"},
    {"Secretory club", "Sec.Club"},
    {"Basal cell", "Basal"},
    {"Acinar cell", "Acinar"},
    {"Stellate cell", "Stellate"},
    {"Alpha cell", "Alpha"},
    {"Beta cell", "Beta"},
    {"Delta cell", "Delta"},
    {"Epsilon cell", "Epsil"},
    {"Gamma (PP) cell", "Gamma"},
    {"NK cell", "NK"},
    {"B cell (Breg)", "Breg"},
    {"B cell (Follicular)", "Bf"},
    {"B cell (MZ)", "BMZ"},
    {"B cell(Memory)", "Bmem"},
    {"DC (Classical)", "cDC"},
    {"DC (Inflammatory)", "iDC"},
    {"DC (Plasmacytoid)", "pDC"},
    {"ILC1", "ILC1"},
    {"ILC2", "ILC2"},
    {"ILC3 (NCR+)", "ILC3(+)"},
    {"ILC3 (NCR-)", "ILC3(-)"},
    {"ILCreg", "ILCreg"},
    {"LTI", "LTI"},
    {"Macrophage (M1)", "Mac_M1"},
    {"Macrophage (M2A)", "Mac_M2a"},
    {"Macrophage (M2B)", "Mac_M2b"},
    {"Macrophage (M2C)", "Mac_M2c"},
    {"Macrophage (M2D)", "Mac_M2d"},
    {"T cell (Cytotoxic)", "T_Cyto"},
    {"T cell (Naive)", "T_Naive"},
    {"T cell (Tfh)", "Tfh"},
    {"T cell (Th1)", "Th1"},
    {"T cell (Th17)", "Th17"},
    {"T cell (Th2)", "Th2"},
    {"T cell (Th22)", "Th22"},
    {"T cell (Th9)", "Th9"},
    {"T cell (Treg)", "Treg"},
    {"MDSC (Granulocytic)", "MDSC_G"},
    {"MDSC (Monocytic)", "MDSC_M"},
    {"Endothelial tip cell", "Endo tip"},
    {"Lymphatic Endothelial cell", "Endo Lymp"},
    {"Luminal epithelial cell", "Epi (Lum)"},
    {"Mammary epithelial cell", "Epi (Mam)"},
};

py::dict table(std::span<const Abbreviation> rows) {
    py::dict result;
    for (const Abbreviation &row : rows)
        result[py::str(row.name)] = py::str(row.label);
    return result;
}

} // namespace

py::object get_abbreviations(const Call &) {
    py::dict levels;
    levels["celltype_major"] = table(kMajor);
    levels["celltype_minor"] = table(kMinor);
    levels["celltype_subset"] = table(kSubset);
    return levels;
}

py::object get_abbreviations_uni(const Call &) {
    return table(kUniversal);
}

} // namespace pelorkit::analyka
