// Positive-entry counts per group of rows and column for CSR, CSC and dense
// buffers. Rows (CSR) and columns (CSC) whose indices strictly increase are
// counted entry by entry; any other one is summed per position first, so
// duplicates behave as in the dense matrix. CSR rows count into one byte per
// group and column, added into the counts every 255 rows of a group. Large
// scans run in two halves on two threads.
#include "sparse.hpp"
#include "pelorkit/compiler.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
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

// ---- two halves on two threads ---------------------------------------------

constexpr std::size_t kSplitWork = std::size_t{1} << 22;

// Runs part(0, poll) here and, when `split`, part(1, ...) on a second thread
// that stops as soon as this one is interrupted or fails. Without `split`
// part(1) runs here too (it should then have nothing to do).
template <class Part> Status run_halves(bool split, InterruptPoll poll, Part &&part) {
    if (!split || std::thread::hardware_concurrency() < 2) {
        const Status first = part(0, poll);
        return first != Status::done ? first : part(1, poll);
    }
    std::atomic<bool> stop{false};
    InterruptPoll stopped{[](void *flag) { return static_cast<std::atomic<bool> *>(flag)->load(); },
                          &stop};
    Status second = Status::done;
    std::exception_ptr second_error;
    std::thread worker;
    try {
        worker = std::thread([&] {
            try {
                second = part(1, stopped);
            } catch (...) {
                second_error = std::current_exception();
            }
        });
    } catch (const std::system_error &) {
        const Status first = part(0, poll);
        return first != Status::done ? first : part(1, poll);
    }
    Status first = Status::rejected;
    try {
        first = part(0, poll);
    } catch (...) {
        stop = true;
        worker.join();
        throw;
    }
    if (first != Status::done)
        stop = true;
    worker.join();
    if (second_error)
        std::rethrow_exception(second_error);
    // A second half stopped by the first one's failure reports that failure.
    return first != Status::done ? first : second;
}

// The index in [0, n] splitting the items of a compressed axis into halves of
// about equal entries (any split is correct; this one only balances).
template <class I> std::size_t half_point(std::span<const I> indptr, std::size_t n) {
    const I target = indptr[n] / 2;
    std::size_t lo = 0, hi = n;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (indptr[mid] < target)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Adds a private half's counts into the shared ones.
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

// Row bounds cutting the rows into runs of about `work` entries (any cut is
// correct: the runs cover every row, in order, whatever indptr holds).
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

template <class V, class I, class Slots>
Status csr_halves(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                  std::span<const I> indices, std::span<const I> indptr, const Slots &slots,
                  std::size_t n_out, InterruptPoll poll) {
    const bool split = data.size() >= kSplitWork && out.n_rows > 1;
    // Runs of rows taken in turn by the two threads, so that a thread held up
    // (on a busy machine) leaves more of the rows to the other.
    constexpr std::size_t kRunWork = std::size_t{1} << 20;
    const std::vector<std::size_t> bounds =
        split ? run_bounds(indptr, out.n_rows, kRunWork) : std::vector<std::size_t>{0, out.n_rows};
    std::atomic<std::size_t> next{0};
    // The second thread counts into a copy of its own, added in at the end.
    std::vector<std::uint32_t> second_counts(split ? out.n_groups * n_out : 0);
    const Status status = run_halves(split, poll, [&](int half, InterruptPoll part_poll) {
        std::optional<CsrPart<V, I, Slots>> part;
        for (std::size_t run; (run = next.fetch_add(1)) + 1 < bounds.size();) {
            if (!part)
                part.emplace(half == 0 ? out.counts : second_counts.data(), out, n_cols, data,
                             indices, indptr, slots, n_out, part_poll);
            const Status run_status = part->rows(bounds[run], bounds[run + 1]);
            if (run_status != Status::done)
                return run_status;
        }
        if (part)
            part->finish();
        return Status::done;
    });
    if (status == Status::done && !second_counts.empty())
        add_counts(out.counts, second_counts);
    return status;
}

// ---- compressed columns ----------------------------------------------------------

template <class V, class I>
Status csc_columns(const GroupedCounts &out, std::size_t m_begin, std::size_t m_end,
                   std::span<const V> data, std::span<const I> indices, std::span<const I> indptr,
                   std::size_t n_out, InterruptPoll poll) {
    const std::size_t limit = data.size() < indices.size() ? data.size() : indices.size();
    PositionSums<V> sums(out.n_rows);
    WorkPoll work(poll);
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
                sums.add(static_cast<std::size_t>(r), data[p]);
            }
            sums.flush([&](std::size_t row, V sum) { add(row, m, one_if_positive(sum)); });
        }
        if (work.advance(end - start + 1))
            return Status::interrupted;
    }
    return Status::done;
}

} // namespace

template <class V, class I>
Status count_positive_csr(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                          std::span<const I> indices, std::span<const I> indptr,
                          InterruptPoll poll) {
    if (indptr.size() < out.n_rows + 1)
        return Status::rejected;
    if (out.all_columns)
        return csr_halves(out, n_cols, data, indices, indptr, AllSlots{}, n_cols, poll);
    if (!picks_in_bounds(out, n_cols))
        return Status::rejected;
    return csr_halves(out, n_cols, data, indices, indptr, PickedSlots(out.picked, n_cols),
                      out.picked.size(), poll);
}

template <class V, class I>
Status count_positive_csc(const GroupedCounts &out, std::size_t n_cols, std::span<const V> data,
                          std::span<const I> indices, std::span<const I> indptr,
                          InterruptPoll poll) {
    if (indptr.size() < n_cols + 1 || (!out.all_columns && !picks_in_bounds(out, n_cols)))
        return Status::rejected;
    // The halves write different columns of the counts: no private copy.
    const std::size_t n_out = out.all_columns ? n_cols : out.picked.size();
    const bool split = data.size() >= kSplitWork && n_out > 1;
    const std::size_t middle = !split            ? n_out
                               : out.all_columns ? half_point(indptr, n_cols)
                                                 : n_out / 2;
    return run_halves(split, poll, [&](int half, InterruptPoll part_poll) {
        return half == 0 ? csc_columns(out, 0, middle, data, indices, indptr, n_out, part_poll)
                         : csc_columns(out, middle, n_out, data, indices, indptr, n_out, part_poll);
    });
}

template <class V>
Status count_positive_dense(const GroupedCounts &out, std::size_t n_cols, const std::byte *base,
                            std::ptrdiff_t row_stride, std::ptrdiff_t col_stride,
                            InterruptPoll poll) {
    if (!out.all_columns && !picks_in_bounds(out, n_cols))
        return Status::rejected;
    const std::size_t n_out = out.all_columns ? n_cols : out.picked.size();
    auto column = [&](std::size_t m) {
        return static_cast<std::ptrdiff_t>(
            out.all_columns ? m : static_cast<std::size_t>(out.picked[m]));
    };
    WorkPoll work(poll);
    const auto abs = [](std::ptrdiff_t s) { return s < 0 ? -s : s; };
    if (abs(col_stride) <= abs(row_stride)) {
        // Row by row: each row is (nearly) contiguous.
        for (std::size_t i = 0; i < out.n_rows; ++i) {
            const std::int32_t g = out.row_group[i];
            if (g < 0)
                continue;
            const std::byte *row = base + static_cast<std::ptrdiff_t>(i) * row_stride;
            std::uint32_t *row_out = out.counts + static_cast<std::size_t>(g) * n_out;
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
    } else {
        // Column by column: each column is (nearly) contiguous.
        for (std::size_t m = 0; m < n_out; ++m) {
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
    }
    return Status::done;
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
