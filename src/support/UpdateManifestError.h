#pragma once

#include "base/Error.h"

namespace kavo {

// Why the update manifest could not be read. Never shown to the user: a failed check
// is logged and retried at the next due check.
class UpdateManifestError : public Error {
public:
    enum class Kind { http, invalidResponse };

    // An answer outside 200...299.
    static UpdateManifestError http(int status);
    // A body that is not a manifest.
    static UpdateManifestError invalidResponse();

    Kind kind() const { return kind_; }
    // The status of `http`, otherwise 0.
    int status() const { return status_; }

    friend bool operator==(const UpdateManifestError& a, const UpdateManifestError& b) {
        return a.kind_ == b.kind_ && a.status_ == b.status_;
    }

private:
    UpdateManifestError(Kind kind, int status, const std::string& description);

    Kind kind_;
    int status_;
};

}  // namespace kavo
