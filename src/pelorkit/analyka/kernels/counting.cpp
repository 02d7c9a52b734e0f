// Counting by codes: factorising fixed-width records and narrow integers, and
// the pair-count table.
#include "counting.hpp"
#include "parallel.hpp"

#include "pelorkit/compiler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace pelorkit::kernels {

void CodeTable::resize(std::size_t capacity) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(capacity, Slot{0, -1});
    mask_ = capacity - 1;
    for (const Slot &slot : old) {
        if (slot.code < 0)
            continue;
        std::size_t i = slot.hash & mask_;
        while (slots_[i].code >= 0)
            i = (i + 1) & mask_;
        slots_[i] = slot;
    }
}

namespace {

constexpr std::int64_t kMaxCodes = std::numeric_limits<std::int32_t>::max();

// Hash of a record; records of up to 8 bytes are read as one word, longer
// ones feed two multiply chains that run side by side. Fixed-size reads
// compile to plain loads.
template <std::size_t Width> std::uint64_t hash_record(const std::byte *p, std::size_t width) {
    if constexpr (Width != 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, Width);
        return mix_hash(word);
    } else {
        constexpr std::uint64_t k1 = 0x9E3779B97F4A7C15ULL, k2 = 0xC2B2AE3D27D4EB4FULL;
        std::uint64_t a = width, b = 0x2545F4914F6CDD1DULL;
        std::size_t i = 0;
        for (; i + 16 <= width; i += 16) {
            std::uint64_t x, y;
            std::memcpy(&x, p + i, 8);
            std::memcpy(&y, p + i + 8, 8);
            a = (a + x) * k1;
            b = (b + y) * k2;
        }
        if (i + 8 <= width) {
            std::uint64_t x;
            std::memcpy(&x, p + i, 8);
            a = (a + x) * k1;
            i += 8;
        }
        if (i + 4 <= width) {
            std::uint32_t x;
            std::memcpy(&x, p + i, 4);
            b = (b + x) * k2;
            i += 4;
        }
        for (; i < width; ++i)
            b = (b + static_cast<std::uint64_t>(p[i])) * k2;
        return mix_hash(a ^ (b >> 1));
    }
}

// Equality of two records, word by word (records are short).
template <std::size_t Width>
bool same_record(const std::byte *a, const std::byte *b, std::size_t width) {
    if constexpr (Width != 0) {
        return std::memcmp(a, b, Width) == 0;
    } else {
        std::size_t i = 0;
        for (; i + 8 <= width; i += 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b + i, 8);
            if (x != y)
                return false;
        }
        if (i + 4 <= width) {
            std::uint32_t x, y;
            std::memcpy(&x, a + i, 4);
            std::memcpy(&y, b + i, 4);
            if (x != y)
                return false;
            i += 4;
        }
        for (; i < width; ++i)
            if (a[i] != b[i])
                return false;
        return true;
    }
}

// Values per piece of a factorization on the pool, and the fewest values (a
// million cells) for which it uses the pool.
constexpr std::size_t kFactorPiece = std::size_t{1} << 18;
constexpr std::size_t kParallelValues = std::size_t{1} << 20;
// The widest range numbered in pieces (a 16 MiB table per thread).
constexpr std::size_t kMaxPieceRange = std::size_t{1} << 22;

