#include "support/AllocationProbe.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/AudioCallbackScope.h"

// This file is the allocator itself, so it manages raw memory by design.
// NOLINTBEGIN(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)

namespace {

std::atomic<std::int64_t> callbackAllocations{0};

void count() {
    if (kavo::testing::insideAudioCallback())
        callbackAllocations.fetch_add(1, std::memory_order_relaxed);
}

void* allocate(std::size_t size) {
    count();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    count();
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) return p;
    throw std::bad_alloc();
}

}  // namespace

namespace kavo::testing {

std::int64_t allocationsInAudioCallbacks() {
    return callbackAllocations.load(std::memory_order_relaxed);
}

}  // namespace kavo::testing

// The array forms call these by default.
void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return allocateAligned(size, alignment);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

// NOLINTEND(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)
