// Id sets of cell-cell interaction tables on UTF-8 texts.
#include "cci.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pelorkit::kernels {
namespace {

std::uint64_t load64(const char *p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint64_t load32(const char *p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

constexpr std::uint64_t kSeed0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kSeed1 = 0xe7037ed1a0b428dbull;

// Texts hashed ahead of their probe, so the slot loads overlap.
constexpr std::size_t kBatch = 32;

constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// The first block of stored texts; later blocks double up to a huge page.
constexpr std::size_t kFirstBlock = std::size_t{16} << 10;

std::size_t load_size(const char *entry) {
    std::uint32_t size;
    std::memcpy(&size, entry, sizeof size);
    return size;
}

bool entry_equals(const char *entry, std::string_view text) {
    return load_size(entry) == text.size() &&
           std::memcmp(entry + sizeof(std::uint32_t), text.data(), text.size()) == 0;
}

// Runs body(i) for every row, asking the poll between strides of rows.
template <class Body> bool for_each_row(std::size_t rows, InterruptPoll poll, Body &&body) {
    for (std::size_t start = 0; start < rows; start += kPollStride) {
        const std::size_t end = std::min(rows, start + kPollStride);
        for (std::size_t i = start; i < end; ++i)
            body(i);
        if (end < rows && poll())
            return false;
    }
    return true;
}

} // namespace

std::uint64_t hash_text(std::string_view text) {
    const char *p = text.data();
    const std::size_t n = text.size();
    std::uint64_t seed = kSeed0;
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n <= 16) {
        if (n >= 4) {
            const std::size_t step = (n >> 3) << 2;
            a = (load32(p) << 32) | load32(p + step);
            b = (load32(p + n - 4) << 32) | load32(p + n - 4 - step);
        } else if (n > 0) {
            a = (std::uint64_t{static_cast<unsigned char>(p[0])} << 16) |
                (std::uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8) |
                std::uint64_t{static_cast<unsigned char>(p[n - 1])};
        }
    } else {
        std::size_t left = n;
        while (left > 16) {
            seed = mum(load64(p) ^ kSeed1, load64(p + 8) ^ seed);
            p += 16;
            left -= 16;
        }
        a = load64(p + left - 16);
        b = load64(p + left - 8);
    }
    return mum(kSeed1 ^ n, mum(a ^ kSeed1, b ^ seed));
}

void FreeMemory::operator()(void *memory) const {
    std::free(memory);
}

void *allocate_table_memory(std::size_t bytes) {
    const std::size_t align = bytes >= kHugePage ? kHugePage : kCacheLine;
    bytes = (bytes + align - 1) / align * align;
    void *memory = std::aligned_alloc(align, bytes);
    if (memory == nullptr)
        throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (align == kHugePage)
        madvise(memory, bytes, MADV_HUGEPAGE); // a hint: failure changes nothing
#endif
    return memory;
}

TextCodes::TextCodes() {
    resize(1024);
}

std::string_view TextCodes::text(Code code) const {
    const char *entry = entries_[static_cast<std::size_t>(code)];
    return {entry + sizeof(std::uint32_t), load_size(entry)};
}

const char *TextCodes::store(std::string_view text) {
    if (text.size() > UINT32_MAX)
        throw std::length_error("an id is too long");
    const std::size_t need = sizeof(std::uint32_t) + text.size();
    // An entry that fits in a cache line does not straddle two, so a probe
    // that compares it loads one line.
    const std::size_t used =
        static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(block_next_) & (kCacheLine - 1));
    if (need <= kCacheLine && used + need > kCacheLine && block_left_ >= kCacheLine - used) {
        block_next_ += kCacheLine - used;
        block_left_ -= kCacheLine - used;
    }
    if (need > block_left_) {
        // Blocks grow from small (few names) to huge pages (many ids).
        const std::size_t grown =
            blocks_.empty() ? kFirstBlock : std::min(2 * block_size_, kHugePage);
        block_size_ = std::max(need, grown);
        blocks_.emplace_back(static_cast<char *>(allocate_table_memory(block_size_)));
        block_next_ = blocks_.back().get();
        block_left_ = block_size_;
    }
    char *entry = block_next_;
    const auto length = static_cast<std::uint32_t>(text.size());
    std::memcpy(entry, &length, sizeof length);
    if (!text.empty())
        std::memcpy(entry + sizeof length, text.data(), text.size());
    block_next_ += need;
    block_left_ -= need;
    return entry;
}

