#pragma once

#include <memory>
#include <stop_token>
#include <string>

#include "base/Log.h"
#include "net/HTTPTransport.h"
#include "support/UpdateManifest.h"

namespace kavo {

// Reads the published manifest, fresh each time (the transport keeps no cache). No
// tenant and no sign-in are involved.
struct UpdateManifestService {
    std::string manifestURL;
    std::shared_ptr<HTTPTransport> transport;

    static constexpr std::chrono::seconds kTimeout{5};

    // Throws UpdateManifestError for a non-2xx answer or a body that is not a manifest,
    // and the transport's errors unchanged.
    UpdateManifest fetch(std::stop_token stop = {}) const;
};

}  // namespace kavo
