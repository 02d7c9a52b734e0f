// Byte strings numbered by first appearance (see text_codes.hpp).
#include "text_codes.hpp"
#include "pelorkit/compiler.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

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
    const WideProduct r = multiply_wide(a, b);
    return r.low ^ r.high;
}

constexpr std::uint64_t kSeed0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kSeed1 = 0xe7037ed1a0b428dbull;

// Texts hashed ahead of their probe, so the slot loads overlap.
constexpr std::size_t kBatch = 32;

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

Status TextCodes::intern(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll) {
    return look_up<true>(codes, texts, poll);
}

Status TextCodes::find(Code *codes, std::span<const std::string_view> texts, InterruptPoll poll) {
    return look_up<false>(codes, texts, poll);
}

template <bool Add>
Status TextCodes::look_up(Code *codes, std::span<const std::string_view> texts,
                          InterruptPoll poll) {
    // The memo holds addresses of this call's texts only: an address seen in
    // an earlier call may since belong to another string.
    recent_.fill(Recent{});
    const auto memo = [&](std::string_view text) -> Recent & {
        const std::uint64_t spread =
            reinterpret_cast<std::uintptr_t>(text.data()) * 0x9e3779b97f4a7c15ull;
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
            const Recent &seen = memo(batch[j]);
            if (seen.data == batch[j].data() && seen.size == batch[j].size() &&
                seen.code != kNoCode) {
                known[j] = seen.code;
                continue;
            }
            known[j] = kNoCode;
            hashes[j] = hash_text(batch[j]);
            PELORKIT_PREFETCH(&slots_[static_cast<std::size_t>(hashes[j]) & mask_]);
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
                    PELORKIT_PREFETCH(slot.entry);
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
                memo(batch[j]) = Recent{batch[j].data(), batch[j].size(), code};
            }
            codes[start + j] = code;
        }
        since_poll += count;
        if (since_poll >= kPollStride) {
            since_poll = 0;
            if (poll())
                return Status::interrupted;
        }
    }
    return Status::done;
}

} // namespace pelorkit::kernels
