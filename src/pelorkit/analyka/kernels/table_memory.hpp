// Memory for the hash tables of the id kernels (text_codes.hpp).
#pragma once

#include <cstddef>
#include <memory>

namespace pelorkit::kernels {

inline constexpr std::size_t kCacheLine = 64;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Memory of the hash tables: cache-line aligned, and backed by huge pages once
// large (on Linux; elsewhere only aligned), so that random probes miss the TLB
// less often.
struct FreeMemory {
    void operator()(void *memory) const;
};
template <class T> using TableMemory = std::unique_ptr<T[], FreeMemory>;
void *allocate_table_memory(std::size_t bytes);

} // namespace pelorkit::kernels
