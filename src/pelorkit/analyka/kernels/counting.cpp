// Counting by codes: factorising fixed-width records and narrow integers, and
// the pair-count table.
#include "counting.hpp"

#include "pelorkit/compiler.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

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

template <std::size_t Width>
Status factorize_width(std::int32_t *codes, std::vector<std::int64_t> &first, const std::byte *data,
                       std::size_t n, std::size_t width, InterruptPoll poll) {
    const std::size_t w = Width != 0 ? Width : width;
    CodeTable table;
    WorkPoll work(poll);
    for (std::size_t i = 0; i < n; ++i) {
        const std::byte *record = data + i * w;
        auto same = [&](std::int32_t code) {
            return same_record<Width>(data + static_cast<std::size_t>(first[code]) * w, record, w);
        };
        auto [code, inserted] = table.find_or_insert(hash_record<Width>(record, w), same);
        if (inserted) {
            if (code >= kMaxCodes)
                return Status::rejected;
            first.push_back(static_cast<std::int64_t>(i));
        }
        codes[i] = code;
        if (work.advance(1))
            return Status::interrupted;
    }
    return Status::done;
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

template <class T>
Status factorize_ranged(std::int32_t *codes, std::vector<std::int64_t> &first, const T *values,
                        std::size_t n, std::int64_t low, std::size_t range, InterruptPoll poll) {
    first.clear();
    if (range > static_cast<std::size_t>(kMaxCodes))
        return Status::rejected;
    std::vector<std::int32_t> code_of(range, -1);
    // First positions go to a buffer of the largest size they can take, not
    // to the vector, whose growth is a call in the loop. Only what is written
    // of the buffer is ever touched.
    std::unique_ptr<std::int64_t[]> first_at(new std::int64_t[std::min(range, n)]);
    std::int32_t next = 0;
    for (std::size_t start = 0; start < n; start += kPollStride) {
        if (start != 0 && poll())
            return Status::interrupted;
        const std::size_t end = std::min(n, start + kPollStride);
        const RangedProgress done = code_ranged_block(codes, code_of.data(), first_at.get(), next,
                                                      values, start, end, low, range);
        if (done.stop != end)
            return Status::rejected;
        next = done.next;
    }
    first.assign(first_at.get(), first_at.get() + next);
    return Status::done;
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

Status count_pairs(std::int64_t *table, std::size_t n_cols, const std::int32_t *rows,
                   const std::int32_t *cols, std::size_t n, InterruptPoll poll) {
    for (std::size_t start = 0; start < n; start += kPollStride) {
        if (start != 0 && poll())
            return Status::interrupted;
        count_pair_block(table, n_cols, rows, cols, start, std::min(n, start + kPollStride));
    }
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
