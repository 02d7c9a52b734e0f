// Memory for the hash tables of the id kernels (see table_memory.hpp).
#include "table_memory.hpp"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace pelorkit::kernels {

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

} // namespace pelorkit::kernels
