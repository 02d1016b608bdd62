#include "support/SupportEnvironment.h"

#include "net/TextExcerpt.h"

namespace kavo {

SupportEnvironment SupportEnvironment::current(const SystemIdentity& system) {
    std::string model(trimmedWhitespace(system.productName().value_or("")));
    std::string arch = system.machine();
    if (arch == "aarch64") {
        arch = "arm64";
    }
    return SupportEnvironment{
        .client = kClient,
        .appVersion = KAVO_VERSION,
        .appBuild = KAVO_VERSION,
        .osVersion = system.osVersion(),
        .deviceModel = model.empty() ? "unknown" : std::move(model),
        .arch = std::move(arch),
    };
}

}  // namespace kavo