// Factorizing in pieces. The sequential coder (`global`) numbers the first
// piece, holding then exactly what it holds after a walk of those values.
// When it found few distinct values there, the later pieces are numbered each
// on its own (a value's local code is its order of first appearance in the
// piece) on the pool; the caller then hands each piece's first values, piece
// after piece, to the sequential coder, which gives them the codes of the
// sequential walk, and a last pass on the pool translates the local codes.
// Many distinct values in the first piece (over a sixteenth) would make the
// caller's share as long as the whole walk: the sequential coder goes on
// alone. Either way the codes and first positions are those of one walk.
//
// Global: code(begin, end, codes, poll) -> Status numbers values in order;
// size(); add(position) -> the code of the value there, -1 when no code is
// left. Local (one per thread, from make_local()): code(begin, end, codes,
// firsts) -> Status numbers a piece locally, firsts receiving the positions
// of its local codes' first values.
template <class Global, class MakeLocal>
Status factorize_in_pieces(std::int32_t *codes, std::size_t n, InterruptPoll poll, Global &global,
                           MakeLocal &&make_local) {
    const unsigned threads = n >= kParallelValues ? threads_for(n, kFactorPiece) : 1;
    const std::size_t head = threads > 1 ? kFactorPiece : n;
    Status status = global.code(0, head, codes, poll);
    if (status != Status::done || head == n)
        return status;
    if (global.size() * 16 > head)
        return global.code(head, n, codes, poll);

    const std::size_t n_pieces = (n - head + kFactorPiece - 1) / kFactorPiece;
    auto bounds = [&](std::size_t piece) {
        const std::size_t begin = head + piece * kFactorPiece;
        return std::pair{begin, std::min(n, begin + kFactorPiece)};
    };
    using Local = decltype(make_local());
    std::vector<std::optional<Local>> locals(threads);
    std::vector<std::vector<std::int64_t>> firsts(n_pieces);
    status = run_in_pieces(
        n_pieces, threads, poll, [&](std::size_t piece, unsigned slot, InterruptPoll piece_poll) {
            if (!locals[slot])
                locals[slot].emplace(make_local());
            const auto [begin, end] = bounds(piece);
            const Status coded = locals[slot]->code(begin, end, codes, firsts[piece]);
            if (coded != Status::done)
                return coded;
            return piece_poll() ? Status::interrupted : Status::done;
        });
    if (status != Status::done)
        return status;

    std::vector<std::vector<std::int32_t>> global_of(n_pieces);
    for (std::size_t piece = 0; piece < n_pieces; ++piece) {
        for (const std::int64_t first : firsts[piece]) {
            const std::int32_t code = global.add(static_cast<std::size_t>(first));
            if (code < 0)
                return Status::rejected;
            global_of[piece].push_back(code);
        }
        if (poll())
            return Status::interrupted;
    }
    return run_in_pieces(n_pieces, threads, poll,
                         [&](std::size_t piece, unsigned, InterruptPoll piece_poll) {
                             const std::vector<std::int32_t> &to = global_of[piece];
                             bool same = true;
                             for (std::size_t c = 0; c < to.size(); ++c)
                                 same = same && to[c] == static_cast<std::int32_t>(c);
                             const auto [begin, end] = bounds(piece);
                             if (!same)
                                 for (std::size_t i = begin; i < end; ++i)
                                     codes[i] = to[static_cast<std::size_t>(codes[i])];
                             return piece_poll() ? Status::interrupted : Status::done;
                         });
}

// Fixed-width records numbered in order of first appearance.
template <std::size_t Width> class RecordCoder {
public:
    RecordCoder(std::vector<std::int64_t> &first, const std::byte *data, std::size_t width)
        : first_(first), data_(data), w_(Width != 0 ? Width : width) {}

    Status code(std::size_t begin, std::size_t end, std::int32_t *codes, InterruptPoll poll) {
        WorkPoll work(poll);
        for (std::size_t i = begin; i < end; ++i) {
            const std::int32_t code = add(i);
            if (code < 0)
                return Status::rejected;
            codes[i] = code;
            if (work.advance(1))
                return Status::interrupted;
        }
        return Status::done;
    }
    std::size_t size() const { return first_.size(); }
    std::int32_t add(std::size_t i) {
        const std::byte *record = data_ + i * w_;
        auto same = [&](std::int32_t code) {
            return same_record<Width>(data_ + static_cast<std::size_t>(first_[code]) * w_, record,
                                      w_);
        };
        auto [code, inserted] = table_.find_or_insert(hash_record<Width>(record, w_), same);
        if (inserted) {
            if (code >= kMaxCodes)
                return -1;
            first_.push_back(static_cast<std::int64_t>(i));
        }
        return code;
    }

private:
    std::vector<std::int64_t> &first_;
    const std::byte *data_;
    std::size_t w_;
    CodeTable table_;
};

