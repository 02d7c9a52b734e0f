// Byte strings (the UTF-8 texts of ids and names) numbered by first
// appearance in an open-addressing hash table: equal bytes, equal code.
#pragma once

#include "pelorkit/kernel_status.hpp"
#include "table_memory.hpp"

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

// Numbers distinct byte strings by first appearance: equal bytes, equal code.
// The first text of each code is copied into storage of its own, so the codes
// outlive the texts they were made from.
class TextCodes {
public:
    TextCodes();
    TextCodes(const TextCodes &) = delete;
    TextCodes &operator=(const TextCodes &) = delete;

    // codes[i] receives the code of texts[i]; texts not seen before take the
    // next codes, in order.
    Status intern(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll);
    // codes[i] receives the code of texts[i], or kNoCode for a text not seen.
    Status find(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll);

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
    Status look_up(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll);
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

// A 64-bit hash of the bytes (only used to spread texts over the table).
std::uint64_t hash_text(std::string_view text);

} // namespace pelorkit::kernels
