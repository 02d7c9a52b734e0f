// Positive-entry counts per group of rows and column for CSR, CSC and dense
// buffers. Rows (CSR) and columns (CSC) whose indices strictly increase are
// counted entry by entry; any other one is summed per position first, so
// duplicates behave as in the dense matrix. CSR rows count into one byte per
// group and column, added into the counts every 255 rows of a group. Large
// scans run in pieces on the thread pool (parallel.hpp).
#include "sparse.hpp"
#include "parallel.hpp"
#include "pelorkit/compiler.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

namespace pelorkit::kernels {
namespace {

template <class V> inline bool is_positive(V v) {
    return v > V(0);
}
inline bool is_positive(NumpyBool v) {
    return v.value != 0;
}
// scipy adds the entries of one position in the value type (so integers
// wrap); its bool wrapper or-s them.
template <class V> inline V combine(V a, V b) {
    return static_cast<V>(a + b);
}
inline NumpyBool combine(NumpyBool a, NumpyBool b) {
    return {static_cast<std::uint8_t>(a.value != 0 || b.value != 0)};
}

template <class V> inline std::uint32_t one_if_positive(V v) {
    return is_positive(v) ? 1U : 0U;
}
template <class V> inline std::uint8_t byte_one_if_positive(V v) {
    return is_positive(v) ? std::uint8_t{1} : std::uint8_t{0};
}

template <class V> inline V load(const std::byte *p) {
    V v;
    std::memcpy(&v, p, sizeof(V));
    return v;
}

// Sums of the entries stored for each position of one row (or column),
// starting from zero as a dense matrix does. Allocated on first use only.
template <class V> class PositionSums {
public:
    explicit PositionSums(std::size_t size) : size_(size) {}

    void add(std::size_t pos, V value) {
        if (stamp_.empty()) {
            stamp_.assign(size_, 0);
            sum_.resize(size_);
        }
        if (stamp_[pos] != epoch_) {
            stamp_[pos] = epoch_;
            sum_[pos] = V{};
            touched_.push_back(pos);
        }
        sum_[pos] = combine(sum_[pos], value);
    }

    // Calls f(pos, sum) for every touched position and starts afresh.
    template <class F> void flush(F &&f) {
        for (std::size_t pos : touched_)
            f(pos, sum_[pos]);
        touched_.clear();
        if (++epoch_ == 0) {
            stamp_.assign(size_, 0);
            epoch_ = 1;
        }
    }

private:
    std::size_t size_;
    std::uint32_t epoch_ = 1;
    std::vector<std::uint32_t> stamp_;
    std::vector<V> sum_;
    std::vector<std::size_t> touched_;
};

// The entries [start, end) of one compressed row or column, in bounds.
template <class I>
bool segment(std::size_t &start, std::size_t &end, std::span<const I> indptr, std::size_t k,
             std::size_t limit) {
    const I s = indptr[k], e = indptr[k + 1];
    if (s < 0 || e < s || static_cast<std::size_t>(e) > limit)
        return false;
    start = static_cast<std::size_t>(s);
    end = static_cast<std::size_t>(e);
    return true;
}

// Walks the entries [start, end) of one row (or column) a stretch at a time,
// checking that the stretch's indices strictly increase and stay below
// `bound` just before visit(p) sees its entries: then every entry is a
// position of its own. The check is branch-free (it vectorises) and runs
// right ahead of the visits, so index and value reads stream together.
// Returns the first position not visited: `end` when the run is canonical.
template <class I, class Visit>
std::size_t visit_increasing(std::span<const I> index, std::size_t start, std::size_t end,
                             std::size_t bound, Visit &&visit) {
    // 256 indices (1-2 KB) stay in L1 between the check and the visits.
    constexpr std::size_t kStretch = 256;
    I prev = -1;
    for (std::size_t s = start; s < end; s += kStretch) {
        const std::size_t e = s + kStretch < end ? s + kStretch : end;
        const I *x = index.data();
        int unordered = static_cast<int>(x[s] <= prev);
        for (std::size_t p = s + 1; p < e; ++p)
            // NOLINTNEXTLINE(bugprone-signed-bitwise): comparisons combined without branches
            unordered |= static_cast<int>(x[p] <= x[p - 1]);
        if (unordered != 0 || static_cast<std::size_t>(x[e - 1]) >= bound)
            return s;
        prev = x[e - 1];
        // Independent scattered adds: unrolled, so their loads overlap.
#pragma GCC unroll 4
        for (std::size_t p = s; p < e; ++p)
            visit(p);
    }
    return end;
}

bool picks_in_bounds(const GroupedCounts &out, std::size_t n_cols) {
    for (std::int64_t c : out.picked)
        if (c < 0 || static_cast<std::size_t>(c) >= n_cols)
            return false;
    return true;
}

// Output slots of the picked columns: a bit per column says whether it is
// picked (a table small enough to stay in cache), then its slot.
class PickedSlots {
public:
    PickedSlots(std::span<const std::int64_t> picked, std::size_t n_cols)
        : bits_((n_cols + 63) / 64, 0), slot_(n_cols, 0) {
        for (std::size_t m = 0; m < picked.size(); ++m) {
            const auto c = static_cast<std::size_t>(picked[m]);
            bits_[c / 64] |= std::uint64_t{1} << (c % 64);
            slot_[c] = static_cast<std::uint32_t>(m);
        }
    }
    bool picked(std::size_t c) const { return (bits_[c / 64] >> (c % 64)) & 1U; }
    std::size_t slot(std::size_t c) const { return slot_[c]; }

private:
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint32_t> slot_;
};

// All columns, each its own slot.
struct AllSlots {
    static bool picked(std::size_t) { return true; }
    static std::size_t slot(std::size_t c) { return c; }
};

// ---- pieces on the thread pool ---------------------------------------------------

// Stored entries per piece of a scan, and the fewest entries for which a scan
// uses more than one thread (a piece takes some 0.2 ms).
constexpr std::size_t kPieceEntries = std::size_t{1} << 18;
constexpr std::size_t kParallelEntries = std::size_t{1} << 20;

// Threads for a scan of `entries` stored entries of `entry_bytes` each, where
// every thread but the first counts into a table of `table_bytes` of its own
// that is added in at the end: only as many as the input covers twice over,
// so the tables never cost more than the scan gains.
unsigned scan_threads(std::size_t entries, std::size_t entry_bytes, std::size_t table_bytes) {
    if (entries < kParallelEntries)
        return 1;
    const std::size_t by_tables =
        1 + entries * entry_bytes / (2 * std::max<std::size_t>(1, table_bytes));
    return static_cast<unsigned>(
        std::min<std::size_t>(threads_for(entries, kPieceEntries), by_tables));
}

// Items [bounds[k], bounds[k + 1]) of a compressed axis hold about `work`
// entries each (any cut is correct: the runs cover every item, in order,
// whatever indptr holds). The cuts depend on indptr alone.
template <class I>
std::vector<std::size_t> run_bounds(std::span<const I> indptr, std::size_t n, std::size_t work) {
    const auto total = static_cast<std::size_t>(indptr[n] > 0 ? indptr[n] : 0);
    const std::size_t runs = std::max<std::size_t>(1, std::min(n, total / work));
    std::vector<std::size_t> bounds{0};
    for (std::size_t k = 1; k < runs; ++k) {
        const auto target = static_cast<I>(total / runs * k);
        const auto at = static_cast<std::size_t>(
            std::lower_bound(indptr.begin(), indptr.begin() + static_cast<std::ptrdiff_t>(n),
                             target) -
            indptr.begin());
        bounds.push_back(std::max(bounds.back(), at));
    }
    bounds.push_back(n);
    return bounds;
}

// Adds a thread's private counts into the shared ones.
void add_counts(std::uint32_t *into, const std::vector<std::uint32_t> &from) {
    for (std::size_t i = 0; i < from.size(); ++i)
        into[i] += from[i];
}

// One byte per group and output column, in front of the 32-bit counts: a
// row adds at most one per column, so a group's bytes hold 255 of its rows
// before they are added into its counts. A quarter of the counts' size, the
// bytes of many groups stay in cache while the rows arrive in any group
// order, and the input is still read front to back.
class ByteCounters {
public:
    static constexpr std::uint32_t kRowsPerFlush = 255;

