// Declarations of every function of pelorkit.fetchora, grouped by topic file.
#pragma once

#include "pelorkit/module.hpp"
#include "pelorkit/pyfunction.hpp"

namespace pelorkit::fetchora {

// catalogs.cpp: data-set names to file identifiers of the file-hosting service.
void bind_sample_catalogs(ModuleBuilder &module);
void bind_processed_catalog(ModuleBuilder &module);

// download.cpp
py::object download_from_google_drive(const Call &call);

// archive.cpp: unpacking downloaded archives in the working directory.
py::object decompress_gz(const Call &call);
py::object decompress_zip(const Call &call);
py::object decompress_zip_and_move(const Call &call);
py::object decompress_tar_gz(const Call &call);

// loaders.cpp: a data-set name or file identifier to an AnnData.
py::object load_h5ad(const Call &call);
py::object load_anndata(const Call &call);
py::object load_sample_data(const Call &call);
py::object load_pelor_processed_anndata(const Call &call);
py::object load_pelor_processed_sample_data(const Call &call);

} // namespace pelorkit::fetchora
