#pragma once

#include <vector>

namespace kavo {

// A linear-phase Blackman-windowed sinc low-pass of `tapCount` taps, normalised to unit
// gain at 0 Hz. `cutoff` is in cycles per input sample (the half-amplitude point).
// Computed in doubles, returned as floats. Fewer than one tap gives an empty filter.
std::vector<float> designLowpass(int tapCount, double cutoff);

}  // namespace kavo