void TextCodes::reserve(std::size_t count) {
    std::size_t slots = mask_ + 1;
    while (count * 2 > slots)
        slots *= 2;
    if (slots != mask_ + 1)
        resize(slots);
}

void TextCodes::resize(std::size_t slots) {
    TableMemory<Slot> table(static_cast<Slot *>(allocate_table_memory(slots * sizeof(Slot))));
    std::fill_n(table.get(), slots, Slot{nullptr, 0, kNoCode});
    const std::size_t mask = slots - 1;
    for (std::size_t code = 0; code < entries_.size(); ++code) {
        std::size_t i = static_cast<std::size_t>(hashes_[code]) & mask;
        while (table[i].entry != nullptr)
            i = (i + 1) & mask;
        table[i] = Slot{entries_[code], static_cast<std::uint32_t>(hashes_[code] >> 32),
                        static_cast<Code>(code)};
    }
    slots_ = std::move(table);
    mask_ = mask;
}

template <bool Add> Code TextCodes::probe(std::string_view text, std::uint64_t hash) {
    const auto tag = static_cast<std::uint32_t>(hash >> 32);
    std::size_t i = static_cast<std::size_t>(hash) & mask_;
    for (;; i = (i + 1) & mask_) {
        const Slot slot = slots_[i];
        if (slot.entry == nullptr)
            break;
        if (slot.tag == tag && entry_equals(slot.entry, text))
            return slot.code;
    }
    if constexpr (!Add)
        return kNoCode;
    if (entries_.size() >= static_cast<std::size_t>(INT32_MAX))
        throw std::length_error("too many distinct ids");
    const auto code = static_cast<Code>(entries_.size());
    const char *entry = store(text);
    slots_[i] = Slot{entry, tag, code};
    entries_.push_back(entry);
    hashes_.push_back(hash);
    if (entries_.size() * 2 > mask_ + 1)
        resize(2 * (mask_ + 1));
    return code;
}

bool TextCodes::intern(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll) {
    return look_up<true>(codes, texts, poll);
}

bool TextCodes::find(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll) {
    return look_up<false>(codes, texts, poll);
}

template <bool Add>
bool TextCodes::look_up(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll) {
    // The memo holds addresses of this call's texts only: an address seen in
    // an earlier call may since belong to another string.
    recent_.fill(Recent{});
    const auto memo = [&](const char *data) -> Recent & {
        const std::uint64_t spread = reinterpret_cast<std::uintptr_t>(data) * 0x9e3779b97f4a7c15ull;
        return recent_[spread >> 56];
    };
    // Three passes per batch, so that the loads of one pass overlap: hash and
    // fetch the home slots; walk each chain to its first slot of the same tag
    // (an empty slot first settles that the text is absent) and fetch the
    // stored text; then compare.
    std::array<std::uint64_t, kBatch> hashes{};
    std::array<Code, kBatch> known{};
    std::array<Slot, kBatch> candidate{};
    std::array<bool, kBatch> absent{};
    std::size_t since_poll = 0;
    for (std::size_t start = 0; start < texts.size(); start += kBatch) {
        const std::size_t count = std::min(kBatch, texts.size() - start);
        const std::string_view *batch = texts.data() + start;
        for (std::size_t j = 0; j < count; ++j) {
            const Recent &seen = memo(batch[j].data());
            if (seen.data == batch[j].data() && seen.size == batch[j].size() &&
                seen.code != kNoCode) {
                known[j] = seen.code;
                continue;
            }
            known[j] = kNoCode;
            hashes[j] = hash_text(batch[j]);
            __builtin_prefetch(&slots_[static_cast<std::size_t>(hashes[j]) & mask_]);
        }
        for (std::size_t j = 0; j < count; ++j) {
            if (known[j] != kNoCode)
                continue;
            const auto tag = static_cast<std::uint32_t>(hashes[j] >> 32);
            candidate[j].entry = nullptr;
            absent[j] = false;
            for (std::size_t i = static_cast<std::size_t>(hashes[j]) & mask_;;
                 i = (i + 1) & mask_) {
                const Slot &slot = slots_[i];
                if (slot.entry == nullptr) {
                    absent[j] = true;
                    break;
                }
                if (slot.tag == tag) {
                    candidate[j] = slot;
                    __builtin_prefetch(slot.entry);
                    break;
                }
            }
        }
        for (std::size_t j = 0; j < count; ++j) {
            Code code = known[j];
            if (code == kNoCode) {
                if (candidate[j].entry != nullptr && entry_equals(candidate[j].entry, batch[j]))
                    code = candidate[j].code;
                else if (!Add && absent[j])
                    code = kNoCode;
                else
                    code = probe<Add>(batch[j], hashes[j]);
                memo(batch[j].data()) = Recent{batch[j].data(), batch[j].size(), code};
            }
            codes[start + j] = code;
        }
        since_poll += count;
        if (since_poll >= kPollStride) {
            since_poll = 0;
            if (poll())
                return false;
        }
    }
    return true;
}

