// Unpacking of downloaded gz, zip and tar.gz archives in the working directory.
//
// Success returns the name of what was produced, failure returns None. The
// gz, zip and tar.gz unpackers swallow every exception (interruptions too) and
// stay silent; decompress_zip_and_move reports ordinary errors in a message
// and lets interruptions through. Nothing outside the extraction directory is
// touched on behalf of an archive member.
#include "pelorkit/python.hpp"

#include "functions.hpp"
#include "guards.hpp"

#include <string>
#include <utility>

namespace pelorkit::fetchora {
namespace {

const Name gzip_name{"gzip"};
const Name zipfile_name{"zipfile"};
const Name tarfile_name{"tarfile"};
const Name shutil_name{"shutil"};
const Name os_name{"os"};
const Name open_name{"open"};

// Scratch directory of decompress_tar_gz, emptied before and after each use.
constexpr const char *kTarScratch = "extract_tmp";

// `with manager as value: body(value)`: __exit__ sees what the body raised
// and may suppress it, as in a with statement.
template <class Body> void with_context(const py::object &manager, Body &&body) {
    py::object enter = manager.attr("__enter__");
    py::object exit = manager.attr("__exit__");
    py::object value = enter();
    try {
        std::forward<Body>(body)(value);
    } catch (const std::exception &) {
        py::error_already_set error = current_python_error();
        py::object trace = py::none();
        if (error.trace())
            trace = error.trace();
        if (!truthy(exit(error.type(), error.value(), trace)))
            throw error;
        return;
    }
    exit(py::none(), py::none(), py::none());
}

// True when file_out already names the file file_in, under any name or link.
bool same_file(py::handle path, py::handle file_in, py::handle file_out) {
    return truthy(path.attr("exists")(file_out)) &&
           truthy(path.attr("samefile")(file_in, file_out));
}

// Opening file_out for writing would truncate the gzip file under its reader,
// and removing the input afterwards would destroy the only copy.
void refuse_same_file(py::handle path, py::handle file_in, py::handle file_out) {
    if (same_file(path, file_in, file_out))
        throw py::value_error("the output file is the gzip file itself");
}

// zipfile extracts "../x" or "/x" inside the extraction directory, but joined
// onto it such a name points outside; moving from there would take a file that
// is not the member. Backslashes count as separators, as Windows archivers use
// them.
void refuse_escaping_member(py::handle path, py::handle member) {
    const std::string name = py::cast<std::string>(py::str(member));
    bool escapes = truthy(path.attr("isabs")(member)) || name.starts_with('\\');
    std::size_t start = 0;
    while (!escapes && start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        escapes = name.compare(start, end - start, "..") == 0;
        start = end + 1;
    }
    if (escapes) {
        py::str text = py::str("member {!r} would be taken from outside the extraction directory")
                           .format(member);
        PyErr_SetObject(PyExc_ValueError, text.ptr());
        throw py::error_already_set();
    }
}

// tarfile's data filter rewrites absolute names into relative ones; an archive
// that carries them was not made for unpacking here, so it is refused whole.
void refuse_absolute_members(py::handle path, py::handle tar) {
    for (py::handle member : tar.attr("getmembers")()) {
        py::object name = member.attr("name");
        if (truthy(path.attr("isabs")(name)))
            throw py::value_error("absolute member name in tar archive");
    }
}

// dir + ("/%s" % name)
py::object child_path(py::handle dir, py::handle name) {
    return steal(PyUnicode_Concat(dir.ptr(), percent("/%s", name).ptr()));
}

} // namespace

py::object decompress_gz(const Call &call) {
    py::handle file_in = call.arg(0);
    py::handle file_out = call.arg(1);
    py::handle remove_gz = call.arg(2);
    const bool failed = fails([&] {
        refuse_same_file(call.global(os_name).attr("path"), file_in, file_out);
        with_context(call.global(gzip_name).attr("open")(file_in, "rb"), [&](py::handle f_in) {
            with_context(call.global(open_name)(file_out, "wb"), [&](py::handle f_out) {
                // Streams in the library's chunks: memory stays flat for any size.
                call.global(shutil_name).attr("copyfileobj")(f_in, f_out);
            });
        });
        // Only a complete, flushed output lets the input go and is announced.
        if (truthy(remove_gz))
            call.global(os_name).attr("remove")(file_in);
        call.print(text_with("File saved to: ", file_out));
    });
    return failed ? py::none() : py::reinterpret_borrow<py::object>(file_out);
}

py::object decompress_zip(const Call &call) {
    py::handle file_in = call.arg(0);
    py::handle extract_dir = call.arg(1);
    py::handle remove_zip = call.arg(2);
    // zipfile drops absolute prefixes and ".." parts of member names itself,
    // so every member lands under extract_dir.
    const bool failed = fails([&] {
        with_context(call.global(zipfile_name).attr("ZipFile")(file_in, "r"),
                     [&](py::handle zip_ref) {
                         zip_ref.attr("extractall")(extract_dir);
                         if (truthy(remove_zip))
                             call.global(os_name).attr("remove")(file_in);
                         call.print(text_with("Files extracted to: ", extract_dir));
                     });
    });
    return failed ? py::none() : py::reinterpret_borrow<py::object>(extract_dir);
}

py::object decompress_zip_and_move(const Call &call) {
    py::handle file_in = call.arg(0);
    py::handle extract_dir = call.arg(1);
    py::handle remove_zip = call.arg(2);
    try {
        py::object extracted_files = py::none();
        with_context(call.global(zipfile_name).attr("ZipFile")(file_in, "r"),
                     [&](py::handle zip_ref) {
                         zip_ref.attr("extractall")(extract_dir);
                         extracted_files = zip_ref.attr("namelist")();
                     });
        // A folder stored with its file counts as a second name.
        if (py::len(extracted_files) != 1) {
            call.print("Zip 파일에 하나 이상의 파일이 포함되어 있습니다.");
            return py::none();
        }
        py::object member = extracted_files[py::int_(0)];
        py::object path = call.global(os_name).attr("path");
        refuse_escaping_member(path, member);
        // Where zipfile wrote the member; the name holds no ".." and is relative.
        py::object extracted_path = path.attr("normpath")(path.attr("join")(extract_dir, member));
        py::object file_out = path.attr("basename")(member);
        // A member named like the archive replaces it; removing the archive
        // afterwards would delete the result.
        const bool replaces_archive = same_file(path, file_in, file_out);
        call.global(shutil_name).attr("move")(extracted_path, file_out);
        if (truthy(remove_zip) && !replaces_archive)
            call.global(os_name).attr("remove")(file_in);
        call.global(shutil_name).attr("rmtree")(extract_dir);
        return file_out;
    } catch (const std::exception &) {
        py::error_already_set error = current_python_error();
        if (!error.matches(PyExc_Exception))
            throw error;
        call.print(text_with("오류 발생: ", error.value()));
        return py::none();
    }
}

py::object decompress_tar_gz(const Call &call) {
    py::handle file_in = call.arg(0);
    py::handle remove_org = call.arg(1);
    py::object file;
    const bool failed = fails([&] {
        py::object os = call.global(os_name);
        py::object path = os.attr("path");
        py::object shutil = call.global(shutil_name);
        py::str extract_path(kTarScratch);
        if (truthy(path.attr("isdir")(extract_path)))
            shutil.attr("rmtree")(extract_path);
        with_context(call.global(tarfile_name).attr("open")(file_in, "r:gz"), [&](py::handle tar) {
            refuse_absolute_members(path, tar);
            // The data filter refuses members and links that would land outside
            // the scratch directory, and device files.
            tar.attr("extractall")(py::arg("path") = extract_path, py::arg("filter") = "data");
        });
        // The first entry in the file system's order, one directory level deep.
        file = os.attr("listdir")(extract_path)[py::int_(0)];
        py::object file_h5ad = child_path(extract_path, file);
        if (truthy(path.attr("isdir")(file_h5ad))) {
            file = os.attr("listdir")(file_h5ad)[py::int_(0)];
            file_h5ad = child_path(file_h5ad, file);
        }
        // An entry named like the archive replaces it; removing the archive
        // afterwards would delete the result.
        const bool replaces_archive = same_file(path, file_in, file);
        if (truthy(path.attr("isfile")(file)))
            os.attr("remove")(file);
        if (!truthy(path.attr("isfile")(file)))
            shutil.attr("move")(file_h5ad, ".");
        shutil.attr("rmtree")(extract_path);
        if (truthy(remove_org) && !replaces_archive)
            os.attr("remove")(file_in);
        call.print(text_with("File saved to: ", file));
    });
    return failed ? py::none() : file;
}

} // namespace pelorkit::fetchora
