// The six parts of an interaction id (see interaction_ids.hpp).
#include "interaction_ids.hpp"

namespace pelorkit::kernels {
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
