// Where the calling thread's stack ends, as the platform's thread interface
// tells it (Linux, macOS, Windows). Plain C++, no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pelorkit::analyka {

struct StackExtent {
    std::uintptr_t lowest; // the stack grows down towards this address
    std::size_t size;
};

// The calling thread's stack, or nullopt where the platform does not tell.
std::optional<StackExtent> current_thread_stack();

} // namespace pelorkit::analyka