void CommonTexts::start_column(std::size_t rows) {
    rows_.emplace_back();
    rows_.back().reserve(rows);
    if (rows_.size() == 1)
        candidates_->reserve(rows);
}

bool CommonTexts::add_rows(std::span<const std::string_view> texts, InterruptPoll poll) {
    std::vector<Code> &rows = rows_.back();
    const std::size_t start = rows.size();
    rows.resize(start + texts.size());
    Code *codes = rows.data() + start;
    if (rows_.size() == 1) {
        if (!candidates_->intern(codes, texts, poll))
            return false;
        held_by_.resize(candidates_->size(), 1);
        return true;
    }
    if (!candidates_->find(codes, texts, poll))
        return false;
    // A candidate held by every earlier column counts this one once.
    const auto earlier = static_cast<std::int32_t>(rows_.size() - 1);
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (codes[i] != kNoCode && held_by_[static_cast<std::size_t>(codes[i])] == earlier)
            held_by_[static_cast<std::size_t>(codes[i])] = earlier + 1;
    return true;
}

void CommonTexts::finish_column() {
    const auto columns = static_cast<std::int32_t>(rows_.size());
    const auto alive =
        static_cast<std::size_t>(std::count(held_by_.begin(), held_by_.end(), columns));
    if (rows_.size() > 1 && alive * 2 < held_by_.size())
        narrow();
}

void CommonTexts::narrow() {
    // Rebuild the table from the texts still held by every column, and
    // renumber the rows already seen (dropped texts become kNoCode).
    const auto columns = static_cast<std::int32_t>(rows_.size());
    auto kept = std::make_unique<TextCodes>();
    std::vector<Code> renumber(held_by_.size(), kNoCode);
    std::vector<std::string_view> texts;
    for (std::size_t c = 0; c < held_by_.size(); ++c)
        if (held_by_[c] == columns)
            texts.push_back(candidates_->text(static_cast<Code>(c)));
    std::vector<Code> codes(texts.size());
    kept->intern(codes.data(), texts, InterruptPoll{});
    std::size_t next = 0;
    for (std::size_t c = 0; c < held_by_.size(); ++c)
        if (held_by_[c] == columns)
            renumber[c] = codes[next++];
    for (std::vector<Code> &rows : rows_)
        for (Code &code : rows)
            if (code != kNoCode)
                code = renumber[static_cast<std::size_t>(code)];
    candidates_ = std::move(kept);
    held_by_.assign(candidates_->size(), columns);
}

bool CommonTexts::flag_uncommon(std::uint8_t *flags, std::size_t column, InterruptPoll poll) const {
    const auto columns = static_cast<std::int32_t>(rows_.size());
    const std::vector<Code> &rows = rows_[column];
    return for_each_row(rows.size(), poll, [&](std::size_t i) {
        const Code code = rows[i];
        flags[i] = code != kNoCode && held_by_[static_cast<std::size_t>(code)] == columns ? 0 : 1;
    });
}

