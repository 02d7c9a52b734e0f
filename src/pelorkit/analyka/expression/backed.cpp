// X read from where it is stored, an HDF5 file or a zarr store (v2 or v3,
// sharded or not; stored.cpp finds it), in blocks: runs of rows for CSR and
// dense X, runs of the counted columns for CSC. Each stored value is read
// once and X is never held whole; while a native thread counts one block
// without the interpreter lock, the next block is read, so reading and
// counting overlap. A view streams when its cells are distinct rows of the
// store (a slice, a mask, positions in any order) and its items any columns;
// a view repeating cells is left to anndata's in-memory subset. A store that
// contradicts itself or its AnnData raises ValueError("X in the file is
// malformed: ..."), and values that are no numbers a TypeError.
#include "pelorkit/python.hpp"

#include "expression/backed.hpp"
#include "expression/stored.hpp"
#include "glue/names.hpp"
#include "glue/pyops.hpp"
#include "pelorkit/interrupts.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>

namespace pelorkit::analyka::expression {
namespace {

const Name oidx_name{"_oidx"};
const Name vidx_name{"_vidx"};

// A block holds at most kMaxBlockBytes of stored values and indices. Smaller
// matrices are cut into about kBlocksPerMatrix blocks, so that reading and
// counting overlap for them too, but of at least kMinBlockBytes: below that a
// thread's hand-over costs more than the overlap gains.
constexpr std::size_t kMaxBlockBytes = std::size_t{32} << 20;
constexpr std::size_t kMinBlockBytes = std::size_t{1} << 20;
constexpr std::size_t kBlocksPerMatrix = 16;

// A block spans at least this many of the store's chunks (zarr decodes whole
// chunks, so a block boundary inside one decodes it twice).
constexpr std::size_t kMinChunksPerBlock = 4;

// Entries per block for a matrix of `total` entries of `entry_bytes` each,
// stored in chunks of `chunk` entries.
std::size_t block_entries(std::size_t total, std::size_t entry_bytes, std::size_t chunk = 1) {
    const std::size_t bytes =
        std::clamp(total / kBlocksPerMatrix * entry_bytes, kMinBlockBytes, kMaxBlockBytes);
    return std::max({std::size_t{1}, bytes / entry_bytes, kMinChunksPerBlock * chunk});
}

[[noreturn]] void malformed_file() {
    malformed_x("its index pointer does not delimit its stored values");
}

// ---- the stored arrays --------------------------------------------------------

std::size_t as_size(py::handle value) {
    return py::int_(py::reinterpret_borrow<py::object>(value)).cast<std::size_t>();
}

std::string dtype_text(py::handle array) {
    return py::str(array.attr(dtype_name)).cast<std::string>();
}

// How the blocks of a stored array become what a kernel reads: as they are,
// as numpy's `> 0` of each value (numbers without a kernel of their own:
// float16, complex, other byte orders), or as int64 (other integer indices).
enum class Conversion { none, positive, int64 };
struct ItemPlan {
    char kind;
    std::size_t itemsize;
    Conversion conversion;
};

ItemPlan plan_of(py::handle array, bool (*readable)(char, std::size_t)) {
    py::object dtype = array.attr(dtype_name);
    const char kind = dtype.attr("kind").cast<std::string>()[0];
    const auto itemsize = dtype.attr("itemsize").cast<std::size_t>();
    if (truthy(dtype.attr("isnative")) && readable(kind, itemsize))
        return {kind, itemsize, Conversion::none};
    return {kind, itemsize, Conversion::positive};
}

// Stored values: numbers (bool, integer, float, complex) or a TypeError.
ItemPlan value_plan(py::handle values) {
    ItemPlan plan = plan_of(values, has_value_scan);
    if (plan.conversion == Conversion::none)
        return plan;
    if (std::string_view("biufc").find(plan.kind) == std::string_view::npos)
        throw py::type_error("X in the file holds values of dtype " + dtype_text(values) +
                             ", not numbers: the fraction of cells with a value > 0 needs "
                             "numeric X (bool, integer or float)");
    return {'b', 1, Conversion::positive};
}

// Stored indices or an index pointer: integers, or the file is malformed.
ItemPlan index_plan(py::handle indices, const char *what) {
    ItemPlan plan = plan_of(indices, [](char kind, std::size_t itemsize) {
        return kind == 'i' && (itemsize == 4 || itemsize == 8);
    });
    if (plan.conversion == Conversion::none)
        return plan;
    if (plan.kind != 'i' && plan.kind != 'u')
        malformed_x(std::string("its ") + what + " are of dtype " + dtype_text(indices) +
                    ", not integers");
    return {'i', 8, Conversion::int64};
}

// A block of a stored array as the plan says the kernel reads it.
py::object converted(py::handle np, py::object block, const ItemPlan &plan) {
    switch (plan.conversion) {
    case Conversion::none:
        return block;
    case Conversion::positive:
        return np.attr("greater")(block, 0);
    case Conversion::int64:
        return block.attr("astype")(np.attr("int64"));
    }
    return block;
}

// The length of the store's chunks along the first axis (1 when unchunked).
std::size_t chunk_length(py::handle array) {
    py::object chunks = py::getattr(array, "chunks", py::none());
    if (!PyTuple_Check(chunks.ptr()) || py::len(chunks) == 0 ||
        !PyIndex_Check(py::tuple(chunks)[0].ptr()))
        return 1;
    return std::max<std::size_t>(1, as_size(py::tuple(chunks)[0]));
}

// The length of a one-dimensional stored array; the file is malformed otherwise.
std::size_t vector_length(py::handle array, const char *what) {
    py::tuple shape = array.attr(shape_name);
    if (shape.size() != 1)
        malformed_x(std::string("its ") + what + " array has shape " +
                    py::repr(shape).cast<std::string>() + ", not one dimension");
    return as_size(shape[0]);
}

// ---- the cells and items of a view ------------------------------------------------

// The positions below n that a view's index picks: a slice, a boolean mask
// or positions in any order; nullopt for negative positions, other indices,
// and (when `distinct`) repeated positions.
std::optional<std::vector<std::int64_t>> view_positions(const Call &call, py::handle index,
                                                        std::size_t n, bool distinct) {
    py::object np = call.global(np_name);
    py::object positions;
    if (PySlice_Check(index.ptr())) {
        positions = np.attr("arange")(n)[index];
    } else {
        py::object array = np.attr("asarray")(index);
        std::optional<ArrayView> ref = ArrayView::of_array(array, 1);
        if (!ref)
            return std::nullopt;
        if (ref->kind() == 'b' && ref->size() == n)
            positions = np.attr("flatnonzero")(array);
        else if (ref->kind() == 'i' || ref->kind() == 'u')
            positions = array;
        else
            return std::nullopt;
    }
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> values(positions);
    std::vector<std::int64_t> out(values.data(), values.data() + values.size());
    std::vector<bool> seen(distinct ? n : 0, false);
    for (std::int64_t p : out) {
        if (p < 0 || static_cast<std::size_t>(p) >= n)
            return std::nullopt;
        if (distinct) {
            if (seen[static_cast<std::size_t>(p)])
                return std::nullopt;
            seen[static_cast<std::size_t>(p)] = true;
        }
    }
    return out;
}

// The file's rows and columns behind the cells and items of the AnnData.
struct FileSelection {
    std::vector<std::int32_t> file_codes; // a view's group codes, one per file row
    bool remapped = false;
    std::size_t row_begin = 0, row_end = 0; // the rows that hold the cells
    Picked columns;                         // file columns to count, ascending; nullopt: all
    // For each output column, its position among the counted ones; nullopt:
    // the counted columns are the output.
    std::optional<std::vector<std::size_t>> gather;

