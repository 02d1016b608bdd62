#include "support/UpdateManifestError.h"

#include <fmt/format.h>

namespace kavo {

UpdateManifestError::UpdateManifestError(Kind kind, int status, const std::string& description)
    : Error(description), kind_(kind), status_(status) {}

UpdateManifestError UpdateManifestError::http(int status) {
    return UpdateManifestError(Kind::http, status,
                               fmt::format("The update manifest answered HTTP {}.", status));
}

UpdateManifestError UpdateManifestError::invalidResponse() {
    return UpdateManifestError(Kind::invalidResponse, 0, "The update manifest could not be read.");
}

}  // namespace kavo