// The same for one piece, starting afresh each time.
template <std::size_t Width> class RecordPieceCoder {
public:
    RecordPieceCoder(const std::byte *data, std::size_t width) : data_(data), width_(width) {}
    Status code(std::size_t begin, std::size_t end, std::int32_t *codes,
                std::vector<std::int64_t> &firsts) {
        RecordCoder<Width> coder(firsts, data_, width_);
        return coder.code(begin, end, codes, InterruptPoll{});
    }

private:
    const std::byte *data_;
    std::size_t width_;
};

template <std::size_t Width>
Status factorize_width(std::int32_t *codes, std::vector<std::int64_t> &first, const std::byte *data,
                       std::size_t n, std::size_t width, InterruptPoll poll) {
    RecordCoder<Width> global(first, data, width);
    return factorize_in_pieces(codes, n, poll, global,
                               [&] { return RecordPieceCoder<Width>(data, width); });
}

} // namespace

Status factorize_records(std::int32_t *codes, std::vector<std::int64_t> &first,
                         const std::byte *data, std::size_t n, std::size_t width,
                         InterruptPoll poll) {
    first.clear();
    switch (width) {
    case 1:
        return factorize_width<1>(codes, first, data, n, width, poll);
    case 2:
        return factorize_width<2>(codes, first, data, n, width, poll);
    case 4:
        return factorize_width<4>(codes, first, data, n, width, poll);
    case 8:
        return factorize_width<8>(codes, first, data, n, width, poll);
    default:
        return factorize_width<0>(codes, first, data, n, width, poll);
    }
}

namespace {

// Where a block of factorize_ranged stopped: at `end`, or at a value
// outside the range; and the next new code.
struct RangedProgress {
    std::size_t stop;
    std::int32_t next;
};

// The values [begin, end) of factorize_ranged; new codes record their first
// position in `first_at`. Out of line, so that the loop keeps its pointers in
// registers (see PELORKIT_NOINLINE).
template <class T>
PELORKIT_NOINLINE RangedProgress code_ranged_block(std::int32_t *codes, std::int32_t *code_of,
                                                   std::int64_t *first_at, std::int32_t next,
                                                   const T *values, std::size_t begin,
                                                   std::size_t end, std::int64_t low,
                                                   std::size_t range) {
    for (std::size_t i = begin; i < end; ++i) {
        // Unsigned arithmetic: values below `low` wrap to large offsets.
        const std::uint64_t offset =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(values[i])) -
            static_cast<std::uint64_t>(low);
        if (offset >= range)
            return {i, next};
        std::int32_t &code = code_of[offset];
        if (code < 0) {
            code = next;
            first_at[static_cast<std::size_t>(next++)] = static_cast<std::int64_t>(i);
        }
        codes[i] = code;
    }
    return {end, next};
}

} // namespace

