// The data-set catalogs: data-set names (tissues, diseases and their
// abbreviations) mapped to file identifiers of the file-hosting service.
//
// The data sets are not published yet, so the identifiers are placeholders
// that name their catalog and data set. A user can point a key at a file of
// their own: fetchora.sample_data_fid_dict["Lung"] = "<file id>".
#include "pelorkit/python.hpp"

#include "functions.hpp"

namespace pelorkit::fetchora {
namespace {

struct CatalogEntry {
    const char *name;
    const char *file_id;
};

const CatalogEntry kSampleGz[] = {
    {"Breast", "unpublished-gz-breast____________"},
    {"BC", "unpublished-gz-breast____________"},
    {"BRCA", "unpublished-gz-breast____________"},
    {"Colitis-hs", "unpublished-gz-colitis-hs________"},
    {"Colitis-mm", "unpublished-gz-colitis-mm________"},
    {"Colon", "unpublished-gz-colon_____________"},
    {"CRC", "unpublished-gz-colon_____________"},
    {"Intestine", "unpublished-gz-colon_____________"},
    {"Lung", "unpublished-gz-lung______________"},
    {"NSCLC", "unpublished-gz-lung______________"},
    {"Melanoma", "unpublished-gz-melanoma__________"},
    {"Pancreas", "unpublished-gz-pancreas__________"},
    {"PDAC", "unpublished-gz-pancreas__________"},
};

const CatalogEntry kSampleZip[] = {
    {"Breast", "unpublished-zip-breast___________"},
    {"BC", "unpublished-zip-breast___________"},
    {"BRCA", "unpublished-zip-breast___________"},
    {"Colitis-hs", "unpublished-zip-colitis-hs_______"},
    {"Colitis-mm", "unpublished-zip-colitis-mm_______"},
    {"Colon", "unpublished-zip-colon____________"},
    {"CRC", "unpublished-zip-colon____________"},
    {"Intestine", "unpublished-zip-colon____________"},
    {"Lung", "unpublished-zip-lung_____________"},
    {"NSCLC", "unpublished-zip-lung_____________"},
    {"Melanoma", "unpublished-zip-melanoma_________"},
    {"Pancreas", "unpublished-zip-pancreas_________"},
    {"PDAC", "unpublished-zip-pancreas_________"},
};

const CatalogEntry kProcessedTarGz[] = {
    {"Lung", "unpublished-proc-lung____________"},
    {"NSCLC", "unpublished-proc-lung____________"},
    {"Colon", "unpublished-proc-colon___________"},
    {"CRC", "unpublished-proc-colon___________"},
    {"Breast", "unpublished-proc-breast__________"},
    {"BC", "unpublished-proc-breast__________"},
    {"BRCA", "unpublished-proc-breast__________"},
    {"Pancreas", "unpublished-proc-pancreas________"},
    {"PDAC", "unpublished-proc-pancreas________"},
    {"Colitis-mm", "unpublished-proc-colitis-mm______"},
    {"Colitis-hs", "unpublished-proc-colitis-hs______"},
    {"Colitis-mm-full", "unpublished-proc-colitis-mm-full_"},
    {"Brain", "unpublished-proc-brain___________"},
    {"Liver(normal)", "unpublished-proc-liver-normal____"},
    {"Kidney(normal)", "unpublished-proc-kidney-normal___"},
};

template <std::size_t N> py::dict make_catalog(const CatalogEntry (&entries)[N]) {
    py::dict catalog;
    for (const CatalogEntry &entry : entries)
        catalog[py::str(entry.name)] = py::str(entry.file_id);
    return catalog;
}

} // namespace

void bind_sample_catalogs(ModuleBuilder &module) {
    module.bind("sample_data_fid_dict_gz", make_catalog(kSampleGz));
    module.bind("sample_data_fid_dict", make_catalog(kSampleZip));
}

void bind_processed_catalog(ModuleBuilder &module) {
    module.bind("processed_sample_data_fid_dict", make_catalog(kProcessedTarGz));
}

} // namespace pelorkit::fetchora
