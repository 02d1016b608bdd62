#pragma once

#include <string>

#include "support/SystemIdentity.h"

namespace kavo {

// Who files a support report: this application and the machine it runs on.
struct SupportEnvironment {
    std::string client;
    std::string appVersion;
    std::string appBuild;
    std::string osVersion;
    std::string deviceModel;
    std::string arch;

    bool operator==(const SupportEnvironment&) const = default;

    static constexpr const char* kClient = "linux-desktop";

    // The record for this build on the machine `system` describes: the compiled-in
    // version, "unknown" for a model the firmware does not name, and "arm64" for 64-bit
    // ARM, as the server's reports name it.
    static SupportEnvironment current(const SystemIdentity& system);
};

}  // namespace kavo
