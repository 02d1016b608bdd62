#include "CallbackAllocations.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/AudioCallbackScope.h"

// This file is the allocator of the test program, so it manages raw memory on purpose.
// NOLINTBEGIN(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)

namespace {

std::atomic<std::int64_t> callbackAllocations{0};

void* allocate(std::size_t size) {
    if (kavo::testing::insideAudioCallback()) callbackAllocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    if (kavo::testing::insideAudioCallback()) callbackAllocations.fetch_add(1);
    const auto align = static_cast<std::size_t>(alignment);
    const std::size_t rounded = (size + align - 1) / align * align;
    if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) return p;
    throw std::bad_alloc();
}

}  // namespace

namespace kavo::testing {

std::int64_t allocationsInAudioCallbacks() { return callbackAllocations.load(); }

}  // namespace kavo::testing

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return allocateAligned(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

// NOLINTEND(cppcoreguidelines-no-malloc, cppcoreguidelines-owning-memory)
