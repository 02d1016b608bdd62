#pragma once

#include <cstdint>

namespace kavo::testing {

// Allocations made, on any thread, while that thread was inside an audio callback
// (AudioCallbackScope): the real-time path must make none.
std::int64_t allocationsInAudioCallbacks();

}  // namespace kavo::testing
