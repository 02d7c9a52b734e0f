// Where X is stored: the HDF5 or zarr element behind an AnnData's X. A
// backed AnnData names its file; anndata's sparse datasets name their group;
// an h5py dataset or zarr array is the element. A Dask array is read from its
// store when it is one of the two kinds that only wrap a stored array:
// anndata's lazy reader (read_lazy, read_elem_lazy), whose every chunk task
// calls make_dask_chunk with the file's path (HDF5) or a sparse dataset
// (zarr) and the element's name, and dask's from_array / from_zarr, which
// keep the array as a layer "original-<name>" of the graph. Anything else in
// a graph is left to the scheduler.
#include "pelorkit/python.hpp"

#include "expression/dask.hpp"
#include "expression/stored.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"

#include <string>

namespace pelorkit::analyka::expression {
namespace {

const Name isbacked_name{"isbacked"};
const Name is_view_name{"is_view"};
const Name adata_ref_name{"_adata_ref"};
const Name X_name{"X"};
const Name dunder_name_name{"__name__"};
const Name dunder_module_name{"__module__"};

bool is_stored_array(py::handle element) {
    return pyops::is_instance_of_imported(element, "h5py", "Dataset") ||
           pyops::is_instance_of_imported(element, "zarr", "Array");
}

bool is_stored_group(py::handle element) {
    return pyops::is_instance_of_imported(element, "h5py", "Group") ||
           pyops::is_instance_of_imported(element, "zarr", "Group");
}

// anndata's CSR and CSC datasets (anndata.io.sparse_dataset), over an h5py
// or a zarr group.
bool is_sparse_dataset(py::handle x) {
    return pyops::is_instance_of_imported(x, "anndata._core.sparse_dataset",
                                          "BaseCompressedSparseDataset");
}

std::size_t stored_size(py::handle value) {
    return py::int_(py::reinterpret_borrow<py::object>(value)).cast<std::size_t>();
}

// The "shape" attribute of a sparse group: two sizes.
std::pair<std::size_t, std::size_t> shape_attribute(py::handle shape) {
    const std::string problem =
        "its shape attribute is " + py::repr(shape).cast<std::string>() + ", not two sizes";
    py::list sizes;
    try {
        sizes = pyops::as_list(shape);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        malformed_x(problem);
    }
    if (sizes.size() != 2)
        malformed_x(problem);
    std::size_t out[2];
    for (std::size_t i = 0; i < 2; ++i) {
        PyObject *size = sizes[i].ptr();
        if (!PyIndex_Check(size) || PyBool_Check(size))
            malformed_x(problem);
        const Py_ssize_t n = PyNumber_AsSsize_t(size, nullptr);
        if (n < 0) {
            PyErr_Clear();
            malformed_x(problem);
        }
        out[i] = static_cast<std::size_t>(n);
    }
    return {out[0], out[1]};
}

// The element as a matrix the stream reads; nullopt for elements that are
// no matrix (another encoding, other dimensions).
std::optional<StoredMatrix> stored_matrix(py::handle element) {
    if (is_stored_array(element)) {
        py::tuple shape = element.attr(shape_name);
        if (shape.size() != 2)
            return std::nullopt;
        return StoredMatrix{Layout::dense, py::reinterpret_borrow<py::object>(element),
                            stored_size(shape[0]), stored_size(shape[1])};
    }
    if (!is_stored_group(element))
        return std::nullopt;
    py::object attrs = element.attr("attrs");
    py::object encoding = attrs.attr("get")("encoding-type");
    Layout layout;
    if (pyops::holds(encoding, py::str("csr_matrix"), Py_EQ))
        layout = Layout::csr;
    else if (pyops::holds(encoding, py::str("csc_matrix"), Py_EQ))
        layout = Layout::csc;
    else
        return std::nullopt;
    for (const char *part : {"data", "indices", "indptr"})
        if (!pyops::contains(element, py::str(part)))
            malformed_x(std::string("its group has no array '") + part + "'");
    py::object shape = attrs.attr("get")("shape");
    if (shape.is_none())
        malformed_x("its group has no shape attribute");
    const auto [n_rows, n_cols] = shape_attribute(shape);
    return StoredMatrix{layout, py::reinterpret_borrow<py::object>(element), n_rows, n_cols};
}

// ---- Dask arrays that wrap a stored array ---------------------------------------

// Whether `func` is the function anndata's lazy reader makes each chunk of a
// stored array with, known by its name and package (it is found in the task
// itself, so anndata's private module need not be imported).
bool is_anndata_chunk_maker(py::handle func) {
    py::object name = pyops::attribute_if_present(func, dunder_name_name);
    py::object module = pyops::attribute_if_present(func, dunder_module_name);
    if (!name || !module || !PyUnicode_Check(name.ptr()) || !PyUnicode_Check(module.ptr()))
        return false;
    const std::string package = module.cast<std::string>();
    return name.cast<std::string>() == "make_dask_chunk" &&
           (package == "anndata" || package.rfind("anndata.", 0) == 0);
}

// The functools.partial of anndata's chunk maker inside a task, as dask spells
// tasks: tuples and lists (older releases), or task objects holding their
// function, arguments and data as attributes (dask 2024.12 on).
py::object find_partial(py::handle obj, py::handle partial_type, int depth) {
    if (depth < 0)
        return py::object();
    if (pyops::is_instance(obj, partial_type))
        return is_anndata_chunk_maker(obj.attr("func")) ? py::reinterpret_borrow<py::object>(obj)
                                                        : py::object();
    auto search = [&](py::handle items) -> py::object {
        for (py::handle item : items)
            if (py::object found = find_partial(item, partial_type, depth - 1))
                return found;
        return py::object();
    };
    if (PyTuple_Check(obj.ptr()) || PyList_Check(obj.ptr()))
        return search(obj);
    if (PyDict_Check(obj.ptr()))
        return search(py::reinterpret_borrow<py::dict>(obj).attr("values")());
    const std::string module = py::str(py::type::of(obj).attr("__module__")).cast<std::string>();
    if (module.rfind("dask", 0) != 0)
        return py::object();
    for (const char *part : {"func", "args", "kwargs", "value", "dsk"}) {
        if (!py::hasattr(obj, part))
            continue;
        py::object value = obj.attr(part);
        py::list one;
        one.append(value);
        if (py::object found = search(one))
            return found;
    }
    return py::object();
}

// The element anndata's lazy reader reads X's chunks from.
py::object lazily_read_element(py::handle graph, py::handle name, OpenedFile &opened) {
    py::object task = graph[py::make_tuple(name, 0, 0)];
    py::object partial_type = py::module_::import("functools").attr("partial");
    py::object partial = find_partial(task, partial_type, 8);
    if (!partial)
        return py::object();
    py::tuple args = partial.attr("args");
    if (args.size() != 2 || !partial.attr("keywords").cast<py::dict>().empty())
        return py::object();
    py::handle source = args[0], element_name = args[1];
    if (is_sparse_dataset(source))
        return source.attr("group");
    if (!pyops::is_instance(source, py::module_::import("pathlib").attr("PurePath")))
        return py::object();
    // Each chunk task opens the file by its path, as this does once.
    py::object file = py::module_::import("h5py").attr("File")(source, "r");
    opened = OpenedFile(file);
    return file[element_name];
}

// The stored array or group a Dask array only wraps, or an empty object.
py::object wrapped_element(py::handle x, OpenedFile &opened) {
    py::tuple shape = x.attr(shape_name);
    if (shape.size() != 2)
        return py::object();
    py::object graph = x.attr("dask");
    py::object layers = graph.attr("layers");
    py::object name = x.attr("name");
    const std::size_t n_layers = py::len(layers);
    if (n_layers == 2) {
        py::object original = pyops::add(py::str("original-"), name);
        if (!pyops::contains(layers, name) || !pyops::contains(layers, original))
            return py::object();
        py::object array = graph[original];
        return is_stored_array(array) ? array : py::object();
    }
    if (n_layers != 1 || !pyops::contains(layers, name))
        return py::object();
    return lazily_read_element(graph, name, opened);
}

bool same_shape(const StoredMatrix &m, py::handle x) {
    py::tuple shape = x.attr(shape_name);
    return shape.size() == 2 && PyIndex_Check(shape[0].ptr()) && PyIndex_Check(shape[1].ptr()) &&
           stored_size(shape[0]) == m.n_rows && stored_size(shape[1]) == m.n_cols;
}

std::optional<StoredX> stored_x_of(py::handle x) {
    OpenedFile opened;
    py::object element;
    const bool dask = is_dask_array(x);
    if (is_stored_array(x))
        element = py::reinterpret_borrow<py::object>(x);
    else if (is_sparse_dataset(x))
        element = x.attr("group");
    else if (dask) {
        // A graph of another shape is not what it seemed: the scheduler runs it.
        try {
            element = wrapped_element(x, opened);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            return std::nullopt;
        }
    }
    if (!element)
        return std::nullopt;
    std::optional<StoredMatrix> matrix = stored_matrix(element);
    if (!matrix || (dask && !same_shape(*matrix, x)))
        return std::nullopt;
    return StoredX{std::move(*matrix), py::object(), std::move(opened)};
}

} // namespace

OpenedFile::~OpenedFile() {
    if (!file_)
        return;
    // Closing must not replace an error on its way out.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *closed = PyObject_CallMethod(file_.ptr(), "close", nullptr);
    if (closed == nullptr)
        PyErr_Clear();
    Py_XDECREF(closed);
    PyErr_Restore(type, value, traceback);
}

std::optional<StoredX> stored_x(py::handle adata) {
    py::object anndata_type = pyops::imported_attribute("anndata", "AnnData");
    if (!anndata_type || !pyops::is_instance(adata, anndata_type))
        return std::nullopt;
    // A view's cells and items are positions in the AnnData it views.
    py::object root = py::reinterpret_borrow<py::object>(adata);
    if (truthy(adata.attr(is_view_name))) {
        root = pyops::attribute_if_present(adata, adata_ref_name);
        if (!root)
            return std::nullopt;
    }
    if (truthy(adata.attr(isbacked_name))) {
        py::object file = adata.attr("file");
        // Reading adata.X opens a closed file the same way.
        if (!truthy(file.attr("is_open")))
            file.attr("open")();
        if (!pyops::contains(file, py::str("X")))
            return std::nullopt;
        std::optional<StoredMatrix> matrix = stored_matrix(file[py::str("X")]);
        if (!matrix)
            return std::nullopt;
        return StoredX{std::move(*matrix), root, OpenedFile()};
    }
    // A view's own X would be loaded (or sliced by Dask): the X it views is read.
    py::object x = pyops::attribute_if_present(root, X_name);
    if (!x || x.is_none())
        return std::nullopt;
    std::optional<StoredX> stored = stored_x_of(x);
    if (stored)
        stored->owner = std::move(root);
    return stored;
}

void malformed_x(const std::string &what) {
    throw py::value_error("X in the file is malformed: " + what);
}

} // namespace pelorkit::analyka::expression
