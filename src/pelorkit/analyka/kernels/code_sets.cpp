// Set operations on the codes of id columns (see code_sets.hpp).
#include "code_sets.hpp"

#include <algorithm>

namespace pelorkit::kernels {

void CommonTexts::start_column(std::size_t rows) {
    rows_.emplace_back();
    rows_.back().reserve(rows);
    if (rows_.size() == 1)
        candidates_->reserve(rows);
}

Status CommonTexts::add_rows(std::span<const std::string_view> texts, InterruptPoll poll) {
    std::vector<Code> &rows = rows_.back();
    const std::size_t start = rows.size();
    rows.resize(start + texts.size());
    Code *codes = rows.data() + start;
    if (rows_.size() == 1) {
        if (candidates_->intern(codes, texts, poll) != Status::done)
            return Status::interrupted;
        held_by_.resize(candidates_->size(), 1);
        return Status::done;
    }
    if (candidates_->find(codes, texts, poll) != Status::done)
        return Status::interrupted;
    // A candidate held by every earlier column counts this one once.
    const auto earlier = static_cast<std::int32_t>(rows_.size() - 1);
    for (std::size_t i = 0; i < texts.size(); ++i)
        if (codes[i] != kNoCode && held_by_[static_cast<std::size_t>(codes[i])] == earlier)
            held_by_[static_cast<std::size_t>(codes[i])] = earlier + 1;
    return Status::done;
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

Status CommonTexts::flag_uncommon(std::uint8_t *flags, std::size_t column,
                                  InterruptPoll poll) const {
    const auto columns = static_cast<std::int32_t>(rows_.size());
    const std::vector<Code> &rows = rows_[column];
    return for_each_polled(0, rows.size(), poll, [&](std::size_t i) {
        const Code code = rows[i];
        flags[i] = code != kNoCode && held_by_[static_cast<std::size_t>(code)] == columns ? 0 : 1;
    });
}

Status append_new_codes(std::vector<Code> &order, std::vector<std::uint8_t> &listed,
                        std::span<const Code> codes, InterruptPoll poll) {
    return for_each_polled(0, codes.size(), poll, [&](std::size_t i) {
        const auto code = static_cast<std::size_t>(codes[i]);
        if (code >= listed.size())
            listed.resize(std::max(code + 1, listed.size() * 2), 0);
        if (listed[code] == 0) {
            listed[code] = 1;
            order.push_back(codes[i]);
        }
    });
}

Status count_holding_columns(std::span<std::int32_t> holders, std::span<std::int32_t> last,
                             std::span<const Code> codes, std::int32_t column, InterruptPoll poll) {
    return for_each_polled(0, codes.size(), poll, [&](std::size_t i) {
        const auto c = static_cast<std::size_t>(codes[i]);
        if (last[c] != column) {
            last[c] = column;
            ++holders[c];
        }
    });
}

Status locate_target_rows(std::span<std::int64_t> row_of_target, std::size_t &repeated,
                          std::span<const Code> target_of_code, std::span<const Code> codes,
                          InterruptPoll poll) {
    std::fill(row_of_target.begin(), row_of_target.end(), -1);
    repeated = codes.size();
    return for_each_polled(0, codes.size(), poll, [&](std::size_t row) {
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

} // namespace pelorkit::kernels
