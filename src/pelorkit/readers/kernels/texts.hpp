// Runs of UTF-8 texts in one buffer, the form in which the readers hand names
// to the kernels and take ids back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelorkit::kernels {

// Text i is data[offsets[i], offsets[i + 1]).
struct TextTable {
    const char *data = nullptr;
    const std::int64_t *offsets = nullptr; // size + 1 entries
    std::size_t size = 0;

    std::string_view operator[](std::size_t i) const {
        return {data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
    }
};

// Texts a kernel writes, one after the other.
class TextBuffer {
public:
    TextBuffer() : offsets_{0} {}

    void reserve(std::size_t texts, std::size_t bytes) {
        offsets_.reserve(texts + 1);
        data_.reserve(bytes);
    }
    // Appends to the text being written.
    void add(std::string_view part) { data_.append(part); }
    // Closes the text being written.
    void end() { offsets_.push_back(static_cast<std::int64_t>(data_.size())); }
    void push(std::string_view text) {
        add(text);
        end();
    }

    std::size_t size() const { return offsets_.size() - 1; }
    TextTable view() const { return {data_.data(), offsets_.data(), size()}; }

private:
    std::string data_;
    std::vector<std::int64_t> offsets_;
};

} // namespace pelorkit::kernels
