#pragma once

#include <cstdint>

namespace kavo::testing {

// Counts operator new calls made on the calling thread, so a test can show that a
// real-time path allocates nothing. (libsoxr allocates with malloc and is not counted.)
std::int64_t allocationsOnThisThread();

}  // namespace kavo::testing