namespace {

// Integers of a narrow range numbered by direct addressing; new codes record
// their first position in a buffer sized for every possible code.
template <class T> class RangedCoder {
public:
    RangedCoder(const T *values, std::int64_t low, std::size_t range, std::size_t n)
        : values_(values), low_(low), range_(range), code_of_(range, -1),
          // Only what is written of the buffer is ever touched.
          first_at_(new std::int64_t[std::min(range, n)]) {}

    Status code(std::size_t begin, std::size_t end, std::int32_t *codes, InterruptPoll poll) {
        for (std::size_t start = begin; start < end; start += kPollStride) {
            if (start != begin && poll())
                return Status::interrupted;
            const std::size_t stop = std::min(end, start + kPollStride);
            const RangedProgress done = code_ranged_block(
                codes, code_of_.data(), first_at_.get(), next_, values_, start, stop, low_, range_);
            next_ = done.next;
            if (done.stop != stop)
                return Status::rejected;
        }
        return Status::done;
    }
    std::size_t size() const { return static_cast<std::size_t>(next_); }
    // The value at i is in range: its piece was coded.
    std::int32_t add(std::size_t i) {
        const std::uint64_t offset =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(values_[i])) -
            static_cast<std::uint64_t>(low_);
        std::int32_t &code = code_of_[offset];
        if (code < 0) {
            code = next_;
            first_at_[static_cast<std::size_t>(next_++)] = static_cast<std::int64_t>(i);
        }
        return code;
    }
    // The first positions of the codes, in code order; clears the codes.
    void take_firsts(std::vector<std::int64_t> &first) {
        first.assign(first_at_.get(), first_at_.get() + next_);
        for (const std::int64_t i : first)
            code_of_[static_cast<std::uint64_t>(static_cast<std::int64_t>(values_[i])) -
                     static_cast<std::uint64_t>(low_)] = -1;
        next_ = 0;
    }

private:
    const T *values_;
    std::int64_t low_;
    std::size_t range_;
    std::vector<std::int32_t> code_of_;
    std::unique_ptr<std::int64_t[]> first_at_;
    std::int32_t next_ = 0;
};

// One piece at a time, each numbered afresh by a coder of its thread.
template <class T> class RangedPieceCoder {
public:
    RangedPieceCoder(const T *values, std::int64_t low, std::size_t range)
        : coder_(values, low, range, kFactorPiece) {}
    Status code(std::size_t begin, std::size_t end, std::int32_t *codes,
                std::vector<std::int64_t> &firsts) {
        const Status status = coder_.code(begin, end, codes, InterruptPoll{});
        coder_.take_firsts(firsts);
        return status;
    }

private:
    RangedCoder<T> coder_;
};

} // namespace

template <class T>
Status factorize_ranged(std::int32_t *codes, std::vector<std::int64_t> &first, const T *values,
                        std::size_t n, std::int64_t low, std::size_t range, InterruptPoll poll) {
    first.clear();
    if (range > static_cast<std::size_t>(kMaxCodes))
        return Status::rejected;
    RangedCoder<T> global(values, low, range, n);
    // Every thread of the pool would hold a table of the whole range: wide
    // ranges (up to twice the values) are numbered by the caller alone.
    const Status status = range > kMaxPieceRange
                              ? global.code(0, n, codes, poll)
                              : factorize_in_pieces(codes, n, poll, global, [&] {
                                    return RangedPieceCoder<T>(values, low, range);
                                });
    if (status == Status::done)
        global.take_firsts(first);
    return status;
}

template <class T>
bool find_range(std::int64_t &low, std::int64_t &high, const T *values, std::size_t n) {
    if (n == 0)
        return false;
    T lo = values[0], hi = values[0];
    for (std::size_t i = 1; i < n; ++i) {
        lo = values[i] < lo ? values[i] : lo;
        hi = values[i] > hi ? values[i] : hi;
    }
    if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) {
        if (hi > static_cast<T>(std::numeric_limits<std::int64_t>::max()))
            return false;
    }
    // NOLINTBEGIN(bugprone-signed-char-misuse): int8 values are numbers, widened with their sign
    low = static_cast<std::int64_t>(lo);
    high = static_cast<std::int64_t>(hi);
    // NOLINTEND(bugprone-signed-char-misuse)
    return true;
}

template <class T> bool has_nan_or_negative_zero(const T *values, std::size_t n) {
    bool odd = false;
    for (std::size_t i = 0; i < n; ++i) {
        const T v = values[i];
        // NOLINTNEXTLINE(bugprone-signed-bitwise): bools combined without branches
        odd |= (v != v) | ((v == T(0)) & std::signbit(v));
    }
    return odd;
}

