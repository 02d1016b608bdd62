#pragma once

#include <string>

namespace kavo {

// The length of a capture as the menu shows it: "12:34" below an hour, "1:02:05" from an
// hour on. Fractions are truncated and negative lengths read as zero.
std::string elapsedTimeText(double seconds);

}  // namespace kavo
