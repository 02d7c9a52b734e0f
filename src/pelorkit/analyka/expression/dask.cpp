// X as a Dask array: one native task per chunk counts the chunk's values > 0
// per group of its rows (each chunk gets the group codes of its rows; chunks
// side by side count disjoint columns), and the per-chunk tables are added up
// in int64. Whatever scheduler is active runs the graph: threads (the kernels
// release the lock), processes or a distributed cluster.
//
// Tasks refer to the per-chunk function by name, so a worker process must be
// able to import it. It lives in the private module pelorkit.analyka._blocks,
// which the start-up puts in sys.modules (as os does with os.path): importing
// it in a fresh worker runs the start-up, which registers it again.
#include "pelorkit/python.hpp"

#include "expression/dask.hpp"
#include "functions.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "pelorkit/interrupts.hpp"
#include "pelorkit/task_context.hpp"

#include <pybind11/numpy.h>

#include <cstring>
#include <string>

namespace pelorkit::analyka {
namespace expression {
namespace {

const char *const kBlockModule = "pelorkit.analyka._blocks";
const Name module_attr_name{"__module__"};
const Name dask_array_name{"dask.array"};
const Name array_type_name{"Array"};
const Name meta_name{"_meta"};

bool is_aligned(py::handle array) {
    return truthy(array.attr("flags").attr("aligned"));
}

// The chunk with its arrays aligned, as the kernels read them: a copy when
// one is not.
py::object aligned(py::handle np, py::handle block) {
    if (py::isinstance<py::array>(block) && !is_aligned(block))
        return np.attr("require")(block, py::none(), "A");
    const std::string format = sparse_format(block);
    if (format == "csr" || format == "csc")
        for (const char *part : {"data", "indices", "indptr"})
            if (py::isinstance<py::array>(block.attr(part)) && !is_aligned(block.attr(part)))
                return block.attr("copy")();
    return py::reinterpret_borrow<py::object>(block);
}

// count_positive_block(block, codes, n_groups): the counts of values > 0 of
// one chunk per group of its rows, as an int64 array of shape
// (1, n_groups, columns of the chunk).
py::object count_positive_block(const Call &call) {
    py::handle block = call.arg(0), codes = call.arg(1);
    const Py_ssize_t n_groups = PyNumber_AsSsize_t(call.arg(2).ptr(), PyExc_OverflowError);
    if (n_groups == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (n_groups < 0)
        throw py::value_error("n_groups must not be negative");

    // The rows' group codes, each in [-1, n_groups). Arrays shipped to a
    // worker process may come unaligned; np.require copies those.
    py::object np = call.global(np_name);
    py::object int64 = np.attr("int64");
    py::object code_array = np.attr("asarray")(codes);
    py::object code_kind = code_array.attr("dtype").attr("kind");
    if (py::len(code_array.attr("shape")) != 1 || !(pyops::holds(code_kind, py::str("i"), Py_EQ) ||
                                                    pyops::holds(code_kind, py::str("u"), Py_EQ)))
        throw py::type_error("codes must be a one-dimensional integer array");
    py::array_t<std::int64_t> wide =
        np.attr("require")(code_array, int64, py::make_tuple("A", "C"));
    std::vector<std::int32_t> row_codes(static_cast<std::size_t>(wide.size()));
    for (std::size_t i = 0; i < row_codes.size(); ++i) {
        const std::int64_t code = wide.data()[i];
        if (code < -1 || code >= n_groups)
            throw py::value_error("group codes must lie in [-1, n_groups)");
        row_codes[i] = static_cast<std::int32_t>(code);
    }
    const std::span<const std::int32_t> row_group(row_codes);
    py::tuple shape = block.attr("shape");
    if (shape.size() != 2 || shape[0].cast<std::size_t>() != row_group.size())
        throw py::value_error("a chunk must be two-dimensional with one group code per row");

    const Grouping groups{row_group, static_cast<std::size_t>(n_groups)};
    std::optional<GroupCounts> counts = count_positive(aligned(np, block), groups, std::nullopt);
    if (!counts) {
        // Chunks no kernel reads (other value types) are compared densely,
        // one chunk at a time.
        py::object dense =
            py::hasattr(block, "toarray") ? block.attr("toarray")() : np.attr("asarray")(block);
        counts = count_positive(np.attr("greater")(dense, 0), groups, std::nullopt);
        if (!counts)
            throw py::type_error("cannot count the values of a chunk of type " +
                                 pyops::type_name(block).cast<std::string>());
    }
    py::array_t<std::int64_t> out(
        std::vector<py::ssize_t>{1, n_groups, static_cast<py::ssize_t>(counts->n_columns)});
    std::memcpy(out.mutable_data(), counts->counts.data(),
                counts->counts.size() * sizeof(std::int64_t));
    return out;
}

const FunctionSpec kBlockFunction{"count_positive_block(block, codes, n_groups)",
                                  count_positive_block};

// The per-chunk function as a worker will import it.
py::object block_function() {
    return py::module_::import(kBlockModule).attr("count_positive_block");
}

// numpy arrays and scipy CSR/CSC chunks, told by the array's meta chunk.
bool readable_chunks(py::handle x) {
    py::object meta = pyops::attribute_if_present(x, meta_name);
    if (!meta)
        return false;
    if (py::isinstance<py::array>(meta))
        return true;
    const std::string format = sparse_format(meta);
    return format == "csr" || format == "csc";
}

// Sizes known along both axes (a chunk size is NaN until computed).
bool known_sizes(py::handle x) {
    py::tuple shape = x.attr("shape");
    if (shape.size() != 2 || !PyIndex_Check(shape[0].ptr()) || !PyIndex_Check(shape[1].ptr()))
        return false;
    for (py::handle size : x.attr("chunks")[py::int_(0)])
        if (!PyIndex_Check(size.ptr()))
            return false;
    return true;
}

} // namespace

bool is_dask_array(py::handle x) {
    // A Dask array (or a subclass, such as anndata's views) exists only once
    // dask.array is imported.
    PyObject *module = PyImport_GetModule(dask_array_name.get());
    if (module == nullptr) {
        if (PyErr_Occurred())
            throw py::error_already_set();
        return false;
    }
    py::object dask_array = py::reinterpret_steal<py::object>(module);
    py::object type = pyops::attribute_if_present(dask_array, array_type_name);
    return type && pyops::is_instance(x, type);
}

std::optional<GroupCounts> count_positive_dask(const Call &call, py::handle x,
                                               const Grouping &groups, const Picked &picked) {
    if (!readable_chunks(x) || !known_sizes(x))
        return std::nullopt;
    py::tuple shape = x.attr("shape");
    const std::size_t n_rows = shape[0].cast<std::size_t>(), n_cols = shape[1].cast<std::size_t>();
    if (n_rows != groups.row_group.size())
        return std::nullopt;
    Picked columns = picked;
    if (columns && columns->size() == n_cols)
        columns.reset(); // every column, in order
    const std::size_t n_out = columns ? columns->size() : n_cols;
    if (n_rows == 0 || n_out == 0 || groups.n_groups == 0)
        return GroupCounts(groups.n_groups, n_out);

    py::module_ da = py::module_::import("dask.array");
    py::object np = call.global(np_name);

    // The group codes, chunked as the rows of X, and the counted columns.
    py::array_t<std::int32_t> codes(static_cast<py::ssize_t>(n_rows));
    std::memcpy(codes.mutable_data(), groups.row_group.data(), n_rows * sizeof(std::int32_t));
    py::object row_chunks = x.attr("chunks")[py::int_(0)];
    py::object codes_chunked =
        da.attr("from_array")(codes, py::arg("chunks") = py::make_tuple(row_chunks));
    py::object matrix = py::reinterpret_borrow<py::object>(x);
    if (columns)
        matrix = matrix[py::make_tuple(
            pyops::full_slice(),
            py::array_t<std::int64_t>(static_cast<py::ssize_t>(n_out), columns->data()))];

    // One (1, groups, chunk columns) table per chunk, summed over the row chunks.
    py::dict new_axes, adjust_chunks;
    new_axes["g"] = py::int_(groups.n_groups);
    adjust_chunks["i"] = py::int_(1);
    py::object int64 = np.attr("int64");
    py::object per_chunk = da.attr("blockwise")(
        block_function(), "igj", matrix, "ij", codes_chunked, "i", py::arg("new_axes") = new_axes,
        py::arg("adjust_chunks") = adjust_chunks, py::arg("dtype") = int64,
        py::arg("meta") = np.attr("empty")(py::make_tuple(0, 0, 0), py::arg("dtype") = int64),
        py::arg("n_groups") = groups.n_groups);
    py::object total = per_chunk.attr("sum")(py::arg("axis") = 0).attr("compute")();

    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> table(total);
    if (table.ndim() != 2 || static_cast<std::size_t>(table.shape(0)) != groups.n_groups ||
        static_cast<std::size_t>(table.shape(1)) != n_out)
        throw std::runtime_error("the per-chunk counts did not add up to a groups x items table");
    GroupCounts result(groups.n_groups, n_out);
    std::memcpy(result.counts.data(), table.data(), result.counts.size() * sizeof(std::int64_t));
    return result;
}

} // namespace expression

void add_block_module(ModuleBuilder &module) {
    py::str name(expression::kBlockModule);
    py::module_ blocks = py::reinterpret_steal<py::module_>(PyModule_NewObject(name.ptr()));
    if (!blocks)
        throw py::error_already_set();
    blocks.doc() = py::str("Per-chunk functions of pelorkit.analyka, importable by worker "
                           "processes (private).");
    py::object function = module.new_function(expression::kBlockFunction);
    function.attr(expression::module_attr_name) = name;
    blocks.attr("count_positive_block") = function;
    py::object budget = module.new_function(kThreadBudgetFunction);
    budget.attr(expression::module_attr_name) = name;
    blocks.attr("thread_budget") = budget;
    if (PyDict_SetItem(PyImport_GetModuleDict(), name.ptr(), blocks.ptr()) < 0)
        throw py::error_already_set();
}

} // namespace pelorkit::analyka