bool append_new_codes(std::vector<Code> &order, std::vector<std::uint8_t> &listed,
                      std::span<const Code> codes, InterruptPoll poll) {
    return for_each_row(codes.size(), poll, [&](std::size_t i) {
        const auto code = static_cast<std::size_t>(codes[i]);
        if (code >= listed.size())
            listed.resize(std::max(code + 1, listed.size() * 2), 0);
        if (listed[code] == 0) {
            listed[code] = 1;
            order.push_back(codes[i]);
        }
    });
}

bool count_holding_columns(std::span<std::int32_t> holders, std::span<std::int32_t> last,
                           std::span<const Code> codes, std::int32_t column, InterruptPoll poll) {
    return for_each_row(codes.size(), poll, [&](std::size_t i) {
        const auto c = static_cast<std::size_t>(codes[i]);
        if (last[c] != column) {
            last[c] = column;
            ++holders[c];
        }
    });
}

bool locate_target_rows(std::span<std::int64_t> row_of_target, std::size_t &repeated,
                        std::span<const Code> target_of_code, std::span<const Code> codes,
                        InterruptPoll poll) {
    std::fill(row_of_target.begin(), row_of_target.end(), -1);
    repeated = codes.size();
    return for_each_row(codes.size(), poll, [&](std::size_t row) {
        const Code code = codes[row];
        const Code target = code < 0 ? kNoCode : target_of_code[static_cast<std::size_t>(code)];
        if (target < 0)
            return;
        std::int64_t &slot = row_of_target[static_cast<std::size_t>(target)];
        if (slot >= 0)
            repeated = std::min(repeated, row);
        else
            slot = static_cast<std::int64_t>(row);
    });
}

bool mark_pair_codes(std::span<std::uint8_t> used, std::span<const Code> a, std::span<const Code> b,
                     const std::uint8_t *keep, InterruptPoll poll) {
    return for_each_row(a.size(), poll, [&](std::size_t i) {
        if (keep == nullptr || keep[i] != 0) {
            used[static_cast<std::size_t>(a[i])] = 1;
            used[static_cast<std::size_t>(b[i])] = 1;
        }
    });
}

std::vector<Code> codes_sorted_by_text(const TextCodes &texts) {
    std::vector<Code> order(texts.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<Code>(i);
    std::sort(order.begin(), order.end(),
              [&](Code x, Code y) { return texts.text(x) < texts.text(y); });
    return order;
}

bool count_rank_pairs(std::int64_t *matrix, std::size_t k, std::span<const Code> rank,
                      std::span<const Code> a, std::span<const Code> b, const std::uint8_t *keep,
                      InterruptPoll poll) {
    return for_each_row(a.size(), poll, [&](std::size_t i) {
        if (keep != nullptr && keep[i] == 0)
            return;
        const auto row = static_cast<std::size_t>(rank[static_cast<std::size_t>(a[i])]);
        const auto col = static_cast<std::size_t>(rank[static_cast<std::size_t>(b[i])]);
        ++matrix[row * k + col];
    });
}

namespace {

// The first two fields of text.split(sep); false when there is no separator.
bool first_two_fields(std::string_view &first, std::string_view &second, std::string_view text,
                      std::string_view sep) {
    const std::size_t at = text.find(sep);
    if (at == std::string_view::npos)
        return false;
    first = text.substr(0, at);
    std::string_view rest = text.substr(at + sep.size());
    second = rest.substr(0, rest.find(sep));
    return true;
}

} // namespace

bool split_interaction_id(std::array<std::string_view, kIdParts> &parts, std::string_view id) {
    // The separators are ASCII, and no byte of a multi-byte UTF-8 character
    // is ASCII, so splitting the bytes splits the characters.
    return first_two_fields(parts[kGenePair], parts[kCellPair], id, "--") &&
           first_two_fields(parts[kGeneA], parts[kGeneB], parts[kGenePair], "_") &&
           first_two_fields(parts[kCellA], parts[kCellB], parts[kCellPair], "|");
}

} // namespace pelorkit::kernels
