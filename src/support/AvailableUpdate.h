#pragma once

#include <string>

namespace kavo {

// A published version newer than the running one, and the https page to get it from.
struct AvailableUpdate {
    // The manifest's "latestVersion" exactly as written.
    std::string version;
    std::string downloadPage;

    bool operator==(const AvailableUpdate&) const = default;
};

}  // namespace kavo
