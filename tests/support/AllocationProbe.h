#pragma once

#include <cstdint>

namespace kavo::testing {

// A test program that uses these gets an operator new that counts, so a test can show
// that a real-time path allocates nothing. (libsoxr allocates with malloc and is not
// counted.)

// Allocations made, on any thread, while that thread was inside an audio callback
// (AudioCallbackScope).
std::int64_t allocationsInAudioCallbacks();

}  // namespace kavo::testing