namespace {

// The rows [begin, end) of count_pairs, out of line (see PELORKIT_NOINLINE).
PELORKIT_NOINLINE void count_pair_block(std::int64_t *table, std::size_t n_cols,
                                        const std::int32_t *rows, const std::int32_t *cols,
                                        std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        const std::int32_t r = rows[i], c = cols[i];
        // NOLINTNEXTLINE(bugprone-signed-bitwise): one sign test for both codes
        if ((r | c) >= 0)
            ++table[static_cast<std::size_t>(r) * n_cols + static_cast<std::size_t>(c)];
    }
}

} // namespace

Status count_pairs(std::int64_t *table, std::size_t n_rows, std::size_t n_cols,
                   const std::int32_t *rows, const std::int32_t *cols, std::size_t n,
                   InterruptPoll poll) {
    // On the pool every thread but the caller counts into a table of its own,
    // added in at the end (integer sums: the same whatever thread counted
    // which cells); only as many threads as the cells cover those tables.
    const std::size_t cells = n_rows * n_cols;
    const unsigned threads =
        n >= kParallelValues
            ? static_cast<unsigned>(std::min<std::size_t>(threads_for(n, kFactorPiece),
                                                          1 + n / std::max<std::size_t>(1, cells)))
            : 1;
    if (threads == 1) {
        for (std::size_t start = 0; start < n; start += kPollStride) {
            if (start != 0 && poll())
                return Status::interrupted;
            count_pair_block(table, n_cols, rows, cols, start, std::min(n, start + kPollStride));
        }
        return Status::done;
    }
    std::vector<std::vector<std::int64_t>> own(threads);
    const std::size_t n_pieces = (n + kFactorPiece - 1) / kFactorPiece;
    const Status status = run_in_pieces(
        n_pieces, threads, poll, [&](std::size_t piece, unsigned slot, InterruptPoll piece_poll) {
            std::int64_t *into = table;
            if (slot != 0) {
                if (own[slot].empty())
                    own[slot].assign(cells, 0);
                into = own[slot].data();
            }
            const std::size_t begin = piece * kFactorPiece;
            count_pair_block(into, n_cols, rows, cols, begin, std::min(n, begin + kFactorPiece));
            return piece_poll() ? Status::interrupted : Status::done;
        });
    if (status != Status::done)
        return status;
    for (const std::vector<std::int64_t> &counts : own)
        for (std::size_t i = 0; i < counts.size(); ++i)
            table[i] += counts[i];
    return Status::done;
}

void count_codes(std::int64_t *counts, const std::int32_t *codes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (codes[i] >= 0)
            ++counts[codes[i]];
}

#define PELORKIT_INTEGER_KERNELS(T)                                                                \
    template Status factorize_ranged<T>(std::int32_t *, std::vector<std::int64_t> &, const T *,    \
                                        std::size_t, std::int64_t, std::size_t, InterruptPoll);    \
    template bool find_range<T>(std::int64_t &, std::int64_t &, const T *, std::size_t);

PELORKIT_INTEGER_KERNELS(std::int8_t)
PELORKIT_INTEGER_KERNELS(std::int16_t)
PELORKIT_INTEGER_KERNELS(std::int32_t)
PELORKIT_INTEGER_KERNELS(std::int64_t)
PELORKIT_INTEGER_KERNELS(std::uint8_t)
PELORKIT_INTEGER_KERNELS(std::uint16_t)
PELORKIT_INTEGER_KERNELS(std::uint32_t)
PELORKIT_INTEGER_KERNELS(std::uint64_t)
#undef PELORKIT_INTEGER_KERNELS

template bool has_nan_or_negative_zero<float>(const float *, std::size_t);
template bool has_nan_or_negative_zero<double>(const double *, std::size_t);

} // namespace pelorkit::kernels
