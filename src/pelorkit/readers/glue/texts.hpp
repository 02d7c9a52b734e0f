// UTF-8 copies of str objects for the kernels, kept with the objects.
#pragma once

#include "pelorkit/python.hpp"
#include "pelorkit/pyfunction.hpp"

#include "kernels/texts.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace pelorkit::readers {

inline constexpr std::size_t kAllText = static_cast<std::size_t>(-1);

class Texts {
public:
    Texts() : offsets_{0} {}

    // The items of `values` (anything numpy turns into an object array). An
    // item that is not a str becomes an empty text, and the position of the
    // first such item is kept (first_other()).
    static Texts of(const Call &call, py::handle values);
    // The same from texts already encoded.
    static Texts of(const Call &call, const kernels::TextTable &texts);

    kernels::TextTable view() const { return {data_.data(), offsets_.data(), size()}; }
    std::size_t size() const { return offsets_.size() - 1; }
    std::string_view operator[](std::size_t i) const { return view()[i]; }
    // The object array the texts came from (or were decoded into).
    const py::object &objects() const { return objects_; }
    std::size_t first_other() const { return first_other_; }

private:
    std::string data_;
    std::vector<std::int64_t> offsets_;
    py::object objects_;
    std::size_t first_other_ = kAllText;
};

} // namespace pelorkit::readers