    ByteCounters(std::uint32_t *counts, std::size_t n_groups, std::size_t n_out)
        : counts_(counts), n_out_(n_out), bytes_(n_groups * n_out, 0), rows_(n_groups, 0) {}

    std::uint8_t *row(std::size_t g) { return bytes_.data() + g * n_out_; }
    // After a row of group g is counted.
    void row_done(std::size_t g) {
        if (++rows_[g] == kRowsPerFlush)
            flush(g);
    }
    void flush_all() {
        for (std::size_t g = 0; g < rows_.size(); ++g)
            if (rows_[g] != 0)
                flush(g);
    }

private:
    void flush(std::size_t g) {
        std::uint32_t *into = counts_ + g * n_out_;
        std::uint8_t *from = row(g);
        for (std::size_t j = 0; j < n_out_; ++j)
            into[j] += from[j];
        std::memset(from, 0, n_out_);
        rows_[g] = 0;
    }

    std::uint32_t *counts_;
    std::size_t n_out_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint32_t> rows_;
};

// ---- compressed rows -----------------------------------------------------------

// One row with unsorted or repeated indices: the entries of each position
// summed first. False for an index out of bounds.
template <class V, class I, class Slots, class Counter>
bool count_by_sums(Counter *row_out, std::size_t start, std::size_t end, std::span<const V> data,
                   std::span<const I> indices, std::size_t n_cols, const Slots &slots,
                   PositionSums<V> &sums) {
    for (std::size_t p = start; p < end; ++p) {
        const I c = indices[p];
        if (c < 0 || static_cast<std::size_t>(c) >= n_cols)
            return false;
        if (slots.picked(static_cast<std::size_t>(c)))
            sums.add(static_cast<std::size_t>(c), data[p]);
    }
    sums.flush([&](std::size_t col, V sum) {
        row_out[slots.slot(col)] += static_cast<Counter>(one_if_positive(sum));
    });
    return true;
}

// The rows of one thread: its counts (the shared ones or a private copy),
// and the bytes and scratch that stay with it from one run of rows to the
// next.
template <class V, class I, class Slots> class CsrPart {
public:
    CsrPart(std::uint32_t *counts, const GroupedCounts &out, std::size_t n_cols,
            std::span<const V> data, std::span<const I> indices, std::span<const I> indptr,
            const Slots &slots, std::size_t n_out, InterruptPoll poll)
        : counts_(counts), out_(out), n_cols_(n_cols), data_(data), indices_(indices),
          indptr_(indptr), slots_(slots), n_out_(n_out),
          limit_(data.size() < indices.size() ? data.size() : indices.size()), sums_(n_cols),
          work_(poll) {
        // All columns: the bytes in front of the counts (the listed ones are
        // few, and their counts small enough to stay in cache as they are).
        if constexpr (std::is_same_v<Slots, AllSlots>)
            bytes_.emplace(counts, out.n_groups, n_out);
    }

    Status rows(std::size_t row_begin, std::size_t row_end) {
        for (std::size_t r = row_begin; r < row_end; ++r) {
            std::size_t start, end;
            if (!segment(start, end, indptr_, r, limit_))
                return Status::rejected;
            const std::int32_t g = out_.row_group[r];
            if (g < 0)
                continue;
            if (!row(static_cast<std::size_t>(g), start, end))
                return Status::rejected;
            if (work_.advance(end - start + 1))
                return Status::interrupted;
        }
        return Status::done;
    }

    void finish() {
        if (bytes_)
            bytes_->flush_all();
    }

private:
    // The entries [start, end) of a row of group g; false for an index out of
    // bounds.
    bool row(std::size_t g, std::size_t start, std::size_t end) {
        if constexpr (std::is_same_v<Slots, AllSlots>) {
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the constructor makes it
            std::uint8_t *row_bytes = bytes_->row(g);
            const I *x = indices_.data();
            const V *v = data_.data();
            const std::size_t stop =
                visit_increasing(indices_, start, end, n_cols_, [&](std::size_t p) {
                    row_bytes[x[p]] += byte_one_if_positive(v[p]);
                });
            if (stop != end) {
                for (std::size_t p = start; p < stop; ++p)
                    row_bytes[x[p]] -= byte_one_if_positive(v[p]);
                if (!count_by_sums(row_bytes, start, end, data_, indices_, n_cols_, slots_, sums_))
                    return false;
            }
            // NOLINTNEXTLINE(bugprone-unchecked-optional-access): the constructor makes it
            bytes_->row_done(g);
            return true;
        } else {
            std::uint32_t *row_out = counts_ + g * n_out_;
            // The picked entries first, their values asked for as they are
            // found and read once the row is walked.
            hits_.clear();
            auto pick = [&](std::size_t p) {
                if (slots_.picked(static_cast<std::size_t>(indices_[p]))) {
                    PELORKIT_PREFETCH(data_.data() + p);
                    hits_.push_back(p);
                }
            };
            if (visit_increasing(indices_, start, end, n_cols_, pick) != end)
                return count_by_sums(row_out, start, end, data_, indices_, n_cols_, slots_, sums_);
            for (std::size_t p : hits_)
                row_out[slots_.slot(static_cast<std::size_t>(indices_[p]))] +=
                    one_if_positive(data_[p]);
            return true;
        }
    }

    std::uint32_t *counts_;
    const GroupedCounts &out_;
    std::size_t n_cols_;
    std::span<const V> data_;
    std::span<const I> indices_;
    std::span<const I> indptr_;
    const Slots &slots_;
    std::size_t n_out_;
    std::size_t limit_;
    PositionSums<V> sums_;
    std::vector<std::size_t> hits_;
    WorkPoll work_;
    std::optional<ByteCounters> bytes_;
};

// The rows in pieces of about kPieceEntries entries. The calling thread
// counts into the shared counts, every other thread into counts of its own,
// added in once all rows are counted: integer sums, the same whatever thread
// counted which rows.
template <class V, class I, class Slots>
Status csr_pieces(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                  std::span<const I> indices, std::span<const I> indptr, const Slots &slots,
                  std::size_t n_out, InterruptPoll poll) {
    const std::size_t table_bytes =
        out.n_groups * n_out * (std::is_same_v<Slots, AllSlots> ? 5 : 4);
    const unsigned threads = out.n_rows > 1 ? scan_threads(std::min(data.size(), indices.size()),
                                                           sizeof(V) + sizeof(I), table_bytes)
                                            : 1;
    if (threads == 1) {
        CsrPart<V, I, Slots> part(out.counts, out, n_cols, data, indices, indptr, slots, n_out,
                                  poll);
        const Status status = part.rows(0, out.n_rows);
        part.finish();
        return status;
    }
    const std::vector<std::size_t> bounds = run_bounds(indptr, out.n_rows, kPieceEntries);
    std::vector<std::optional<CsrPart<V, I, Slots>>> parts(threads);
    std::vector<std::vector<std::uint32_t>> own_counts(threads);
    const Status status = run_in_pieces(
        bounds.size() - 1, threads, poll,
        [&](std::size_t piece, unsigned slot, InterruptPoll piece_poll) {
            std::optional<CsrPart<V, I, Slots>> &part = parts[slot];
            if (!part) {
                std::uint32_t *counts = out.counts;
                if (slot != 0) {
                    own_counts[slot].assign(out.n_groups * n_out, 0);
                    counts = own_counts[slot].data();
                }
                part.emplace(counts, out, n_cols, data, indices, indptr, slots, n_out, piece_poll);
            }
            return part->rows(bounds[piece], bounds[piece + 1]);
        });
    if (status != Status::done)
        return status;
    for (unsigned slot = 0; slot < threads; ++slot) {
        std::optional<CsrPart<V, I, Slots>> &part = parts[slot];
        if (!part)
            continue;
        part->finish();
        if (slot != 0)
            add_counts(out.counts, own_counts[slot]);
    }
    return Status::done;
}

// ---- compressed columns ----------------------------------------------------------

// What a thread keeps from one run of columns to the next.
template <class V> struct CscScratch {
    CscScratch(std::size_t n_rows, InterruptPoll poll) : sums(n_rows), work(poll) {}
    PositionSums<V> sums;
    WorkPoll work;
};

// The output columns [m_begin, m_end). Each writes its own column of the
// counts, so threads on different runs of columns share no counter.
template <class V, class I>
Status csc_columns(const GroupedCounts &out, std::size_t m_begin, std::size_t m_end,
                   std::span<const V> data, std::span<const I> indices, std::span<const I> indptr,
                   std::size_t n_out, CscScratch<V> &scratch) {
    const std::size_t limit = data.size() < indices.size() ? data.size() : indices.size();
    auto add = [&](std::size_t row, std::size_t m, std::uint32_t one) {
        const std::int32_t g = out.row_group[row];
        if (g >= 0)
            out.counts[static_cast<std::size_t>(g) * n_out + m] += one;
    };
    for (std::size_t m = m_begin; m < m_end; ++m) {
        const std::size_t j = out.all_columns ? m : static_cast<std::size_t>(out.picked[m]);
        std::size_t start, end;
        if (!segment(start, end, indptr, j, limit))
            return Status::rejected;
        const std::size_t stop =
            visit_increasing(indices, start, end, out.n_rows, [&](std::size_t p) {
                add(static_cast<std::size_t>(indices[p]), m, one_if_positive(data[p]));
            });
        if (stop != end) {
            for (std::size_t p = start; p < stop; ++p)
                add(static_cast<std::size_t>(indices[p]), m, 0U - one_if_positive(data[p]));
            for (std::size_t p = start; p < end; ++p) {
                const I r = indices[p];
                if (r < 0 || static_cast<std::size_t>(r) >= out.n_rows)
                    return Status::rejected;
                scratch.sums.add(static_cast<std::size_t>(r), data[p]);
            }
            scratch.sums.flush([&](std::size_t row, V sum) { add(row, m, one_if_positive(sum)); });
        }
        if (scratch.work.advance(end - start + 1))
            return Status::interrupted;
    }
    return Status::done;
}

// Output columns [bounds[k], bounds[k + 1]) holding about `work` entries
// each, by the index pointer alone; `total` receives the entries of all.
template <class I>
std::vector<std::size_t> column_bounds(std::size_t &total, const GroupedCounts &out,
                                       std::span<const I> indptr, std::size_t n_out,
                                       std::size_t work) {
    std::vector<std::size_t> bounds{0};
    std::size_t run = 0;
    total = 0;
    for (std::size_t m = 0; m < n_out; ++m) {
        const std::size_t j = out.all_columns ? m : static_cast<std::size_t>(out.picked[m]);
        const I s = indptr[j], e = indptr[j + 1];
        const std::size_t entries = e > s ? static_cast<std::size_t>(e - s) : 0;
        total += entries;
        run += entries + 1;
        if (run >= work && m + 1 < n_out) {
            bounds.push_back(m + 1);
            run = 0;
        }
    }
    bounds.push_back(n_out);
    return bounds;
}

} // namespace

template <class V, class I>
Status count_positive_csr(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                          std::span<const I> indices, std::span<const I> indptr,
                          InterruptPoll poll) {
    if (indptr.size() < out.n_rows + 1)
        return Status::rejected;
    if (out.all_columns)
        return csr_pieces(out, n_cols, data, indices, indptr, AllSlots{}, n_cols, poll);
    if (!picks_in_bounds(out, n_cols))
        return Status::rejected;
    return csr_pieces(out, n_cols, data, indices, indptr, PickedSlots(out.picked, n_cols),
                      out.picked.size(), poll);
}

template <class V, class I>
Status count_positive_csc(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                          std::span<const I> indices, std::span<const I> indptr,
                          InterruptPoll poll) {
    if (indptr.size() < n_cols + 1 || (!out.all_columns && !picks_in_bounds(out, n_cols)))
        return Status::rejected;
    const std::size_t n_out = out.all_columns ? n_cols : out.picked.size();
    std::size_t total = 0;
    const std::vector<std::size_t> bounds = column_bounds(total, out, indptr, n_out, kPieceEntries);
    // Threads write different columns of the counts: no private tables.
    const unsigned threads = scan_threads(total, sizeof(V) + sizeof(I), 0);
    std::vector<std::optional<CscScratch<V>>> scratch(threads);
    return run_in_pieces(bounds.size() - 1, threads, poll,
                         [&](std::size_t piece, unsigned slot, InterruptPoll piece_poll) {
                             if (!scratch[slot])
                                 scratch[slot].emplace(out.n_rows, piece_poll);
                             return csc_columns(out, bounds[piece], bounds[piece + 1], data,
                                                indices, indptr, n_out, *scratch[slot]);
                         });
}

// ---- dense -----------------------------------------------------------------------

// A dense matrix read through its strides (any layout, views included).
template <class V> struct DenseScan {
    const GroupedCounts &out;
    const std::byte *base;
    std::ptrdiff_t row_stride, col_stride;
    std::size_t n_out;

    std::ptrdiff_t column(std::size_t m) const {
        return static_cast<std::ptrdiff_t>(
            out.all_columns ? m : static_cast<std::size_t>(out.picked[m]));
    }

    // Rows [begin, end) into `counts` (n_groups x n_out); each row is
    // (nearly) contiguous.
    Status rows(std::uint32_t *counts, std::size_t begin, std::size_t end, WorkPoll &work) const {
        for (std::size_t i = begin; i < end; ++i) {
            const std::int32_t g = out.row_group[i];
            if (g < 0)
                continue;
            const std::byte *row = base + static_cast<std::ptrdiff_t>(i) * row_stride;
            std::uint32_t *row_out = counts + static_cast<std::size_t>(g) * n_out;
            if (out.all_columns && col_stride == static_cast<std::ptrdiff_t>(sizeof(V))) {
                for (std::size_t j = 0; j < n_out; ++j)
                    row_out[j] += one_if_positive(load<V>(row + j * sizeof(V)));
            } else {
                for (std::size_t m = 0; m < n_out; ++m)
                    row_out[m] += one_if_positive(load<V>(row + column(m) * col_stride));
            }
            if (work.advance(n_out + 1))
                return Status::interrupted;
        }
        return Status::done;
    }

    // Output columns [begin, end); each column is (nearly) contiguous and
    // writes only its own column of the counts.
    Status columns(std::size_t begin, std::size_t end, WorkPoll &work) const {
        for (std::size_t m = begin; m < end; ++m) {
            const std::byte *col = base + column(m) * col_stride;
            for (std::size_t i = 0; i < out.n_rows; ++i) {
                const std::int32_t g = out.row_group[i];
                if (g >= 0)
                    out.counts[static_cast<std::size_t>(g) * n_out + m] +=
                        one_if_positive(load<V>(col + static_cast<std::ptrdiff_t>(i) * row_stride));
            }
            if (work.advance(out.n_rows + 1))
                return Status::interrupted;
        }
        return Status::done;
    }
};

template <class V>
Status count_positive_dense(const GroupedCounts &out, std::size_t n_cols, const std::byte *base,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                            InterruptPoll poll) {
    if (!out.all_columns && !picks_in_bounds(out, n_cols))
        return Status::rejected;
    const std::size_t n_out = out.all_columns ? n_cols : out.picked.size();
    const DenseScan<V> scan{out, base, row_stride, col_stride, n_out};
    const std::size_t values = out.n_rows * n_out;
    const auto abs = [](std::ptrdiff_t s) { return s < 0 ? -s : s; };
    if (abs(col_stride) <= abs(row_stride)) {
        // Pieces of rows; every thread but the caller counts into a table of
        // its own, added in at the end (integer sums).
        const unsigned threads =
            out.n_rows > 1 ? scan_threads(values, sizeof(V), out.n_groups * n_out * 4) : 1;
        if (threads == 1) {
            WorkPoll work(poll);
            return scan.rows(out.counts, 0, out.n_rows, work);
        }
        const std::size_t per_piece = std::max<std::size_t>(1, kPieceEntries / (n_out + 1));
        const std::size_t n_pieces = (out.n_rows + per_piece - 1) / per_piece;
        std::vector<std::vector<std::uint32_t>> own_counts(threads);
        const Status status = run_in_pieces(
            n_pieces, threads, poll,
            [&](std::size_t piece, unsigned slot, InterruptPoll piece_poll) {
                std::uint32_t *counts = out.counts;
                if (slot != 0) {
                    if (own_counts[slot].empty())
                        own_counts[slot].assign(out.n_groups * n_out, 0);
                    counts = own_counts[slot].data();
                }
                WorkPoll work(piece_poll);
                const std::size_t begin = piece * per_piece;
                return scan.rows(counts, begin, std::min(out.n_rows, begin + per_piece), work);
            });
        if (status != Status::done)
            return status;
        for (unsigned slot = 1; slot < threads; ++slot)
            if (!own_counts[slot].empty())
                add_counts(out.counts, own_counts[slot]);
        return Status::done;
    }
    // Pieces of columns: disjoint columns of the counts, no table of their own.
    const unsigned threads =
        n_out > 1 && values >= kParallelEntries ? threads_for(values, kPieceEntries) : 1;
    if (threads == 1) {
        WorkPoll work(poll);
        return scan.columns(0, n_out, work);
    }
    const std::size_t per_piece = std::max<std::size_t>(1, kPieceEntries / (out.n_rows + 1));
    const std::size_t n_pieces = (n_out + per_piece - 1) / per_piece;
    return run_in_pieces(n_pieces, threads, poll,
                         [&](std::size_t piece, unsigned, InterruptPoll piece_poll) {
                             WorkPoll work(piece_poll);
                             const std::size_t begin = piece * per_piece;
                             return scan.columns(begin, std::min(n_out, begin + per_piece), work);
                         });
}

#define PELORKIT_SCAN_KERNELS(V)                                                                   \
    template Status count_positive_csr<V, std::int32_t>(                                           \
        const GroupedCounts &, std::size_t, std::span<const V>, std::span<const std::int32_t>,     \
        std::span<const std::int32_t>, InterruptPoll);                                             \
    template Status count_positive_csr<V, std::int64_t>(                                           \
        const GroupedCounts &, std::size_t, std::span<const V>, std::span<const std::int64_t>,     \
        std::span<const std::int64_t>, InterruptPoll);                                             \
    template Status count_positive_csc<V, std::int32_t>(                                           \
        const GroupedCounts &, std::size_t, std::span<const V>, std::span<const std::int32_t>,     \
        std::span<const std::int32_t>, InterruptPoll);                                             \
    template Status count_positive_csc<V, std::int64_t>(                                           \
        const GroupedCounts &, std::size_t, std::span<const V>, std::span<const std::int64_t>,     \
        std::span<const std::int64_t>, InterruptPoll);                                             \
    template Status count_positive_dense<V>(const GroupedCounts &, std::size_t, const std::byte *, \
                                            std::ptrdiff_t, std::ptrdiff_t, InterruptPoll);

PELORKIT_SCAN_VALUE_TYPES(PELORKIT_SCAN_KERNELS)
#undef PELORKIT_SCAN_KERNELS

} // namespace pelorkit::kernels
