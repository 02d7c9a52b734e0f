// pelorkit.fetchora: the data-loading module. Its start-up imports what the
// loaders need, then binds the functions and the three data-set catalogs in
// the order below. Read this file first.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "pelorkit/module.hpp"

namespace pelorkit::fetchora {
namespace {

const FunctionSpec kDownloadAndUnpack[] = {
    {"download_from_google_drive(file_id, out_path='downloaded')", download_from_google_drive},
    {"decompress_gz(file_in, file_out, remove_gz=True)", decompress_gz},
    {"decompress_zip(file_in, extract_dir='./', remove_zip=True)", decompress_zip},
    {"decompress_zip_and_move(file_in, extract_dir='temp_extract', remove_zip=True)",
     decompress_zip_and_move},
    {"decompress_tar_gz(file_in, remove_org=True)", decompress_tar_gz},
};

const FunctionSpec kSampleLoaders[] = {
    {"load_h5ad(tissue, file_type='zip')", load_h5ad},
    {"load_anndata(tissue, file_type='zip')", load_anndata},
    {"load_sample_data(file_id_or_tissue_name, file_type='zip')", load_sample_data},
};

const FunctionSpec kProcessedLoaders[] = {
    {"load_pelor_processed_anndata(tissue=None, file_type='tar.gz')", load_pelor_processed_anndata},
    {"load_pelor_processed_sample_data(file_id_or_tissue_name=None, file_type='tar.gz')",
     load_pelor_processed_sample_data},
};

void startup(ModuleBuilder &module) {
    for (const char *name : {"gdown", "gzip", "shutil", "os", "tarfile"})
        module.import_as(name);
    for (const char *name : {"anndata", "zipfile"})
        module.import_as(name);
    module.add_functions(kDownloadAndUnpack);
    bind_sample_catalogs(module);
    module.add_functions(kSampleLoaders);
    bind_processed_catalog(module);
    module.add_functions(kProcessedLoaders);
}

} // namespace
} // namespace pelorkit::fetchora

PyMODINIT_FUNC PyInit_fetchora() {
    return pelorkit::define_module<pelorkit::fetchora::startup>(
        "pelorkit.fetchora",
        "Download, unpack and load example and processed single-cell data sets.");
}
