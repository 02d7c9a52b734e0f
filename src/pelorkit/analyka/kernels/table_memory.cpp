// Memory for the hash tables of the id kernels (see table_memory.hpp).
#include "table_memory.hpp"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#elif defined(_WIN32)
#include <malloc.h>
#endif

namespace pelorkit::kernels {

void FreeMemory::operator()(void *memory) const {
#if defined(_WIN32)
    _aligned_free(memory);
#else
    std::free(memory);
#endif
}

void *allocate_table_memory(std::size_t bytes) {
    const std::size_t align = bytes >= kHugePage ? kHugePage : kCacheLine;
    bytes = (bytes + align - 1) / align * align;
#if defined(_WIN32)
    void *memory = _aligned_malloc(bytes, align);
#else
    void *memory = std::aligned_alloc(align, bytes);
#endif
    if (memory == nullptr)
        throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (align == kHugePage)
        madvise(memory, bytes, MADV_HUGEPAGE); // a hint: failure changes nothing
#endif
    return memory;
}

} // namespace pelorkit::kernels
