// The sample-data loaders: a data-set name or file identifier to an AnnData.
//
// A name is looked up in its catalog as the catalog is at the time of the
// call; the file is downloaded to "downloaded", unpacked as file_type says and
// read with anndata. Which failures print, which return None quietly and which
// propagate differs per loader; callers rely on each loader's own behaviour.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "guards.hpp"

#include <optional>

namespace pelorkit::fetchora {
namespace {

const Name sample_catalog_name{"sample_data_fid_dict"};
const Name processed_catalog_name{"processed_sample_data_fid_dict"};
const Name anndata_name{"anndata"};
const Name download_name{"download_from_google_drive"};
const Name decompress_tar_gz_name{"decompress_tar_gz"};
const Name decompress_gz_name{"decompress_gz"};
const Name decompress_zip_and_move_name{"decompress_zip_and_move"};
const Name load_h5ad_name{"load_h5ad"};
const Name load_anndata_name{"load_anndata"};
const Name load_processed_anndata_name{"load_pelor_processed_anndata"};

// The accepted names: the catalog's keys in insertion order.
py::list accepted_names(py::handle catalog) {
    return py::list(catalog.attr("keys")());
}

bool contains(const py::list &tlst, py::handle name) {
    const int found = PySequence_Contains(tlst.ptr(), name.ptr());
    if (found < 0)
        throw py::error_already_set();
    return found != 0;
}

// message % ', '.join(tlst)
py::object with_names(const char *message, const py::list &tlst) {
    return percent(message, py::str(", ").attr("join")(tlst));
}

bool equals(py::handle value, const char *text) {
    const int equal = PyObject_RichCompareBool(value.ptr(), make_str(text).ptr(), Py_EQ);
    if (equal < 0)
        throw py::error_already_set();
    return equal != 0;
}

py::object read_h5ad(const Call &call, py::handle file_h5ad) {
    return call.global(anndata_name).attr("read_h5ad")(file_h5ad);
}

// The unpacking step file_type names ("tar.gz", "gz", "zip", tested in this
// order) applied to the download: its result, a path or None, or nothing when
// file_type names none of them. A gz file is written to "<tissue>.h5ad" for a
// download by name and to "downloaded.h5ad" for one by identifier (no tissue).
std::optional<py::object> unpack(const Call &call, py::handle file_type, py::handle file_down,
                                 py::handle tissue) {
    if (equals(file_type, "tar.gz"))
        return call.global(decompress_tar_gz_name)(file_down, py::arg("remove_org") = true);
    if (equals(file_type, "gz")) {
        py::object file_out = tissue ? percent("%s.h5ad", tissue) : make_str("downloaded.h5ad");
        return call.global(decompress_gz_name)(file_down, file_out, py::arg("remove_gz") = true);
    }
    if (equals(file_type, "zip"))
        return call.global(decompress_zip_and_move_name)(file_down, py::arg("remove_zip") = true);
    return std::nullopt;
}

void print_unknown_tissue(const Call &call, const py::list &tlst) {
    call.print(with_names("tissue must be one of %s. ", tlst));
}

void print_unknown_file_id(const Call &call, const py::list &tlst) {
    call.print("ERROR: The file_id you requested does not exist.");
    call.print(with_names("You can try one of %s. ", tlst));
}

constexpr const char *kWrongFileType = "ERROR: The file_type might be a wrong one.";

} // namespace

py::object load_h5ad(const Call &call) {
    py::handle tissue = call.arg(0);
    py::handle file_type = call.arg(1);
    py::object catalog = call.global(sample_catalog_name);
    py::list tlst = accepted_names(catalog);
    if (!contains(tlst, tissue)) {
        print_unknown_tissue(call, tlst);
        return py::none();
    }
    py::object file_id = catalog[tissue];
    py::object file_down = call.global(download_name)(file_id);
    std::optional<py::object> file_h5ad = unpack(call, file_type, file_down, tissue);
    if (!file_h5ad)
        return py::none();
    // Only proves the file loads; the object is dropped before the caller reads it again.
    read_h5ad(call, *file_h5ad);
    return *file_h5ad;
}

py::object load_anndata(const Call &call) {
    py::object file_h5ad =
        call.global(load_h5ad_name)(call.arg(0), py::arg("file_type") = call.arg(1));
    if (file_h5ad.is_none())
        return py::none();
    return read_h5ad(call, file_h5ad);
}

py::object load_sample_data(const Call &call) {
    py::handle name = call.arg(0);
    py::handle file_type = call.arg(1);
    py::object catalog = call.global(sample_catalog_name);
    py::list tlst = accepted_names(catalog);
    if (contains(tlst, name))
        return call.global(load_anndata_name)(name, file_type);

    // Not a catalog name: taken as a file identifier.
    py::object file_down;
    if (fails([&] { file_down = call.global(download_name)(name); })) {
        print_unknown_file_id(call, tlst);
        return py::none();
    }
    std::optional<py::object> file_h5ad = unpack(call, file_type, file_down, py::handle());
    if (!file_h5ad || file_h5ad->is_none()) {
        call.print(kWrongFileType);
        call.print("You can try with one of tar.gz or gz for file_type argument. ");
        call.print(with_names("Or, You can try one of %s for file_id_or_tissue_name. ", tlst));
        return py::none();
    }
    py::object adata;
    if (fails([&] { adata = read_h5ad(call, *file_h5ad); })) {
        call.print("ERROR: Cannot read the downloaded file.");
        call.print(with_names("You can try one of %s for file_id_or_tissue_name. ", tlst));
        return py::none();
    }
    return adata;
}

py::object load_pelor_processed_anndata(const Call &call) {
    py::handle tissue = call.arg(0);
    py::handle file_type = call.arg(1);
    py::object catalog = call.global(processed_catalog_name);
    py::list tlst = accepted_names(catalog);
    if (!contains(tlst, tissue)) {
        print_unknown_tissue(call, tlst);
        return py::none();
    }
    py::object file_id = catalog[tissue];
    py::object file_h5ad = py::none();
    if (fails([&] {
            py::object file_down = call.global(download_name)(file_id);
            if (std::optional<py::object> unpacked = unpack(call, file_type, file_down, tissue))
                file_h5ad = *unpacked;
        }))
        return py::none();
    if (file_h5ad.is_none())
        return py::none();
    return read_h5ad(call, file_h5ad);
}

py::object load_pelor_processed_sample_data(const Call &call) {
    py::handle name = call.arg(0);
    py::handle file_type = call.arg(1);
    py::object catalog = call.global(processed_catalog_name);
    py::list tlst = accepted_names(catalog);
    if (contains(tlst, name))
        return call.global(load_processed_anndata_name)(name, file_type);

    // Not a catalog name (None included): taken as a file identifier.
    py::object file_down;
    if (fails([&] { file_down = call.global(download_name)(name); })) {
        print_unknown_file_id(call, tlst);
        return py::none();
    }
    // A failed unpacking hands None to the reader, whose error propagates.
    if (std::optional<py::object> file_h5ad = unpack(call, file_type, file_down, py::handle()))
        return read_h5ad(call, *file_h5ad);
    call.print(kWrongFileType);
    call.print("You can try with one of tar.gz, zip, or gz for file_type argument. ");
    return py::none();
}

} // namespace pelorkit::fetchora
