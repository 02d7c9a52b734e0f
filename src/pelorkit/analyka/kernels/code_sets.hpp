// Set operations on the codes of id columns: the texts common to every
// column (an intersection), the codes in order of first appearance (a union),
// how many columns hold each code, and where target codes stand in a column.
#pragma once

#include "pelorkit/kernel_status.hpp"
#include "text_codes.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace pelorkit::kernels {

// Which rows hold a text that occurs in every column: the intersection of
// the columns as sets. Columns are added in order, each in one or more runs of
// rows; the table of candidates shrinks as texts drop out, so later columns
// are probed against the texts still common.
class CommonTexts {
public:
    // `rows`: the length of the column, to size the table by the first one.
    void start_column(std::size_t rows);
    Status add_rows(std::span<const std::string_view> texts, InterruptPoll poll);
    void finish_column();
    // flags[i] = 1 when row i of `column` holds a text missing from at least
    // one column.
    Status flag_uncommon(std::uint8_t *flags, std::size_t column, InterruptPoll poll) const;
    std::size_t rows(std::size_t column) const { return rows_[column].size(); }

private:
    void narrow();

    std::unique_ptr<TextCodes> candidates_ = std::make_unique<TextCodes>();
    std::vector<std::int32_t> held_by_;   // per candidate: columns so far that hold it
    std::vector<std::vector<Code>> rows_; // per column: the candidate of each row
};

// The row loops below ask `poll` every kPollStride rows and stop early when
// it says so (their outputs are then incomplete, and the caller raises).

// Appends to `order` the codes not listed yet, in row order; `listed[c]`
// marks listed codes and is grown as needed.
Status append_new_codes(std::vector<Code> &order, std::vector<std::uint8_t> &listed,
                        std::span<const Code> codes, InterruptPoll poll);

// holders[c] counts the columns that hold code c at least once; `last` is
// scratch of the same size, filled with -1 before the first column. Call once
// per column, numbering the columns from 0.
Status count_holding_columns(std::span<std::int32_t> holders, std::span<std::int32_t> last,
                             std::span<const Code> codes, std::int32_t column, InterruptPoll poll);

// row_of_target[t] receives the row of `codes` whose code has target t
// (target_of_code[c] >= 0, or -1 for no target; rows coded kNoCode have no
// target); other entries become -1.
// `repeated` receives the first row that repeats a target already located, or
// codes.size().
Status locate_target_rows(std::span<std::int64_t> row_of_target, std::size_t &repeated,
                          std::span<const Code> target_of_code, std::span<const Code> codes,
                          InterruptPoll poll);

} // namespace pelorkit::kernels