    std::span<const std::int32_t> row_group(const Grouping &groups) const {
        return remapped ? std::span<const std::int32_t>(file_codes) : groups.row_group;
    }
};

// The store's matrix must have a row per cell and a column per item of the
// AnnData it belongs to (a view's: the AnnData it views).
void check_shape(const StoredMatrix &x, py::handle owner) {
    py::tuple shape = owner.attr("shape");
    if (shape.size() == 2 && as_size(shape[0]) == x.n_rows && as_size(shape[1]) == x.n_cols)
        return;
    malformed_x("its shape is (" + std::to_string(x.n_rows) + ", " + std::to_string(x.n_cols) +
                "), but the AnnData has " + py::str(shape[py::int_(0)]).cast<std::string>() +
                " cells in obs and " + py::str(shape[py::int_(1)]).cast<std::string>() +
                " items in var");
}

std::optional<FileSelection> file_selection(const Call &call, py::handle adata,
                                            const StoredMatrix &x, const Grouping &groups,
                                            const Picked &picked) {
    // A view's cells are distinct rows of the file in any order (a repeated
    // cell would count twice); its items any columns.
    std::optional<std::vector<std::int64_t>> rows, cols; // nullopt: all of the file's
    if (truthy(adata.attr("is_view"))) {
        py::object oidx = pyops::attribute_if_present(adata, oidx_name);
        py::object vidx = pyops::attribute_if_present(adata, vidx_name);
        if (!oidx || !vidx)
            return std::nullopt;
        rows = view_positions(call, oidx, x.n_rows, true);
        cols = view_positions(call, vidx, x.n_cols, false);
        if (!rows || !cols)
            return std::nullopt;
    }

    FileSelection sel;
    const std::size_t n_cells = groups.row_group.size();
    if (rows) {
        if (rows->size() != n_cells)
            return std::nullopt;
        sel.remapped = true;
        sel.file_codes.assign(x.n_rows, -1);
        for (std::size_t c = 0; c < n_cells; ++c)
            sel.file_codes[static_cast<std::size_t>((*rows)[c])] = groups.row_group[c];
        if (n_cells > 0) {
            sel.row_begin = static_cast<std::size_t>(*std::min_element(rows->begin(), rows->end()));
            sel.row_end =
                static_cast<std::size_t>(*std::max_element(rows->begin(), rows->end())) + 1;
        }
    } else {
        if (n_cells != x.n_rows)
            return std::nullopt;
        sel.row_end = x.n_rows;
    }

    py::tuple shape = adata.attr("shape");
    const std::size_t n_items = cols ? cols->size() : x.n_cols;
    if (shape.size() != 2 || as_size(shape[1]) != n_items)
        return std::nullopt;
    if (!picked && !cols)
        return sel;
    // The file column of each output column, then those counted: distinct, ascending.
    std::vector<std::int64_t> wanted;
    const std::size_t n_out = picked ? picked->size() : n_items;
    for (std::size_t m = 0; m < n_out; ++m) {
        const std::size_t c = picked ? static_cast<std::size_t>((*picked)[m]) : m;
        if (c >= n_items)
            return std::nullopt;
        wanted.push_back(cols ? (*cols)[c] : static_cast<std::int64_t>(c));
    }
    std::vector<std::int64_t> counted = wanted;
    std::sort(counted.begin(), counted.end());
    counted.erase(std::unique(counted.begin(), counted.end()), counted.end());
    if (counted != wanted) {
        std::vector<std::size_t> gather;
        gather.reserve(wanted.size());
        for (std::int64_t c : wanted)
            gather.push_back(static_cast<std::size_t>(
                std::lower_bound(counted.begin(), counted.end(), c) - counted.begin()));
        sel.gather = std::move(gather);
    }
    if (counted.size() != x.n_cols)
        sel.columns = std::move(counted);
    return sel;
}

// The counts of the counted columns in the order of the output columns.
GroupCounts gathered(const GroupCounts &counted, const std::vector<std::size_t> &gather) {
    GroupCounts out(counted.n_groups, gather.size());
    for (std::size_t g = 0; g < counted.n_groups; ++g)
        for (std::size_t m = 0; m < gather.size(); ++m)
            out.counts[g * gather.size() + m] = counted.counts[g * counted.n_columns + gather[m]];
    return out;
}

// ---- blocks and their overlapped counting ---------------------------------------

// A block read from the file and the scan that counts it into `counts`
// (n_groups x width, for the output columns [offset, offset + width)).
struct Block {
    std::vector<py::object> arrays;      // what the scan reads
    std::vector<std::int32_t> offsets32; // rebased index pointer, in the indices' type
    std::vector<std::int64_t> offsets64;
    std::vector<std::uint32_t> counts;
    std::size_t width = 0, offset = 0;
    std::function<k::Status(k::InterruptPoll)> scan;
    std::function<void()> explain; // raises the error of a malformed block
};

// Runs a block's scan on a thread of its own, without the interpreter lock.
// The scan polls a stop flag, set when Ctrl-C arrives or the reader fails;
// the destructor stops and joins the thread.
class BackgroundScan {
public:
    explicit BackgroundScan(Block &block) : block_(block), done_(result_.get_future()) {
        try {
            thread_ = std::thread([this] {
                try {
                    result_.set_value(block_.scan(k::InterruptPoll{&stopped, &stop_}));
                } catch (...) {
                    result_.set_exception(std::current_exception());
                }
            });
        } catch (const std::system_error &) {
            inline_ = true; // no thread to be had: count when waited for
        }
    }
    BackgroundScan(const BackgroundScan &) = delete;
    BackgroundScan &operator=(const BackgroundScan &) = delete;
    ~BackgroundScan() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    // The scan's status, waited for without the lock; Ctrl-C stops it and
    // raises KeyboardInterrupt here.
    k::Status wait() {
        if (inline_)
            return run_released([&](k::InterruptPoll poll) { return block_.scan(poll); });
        bool interrupted = false;
        {
            GilReleased released;
            while (done_.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
                if (released.poll()) {
                    interrupted = true;
                    break;
                }
            }
        }
        if (interrupted) {
            stop_ = true;
            thread_.join();
            throw py::error_already_set();
        }
        thread_.join();
        return done_.get();
    }

private:
    static bool stopped(void *flag) { return static_cast<std::atomic<bool> *>(flag)->load(); }

