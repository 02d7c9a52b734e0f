// Counting by codes: per-cell values turned into small integer codes, in
// order of first appearance, and pairs of codes counted into a dense table.
#pragma once

#include "pelorkit/kernel_status.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace pelorkit::kernels {

// Polls once per kPollStride units of work.
class WorkPoll {
public:
    explicit WorkPoll(InterruptPoll poll) : poll_(poll) {}
    // True when the computation must stop now.
    bool advance(std::size_t work) {
        done_ += work;
        if (done_ < kPollStride)
            return false;
        done_ = 0;
        return poll_();
    }

private:
    InterruptPoll poll_;
    std::size_t done_ = 0;
};

// 64-bit finaliser (MurmurHash3's fmix64): spreads any key bits over the word.
inline std::uint64_t mix_hash(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// Open-addressing table from a key's hash (well mixed: all bits matter) to
// its code, kept at most a quarter full so that most lookups take one probe
// (the probe loop's exit is then well predicted). The table stores no keys: the caller keeps one
// representative per code and says, through `same(code)`, whether the key at hand equals that
// code's representative.
class CodeTable {
public:
    explicit CodeTable(std::size_t expected = 16) { resize(capacity_for(expected)); }

    // The code of the key, or a new code (the next integer) when the key is new;
    // the flag tells which.
    template <class Same>
    std::pair<std::int32_t, bool> find_or_insert(std::uint64_t hash, Same &&same) {
        const std::uint64_t h = hash;
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot &slot = slots_[i];
            if (slot.code < 0) {
                const std::int32_t code = size_++;
                slot = {h, code};
                if (static_cast<std::size_t>(size_) * 4 > slots_.size())
                    resize(slots_.size() * 2);
                return {code, true};
            }
            if (slot.hash == h && same(slot.code))
                return {slot.code, false};
        }
    }
    std::int32_t size() const { return size_; }

private:
    struct Slot {
        std::uint64_t hash;
        std::int32_t code;
    };
    static std::size_t capacity_for(std::size_t expected) {
        std::size_t capacity = 16;
        while (capacity < expected * 4)
            capacity *= 2;
        return capacity;
    }
    void resize(std::size_t capacity);

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::int32_t size_ = 0;
};

// The factorizers number a million values or more in pieces on the thread
// pool when the first values show few distinct ones (counting.cpp), with the
// codes of the sequential walk.

// Codes of fixed-width byte records (numpy 'U' and 'S' strings, integers):
// equal bytes, equal code. `first` receives the position of each code's first
// record. Rejected only when there are more than 2^31 - 1 distinct records.
Status factorize_records(std::int32_t *codes, std::vector<std::int64_t> &first,
                         const std::byte *data, std::size_t n, std::size_t width,
                         InterruptPoll poll);

// Codes of integers that lie in [low, low + range), by direct addressing
// (categorical codes, integer labels of a narrow range). Rejected when a value
// falls outside.
template <class T>
Status factorize_ranged(std::int32_t *codes, std::vector<std::int64_t> &first, const T *values,
                        std::size_t n, std::int64_t low, std::size_t range, InterruptPoll poll);

// Smallest and largest value of an integer array; false when it is empty or
// holds a value beyond the int64 range.
template <class T>
bool find_range(std::int64_t &low, std::int64_t &high, const T *values, std::size_t n);

// Whether a float array holds NaN or negative zero, the two values whose
// equality differs from equality of their bits.
template <class T> bool has_nan_or_negative_zero(const T *values, std::size_t n);

// table[rows[i] * n_cols + cols[i]] += 1 for every i with both codes >= 0.
// Codes must be below the table's dimensions, n_rows x n_cols. A million
// cells or more are counted on the thread pool.
Status count_pairs(std::int64_t *table, std::size_t n_rows, std::size_t n_cols,
                   const std::int32_t *rows, const std::int32_t *cols, std::size_t n,
                   InterruptPoll poll);

// counts[codes[i]] += 1 for every non-negative code.
void count_codes(std::int64_t *counts, const std::int32_t *codes, std::size_t n);

} // namespace pelorkit::kernels
