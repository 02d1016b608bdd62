#pragma once

#include <string>

namespace kavo {

// A random (version 4) UUID in upper-case canonical form, as capture file names use.
std::string makeUuid();

}  // namespace kavo
