// Id sets of cell-cell interaction tables on UTF-8 texts: codes by first
// appearance, set membership across tables, pair counting on a sorted axis and
// the splitting of "GA_GB--CA|CB" ids into their six parts.
#pragma once

#include "interrupt.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace pelorkit::kernels {

using Code = std::int32_t;
inline constexpr Code kNoCode = -1;

// Memory of the hash tables: cache-line aligned, and backed by huge pages once
// large, so that random probes miss the TLB less often.
struct FreeMemory {
    void operator()(void *memory) const;
};
template <class T> using TableMemory = std::unique_ptr<T[], FreeMemory>;
void *allocate_table_memory(std::size_t bytes);

// Numbers distinct byte strings by first appearance: equal bytes, equal code.
// The first text of each code is copied into storage of its own, so the codes
// outlive the texts they were made from.
class TextCodes {
public:
    TextCodes();
    TextCodes(const TextCodes &) = delete;
    TextCodes &operator=(const TextCodes &) = delete;

    // codes[i] receives the code of texts[i]; texts not seen before take the
    // next codes, in order. False when the poll asked to stop.
    bool intern(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll);
    // codes[i] receives the code of texts[i], or kNoCode for a text not seen.
    bool find(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll);

    std::size_t size() const { return entries_.size(); }
    std::string_view text(Code code) const;
    // Sizes the table for `count` texts at once, sparing the regrowth.
    void reserve(std::size_t count);

private:
    // A stored text is its 32-bit length followed by its bytes.
    struct Slot {
        const char *entry; // null when empty
        std::uint32_t tag;
        Code code;
    };
    // A small direct-mapped memo of the addresses of this call's texts:
    // columns that repeat one string object (cell types, genes) skip hashing.
    struct Recent {
        const char *data = nullptr;
        std::size_t size = 0;
        Code code = kNoCode;
    };

    template <bool Add>
    bool look_up(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll);
    template <bool Add> Code probe(std::string_view text, std::uint64_t hash);
    const char *store(std::string_view text);
    void resize(std::size_t slots);

    TableMemory<Slot> slots_;
    std::size_t mask_ = 0;
    std::vector<const char *> entries_;
    std::vector<std::uint64_t> hashes_;
    std::vector<TableMemory<char>> blocks_;
    std::size_t block_size_ = 0;
    std::size_t block_left_ = 0;
    char *block_next_ = nullptr;
    std::array<Recent, 256> recent_{};
};

// Which rows hold a text that occurs in every column: the intersection of
// the columns as sets. Columns are added in order, each in one or more runs of
// rows; the table of candidates shrinks as texts drop out, so later columns
// are probed against the texts still common.
class CommonTexts {
public:
    // `rows`: the length of the column, to size the table by the first one.
    void start_column(std::size_t rows);
    bool add_rows(std::span<const std::string_view> texts, InterruptPoll poll);
    void finish_column();
    // flags[i] = 1 when row i of `column` holds a text missing from at least
    // one column.
    bool flag_uncommon(std::uint8_t *flags, std::size_t column, InterruptPoll poll) const;
    std::size_t rows(std::size_t column) const { return rows_[column].size(); }

private:
    void narrow();

    std::unique_ptr<TextCodes> candidates_ = std::make_unique<TextCodes>();
    std::vector<std::int32_t> held_by_;   // per candidate: columns so far that hold it
    std::vector<std::vector<Code>> rows_; // per column: the candidate of each row
};

// A 64-bit hash of the bytes (only used to spread texts over the table).
std::uint64_t hash_text(std::string_view text);

// The row loops below ask `poll` every kPollStride rows and stop early when
// it says so (their outputs are then incomplete, and the caller raises).

// Appends to `order` the codes not listed yet, in row order; `listed[c]`
// marks listed codes and is grown as needed.
bool append_new_codes(std::vector<Code> &order, std::vector<std::uint8_t> &listed,
                      std::span<const Code> codes, InterruptPoll poll);

// holders[c] counts the columns that hold code c at least once; `last` is
// scratch of the same size, filled with -1 before the first column. Call once
// per column, numbering the columns from 0.
bool count_holding_columns(std::span<std::int32_t> holders, std::span<std::int32_t> last,
                           std::span<const Code> codes, std::int32_t column, InterruptPoll poll);

// row_of_target[t] receives the row of `codes` whose code has target t
// (target_of_code[c] >= 0, or -1 for no target; rows coded kNoCode have no
// target); other entries become -1.
// `repeated` receives the first row that repeats a target already located, or
// codes.size().
bool locate_target_rows(std::span<std::int64_t> row_of_target, std::size_t &repeated,
                        std::span<const Code> target_of_code, std::span<const Code> codes,
                        InterruptPoll poll);

// used[a[i]] = used[b[i]] = 1 for every row i kept (`keep` null keeps all).
bool mark_pair_codes(std::span<std::uint8_t> used, std::span<const Code> a, std::span<const Code> b,
                     const std::uint8_t *keep, InterruptPoll poll);

// Codes 0..n-1 ordered by the bytes of their texts, ascending: for UTF-8 this
// is the code-point order in which Python compares str.
std::vector<Code> codes_sorted_by_text(const TextCodes &texts);

// matrix[rank[a[i]] * k + rank[b[i]]] += 1 for every row i kept (`keep` null
// keeps all rows). Ranks are below k. False when the poll asked to stop.
bool count_rank_pairs(std::int64_t *matrix, std::size_t k, std::span<const Code> rank,
                      std::span<const Code> a, std::span<const Code> b, const std::uint8_t *keep,
                      InterruptPoll poll);

// The parts of an interaction id as str.split takes them: gene pair and cell
// pair around the first "--" (the field after a second "--" is dropped), then
// the genes around the first "_" and the cell types around the first "|" of
// their pair (again ignoring further fields). False when a separator is
// missing, where the Python indexing would fail.
inline constexpr std::size_t kGenePair = 0, kCellPair = 1, kGeneA = 2, kGeneB = 3, kCellA = 4,
                             kCellB = 5, kIdParts = 6;
bool split_interaction_id(std::array<std::string_view, kIdParts> &parts, std::string_view id);

} // namespace pelorkit::kernels