    Block &block_;
    std::atomic<bool> stop_{false};
    std::promise<k::Status> result_;
    std::future<k::Status> done_;
    std::thread thread_;
    bool inline_ = false;
};

// Counts every block that next() reads while more() says blocks are left.
// The following block is read while a thread of its own counts the current
// one; the last block, with nothing left to read, is counted here.
template <class Next, class More>
GroupCounts count_blocks(std::size_t n_groups, std::size_t n_out, Next &&next, More &&more) {
    GroupCounts total(n_groups, n_out);
    std::unique_ptr<Block> current = more() ? next() : nullptr;
    while (current) {
        std::unique_ptr<Block> following;
        k::Status status;
        if (more()) {
            BackgroundScan scan(*current);
            following = next();
            status = scan.wait();
        } else {
            status = run_released([&](k::InterruptPoll poll) { return current->scan(poll); });
        }
        if (status != k::Status::done)
            current->explain();
        total.add(current->counts.data(), current->width, current->offset);
        current = std::move(following);
    }
    return total;
}

// ---- reading ----------------------------------------------------------------------

// dataset[start:stop] as a new array: h5py reads simple slices on a fast path.
py::object read_range(py::handle dataset, std::size_t start, std::size_t stop) {
    return dataset[pyops::slice_of(py::int_(start), py::int_(stop))];
}

// The stored entries [from, to) of each run, joined into one array of `size`.
py::object read_runs(py::handle np, py::handle dataset,
                     const std::vector<std::pair<std::size_t, std::size_t>> &runs,
                     std::size_t size) {
    if (runs.size() == 1)
        return read_range(dataset, runs[0].first, runs[0].second);
    py::object joined = np.attr("empty")(size, dataset.attr("dtype"));
    std::size_t at = 0;
    for (auto [from, to] : runs) {
        joined[pyops::slice_of(py::int_(at), py::int_(at + to - from))] =
            read_range(dataset, from, to);
        at += to - from;
    }
    return joined;
}

// A block's array of `size` items as the kernel reads it.
RawVector raw_buffer(py::handle array, int ndim, std::size_t size) {
    std::optional<ArrayView> ref = ArrayView::of_array(array, ndim);
    if (!ref || !ref->c_contiguous() || ref->size() != size)
        throw std::runtime_error("the file returned an unexpected block of X");
    return raw_vector(*ref);
}

// The index pointer entries [start, stop), checked to delimit `n_stored`
// entries; the pointer starts at 0.
std::vector<std::int64_t> read_offsets(py::handle indptr, std::size_t start, std::size_t stop,
                                       std::size_t n_stored) {
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> values(
        indptr[pyops::slice_of(py::int_(start), py::int_(stop))]);
    if (static_cast<std::size_t>(values.size()) != stop - start)
        malformed_file();
    std::vector<std::int64_t> out(values.data(), values.data() + values.size());
    const std::int64_t first = start == 0 ? (out.empty() ? 0 : out[0])
                                          : py::array_t<std::int64_t, py::array::forcecast>(
                                                indptr[pyops::slice_of(py::int_(0), py::int_(1))])
                                                .at(0);
    if (first != 0)
        malformed_x("its index pointer starts at " + std::to_string(first) + ", not 0");
    for (std::size_t i = 0; i < out.size(); ++i)
        if (out[i] < 0 || static_cast<std::size_t>(out[i]) > n_stored ||
            (i > 0 && out[i] < out[i - 1]))
            malformed_file();
    return out;
}

// The three arrays of a compressed X and how the kernels read their blocks.
struct Compressed {
    py::object data, indices, indptr;
    ItemPlan value{}, index{};
    std::size_t n_stored = 0;
    std::size_t chunk = 1; // the store's chunk length of data and indices
};

// The arrays of a CSR (`by_rows`) or CSC matrix, checked against each other:
// one-dimensional, integer indices and pointer, as many indices as values,
// one pointer entry more than rows (CSR) or columns (CSC).
Compressed compressed_arrays(const StoredMatrix &x, bool by_rows) {
    Compressed c;
    c.data = x.element[py::str("data")];
    c.indices = x.element[py::str("indices")];
    c.indptr = x.element[py::str("indptr")];
    const std::size_t n_values = vector_length(c.data, "data");
    const std::size_t n_indices = vector_length(c.indices, "indices");
    const std::size_t n_pointers = vector_length(c.indptr, "indptr");
    c.index = index_plan(c.indices, "indices");
    index_plan(c.indptr, "index pointer entries");
    c.value = value_plan(c.data);
    if (n_values != n_indices)
        malformed_x("it holds " + std::to_string(n_values) + " values but " +
                    std::to_string(n_indices) + " indices");
    const std::size_t n_major = by_rows ? x.n_rows : x.n_cols;
    if (n_pointers != n_major + 1)
        malformed_x("its index pointer has " + std::to_string(n_pointers) + " entries for " +
                    std::to_string(n_major) + (by_rows ? " rows" : " columns") +
                    " (one more is needed)");
    c.n_stored = n_values;
    c.chunk = std::max(chunk_length(c.data), chunk_length(c.indices));
    return c;
}

// Sets the block's index pointer to `offsets` minus the first, in the
// indices' type.
RawVector rebased_offsets(Block &block, std::span<const std::int64_t> offsets,
                          std::size_t itemsize) {
    const std::int64_t base = offsets.empty() ? 0 : offsets.front();
    if (itemsize == 4) {
        for (std::int64_t o : offsets) {
            if (o - base > std::numeric_limits<std::int32_t>::max())
                malformed_file();
            block.offsets32.push_back(static_cast<std::int32_t>(o - base));
        }
        return {reinterpret_cast<const std::byte *>(block.offsets32.data()), 'i', 4,
                block.offsets32.size()};
    }
    for (std::int64_t o : offsets)
        block.offsets64.push_back(o - base);
    return {reinterpret_cast<const std::byte *>(block.offsets64.data()), 'i', 8,
            block.offsets64.size()};
}

// Raises scipy's format error for a compressed block the kernel rejected.
std::function<void()> format_check(Block &block, bool by_rows, std::size_t n_rows,
                                   std::size_t n_cols) {
    return [&block, by_rows, n_rows, n_cols] {
        py::module_ sparse = py::module_::import("scipy.sparse");
        py::array indptr = block.offsets32.empty()
                               ? py::array(py::array_t<std::int64_t>(block.offsets64.size(),
                                                                     block.offsets64.data()))
                               : py::array(py::array_t<std::int32_t>(block.offsets32.size(),
                                                                     block.offsets32.data()));
        py::object matrix = sparse.attr(by_rows ? "csr_matrix" : "csc_matrix")(
            py::make_tuple(block.arrays[0], block.arrays[1], indptr),
            py::arg("shape") = py::make_tuple(n_rows, n_cols));
        matrix.attr("check_format")(py::arg("full_check") = true);
        throw py::value_error("X in the file is malformed");
    };
}

// ---- the three layouts ----------------------------------------------------------

std::span<const std::int64_t> picked_span(const Picked &columns) {
    return columns ? std::span<const std::int64_t>(*columns) : std::span<const std::int64_t>();
}

// Zeroed counts of a block of rows for each group and counted column, and
// the sink its scan counts into (`row_group` points at the block's first row).
k::GroupedCounts row_block_sink(Block &block, std::size_t n_groups, std::size_t n_out,
                                const std::int32_t *row_group, std::size_t n_rows,
                                const Picked &columns) {
    block.counts.assign(n_groups * n_out, 0);
    block.width = n_out;
    return {block.counts.data(), n_groups, row_group, n_rows, picked_span(columns), !columns};
}

GroupCounts stream_csr(const StoredMatrix &x, const FileSelection &sel, const Grouping &groups,
                       py::handle np) {
    const Compressed compressed = compressed_arrays(x, true);
    const Compressed *c = &compressed;
    const std::size_t n_out = sel.columns ? sel.columns->size() : x.n_cols;
    const std::vector<std::int64_t> offsets =
        read_offsets(c->indptr, sel.row_begin, sel.row_end + 1, c->n_stored);
    const std::span<const std::int32_t> row_group = sel.row_group(groups);
    const std::size_t budget =
        block_entries(static_cast<std::size_t>(offsets.back() - offsets.front()),
                      c->value.itemsize + c->index.itemsize, c->chunk);

    std::size_t r = sel.row_begin;
    auto more = [&] { return r < sel.row_end; };
    auto next = [&]() -> std::unique_ptr<Block> {
        // Rows [r, end): at most `budget` entries, at least one row.
        const std::span<const std::int64_t> rest =
            std::span<const std::int64_t>(offsets).subspan(r - sel.row_begin);
        const auto past = std::upper_bound(rest.begin() + 1, rest.end(),
                                           rest.front() + static_cast<std::int64_t>(budget));
        const std::size_t n_rows =
            std::max<std::size_t>(1, static_cast<std::size_t>(past - rest.begin()) - 1);
        const auto p0 = static_cast<std::size_t>(rest[0]);
        const auto p1 = static_cast<std::size_t>(rest[n_rows]);

        auto block = std::make_unique<Block>();
        block->arrays = {converted(np, read_range(c->data, p0, p1), c->value),
                         converted(np, read_range(c->indices, p0, p1), c->index)};
        const RawVector d = raw_buffer(block->arrays[0], 1, p1 - p0);
        const RawVector i = raw_buffer(block->arrays[1], 1, p1 - p0);
        const RawVector p = rebased_offsets(*block, rest.first(n_rows + 1), c->index.itemsize);
        const k::GroupedCounts out = row_block_sink(*block, groups.n_groups, n_out,
                                                    row_group.data() + r, n_rows, sel.columns);
        block->scan = [&, out, d, i, p](k::InterruptPoll poll) {
            return scan_compressed(out, true, x.n_cols, d, i, p, poll);
        };
        block->explain = format_check(*block, true, n_rows, x.n_cols);
        r += n_rows;
        return block;
    };
    return count_blocks(groups.n_groups, n_out, next, more);
}

GroupCounts stream_csc(const StoredMatrix &x, const FileSelection &sel, const Grouping &groups,
                       py::handle np) {
    const Compressed compressed = compressed_arrays(x, false);
    const Compressed *c = &compressed;
    const std::size_t n_out = sel.columns ? sel.columns->size() : x.n_cols;
    const std::vector<std::int64_t> offsets = read_offsets(c->indptr, 0, x.n_cols + 1, c->n_stored);
    auto column = [&](std::size_t m) {
        return sel.columns ? static_cast<std::size_t>((*sel.columns)[m]) : m;
    };
    auto entries = [&](std::size_t m) {
        return static_cast<std::size_t>(offsets[column(m) + 1] - offsets[column(m)]);
    };
    std::size_t total = 0;
    for (std::size_t m = 0; m < n_out; ++m)
        total += entries(m);
    const std::size_t budget =
        block_entries(total, c->value.itemsize + c->index.itemsize, c->chunk);
    const std::span<const std::int32_t> row_group = sel.row_group(groups);

    std::size_t m = 0;
    auto more = [&] { return m < n_out; };
    auto next = [&]() -> std::unique_ptr<Block> {
        // Counted columns [m, end): at most `budget` entries, at least one column.
        std::size_t end = m + 1, size = entries(m);
        while (end < n_out && size + entries(end) <= budget)
            size += entries(end++);
        // Each run of adjacent file columns in one read.
        std::vector<std::pair<std::size_t, std::size_t>> runs;
        std::vector<std::int64_t> block_offsets{0};
        for (std::size_t j = m; j < end; ++j) {
            const auto from = static_cast<std::size_t>(offsets[column(j)]);
            const auto to = static_cast<std::size_t>(offsets[column(j) + 1]);
            if (j > m && column(j) == column(j - 1) + 1)
                runs.back().second = to;
            else
                runs.emplace_back(from, to);
            block_offsets.push_back(block_offsets.back() + static_cast<std::int64_t>(to - from));
        }
        auto block = std::make_unique<Block>();
        block->arrays = {converted(np, read_runs(np, c->data, runs, size), c->value),
                         converted(np, read_runs(np, c->indices, runs, size), c->index)};
        const RawVector d = raw_buffer(block->arrays[0], 1, size);
        const RawVector i = raw_buffer(block->arrays[1], 1, size);
        const RawVector p = rebased_offsets(*block, block_offsets, c->index.itemsize);
        const std::size_t width = end - m;
        block->counts.assign(groups.n_groups * width, 0);
        block->width = width;
        block->offset = m;
        Block *b = block.get();
        block->scan = [&, b, width, d, i, p](k::InterruptPoll poll) {
            const k::GroupedCounts out{
                b->counts.data(), groups.n_groups, row_group.data(), x.n_rows, {}, true};
            return scan_compressed(out, false, width, d, i, p, poll);
        };
        block->explain = format_check(*block, false, x.n_rows, width);
        m = end;
        return block;
    };
    return count_blocks(groups.n_groups, n_out, next, more);
}

GroupCounts stream_dense(const StoredMatrix &x, const FileSelection &sel, const Grouping &groups,
                         py::handle np) {
    const ItemPlan plan = value_plan(x.element);
    const ItemPlan *value = &plan;
    const std::size_t n_out = sel.columns ? sel.columns->size() : x.n_cols;
    if (x.n_cols == 0)
        return GroupCounts(groups.n_groups, n_out);
    // Whole chunks of rows where the store has them.
    const std::size_t chunk_rows = chunk_length(x.element);
    std::size_t rows_per_block = std::max<std::size_t>(
        1, block_entries((sel.row_end - sel.row_begin) * x.n_cols, value->itemsize) / x.n_cols);
    if (chunk_rows > 1)
        rows_per_block = std::max(chunk_rows, rows_per_block / chunk_rows * chunk_rows);
    const std::span<const std::int32_t> row_group = sel.row_group(groups);

    std::size_t r = sel.row_begin;
    auto more = [&] { return r < sel.row_end; };
    auto next = [&]() -> std::unique_ptr<Block> {
        const std::size_t n_rows = std::min(sel.row_end - r, rows_per_block);
        auto block = std::make_unique<Block>();
        block->arrays = {converted(np, read_range(x.element, r, r + n_rows), *value)};
        const RawVector v = raw_buffer(block->arrays[0], 2, n_rows * x.n_cols);
        const std::ptrdiff_t row_stride = static_cast<std::ptrdiff_t>(x.n_cols * value->itemsize);
        const std::ptrdiff_t col_stride = static_cast<std::ptrdiff_t>(value->itemsize);
        const k::GroupedCounts out = row_block_sink(*block, groups.n_groups, n_out,
                                                    row_group.data() + r, n_rows, sel.columns);
        block->scan = [&, out, v, row_stride, col_stride](k::InterruptPoll poll) {
            return scan_dense(out, x.n_cols, v, row_stride, col_stride, poll);
        };
        block->explain = [] { throw py::value_error("X in the file is malformed"); };
        r += n_rows;
        return block;
    };
    return count_blocks(groups.n_groups, n_out, next, more);
}

} // namespace

std::optional<GroupCounts> count_positive_stored(const Call &call, py::handle adata,
                                                 const Grouping &groups, const Picked &picked) {
    // X where it is stored, and the rows and columns the AnnData covers.
    std::optional<StoredX> stored = stored_x(adata);
    if (!stored)
        return std::nullopt;
    const StoredMatrix &x = stored->matrix;
    check_shape(x, stored->owner);
    if (x.n_rows > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    std::optional<FileSelection> sel = file_selection(call, adata, x, groups, picked);
    if (!sel)
        return std::nullopt;

    py::object np = call.global(np_name);
    GroupCounts counts = [&] {
        switch (x.layout) {
        case Layout::csr:
            return stream_csr(x, *sel, groups, np);
        case Layout::csc:
            return stream_csc(x, *sel, groups, np);
        case Layout::dense:
            break;
        }
        return stream_dense(x, *sel, groups, np);
    }();
    if (sel->gather)
        return gathered(counts, *sel->gather);
    return counts;
}

} // namespace pelorkit::analyka::expression
