#include "support/UpdateManifestService.h"

#include "support/UpdateManifestError.h"

namespace kavo {

namespace {

const Logger& manifestLog() {
    static const Logger log{"UpdateManifest"};
    return log;
}

}  // namespace

UpdateManifest UpdateManifestService::fetch(std::stop_token stop) const {
    HTTPRequest request;
    request.method = "GET";
    request.url = manifestURL;
    request.headers.set("Accept", "application/json");
    request.timeout = kTimeout;
    request.connectTimeout = kTimeout;
    const HTTPResponse response = transport->data(request, stop);
    if (response.status < 200 || response.status > 299) {
        manifestLog().debug("Update manifest HTTP {}", response.status);
        throw UpdateManifestError::http(response.status);
    }
    try {
        return UpdateManifest::decode(response.body);
    } catch (const std::exception& error) {
        manifestLog().debug("Update manifest did not decode: {}", error.what());
        throw UpdateManifestError::invalidResponse();
    }
}

}  // namespace kavo
