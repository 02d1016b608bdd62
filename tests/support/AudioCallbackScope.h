#pragma once

namespace kavo::testing {

// Marks the current thread as inside an audio callback while it lives, so that a test can
// check what the code under test does there (allocations, for one).
inline thread_local int audioCallbackDepth = 0;

class AudioCallbackScope {
public:
    AudioCallbackScope() { ++audioCallbackDepth; }
    AudioCallbackScope(const AudioCallbackScope&) = delete;
    AudioCallbackScope& operator=(const AudioCallbackScope&) = delete;
    ~AudioCallbackScope() { --audioCallbackDepth; }
};

inline bool insideAudioCallback() {
    return audioCallbackDepth > 0;
}

}  // namespace kavo::testing
