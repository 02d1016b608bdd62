#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "net/HTTPTransport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kavo::testing {

// Azurite's blob service (devstack/'s version) in memory on a free loopback port. The
// constructor throws with Azurite's output when it cannot start: a test fails, never skips.
class AzuriteServer {
public:
    AzuriteServer() : AzuriteServer(std::vector<std::string>{}) {}
    // `nodeOptions` go to node before Azurite's script (a benchmark preloads with -r).
    explicit AzuriteServer(std::vector<std::string> nodeOptions);

    int port() const { return port_; }
    pid_t pid() const { return process_ ? process_->pid() : -1; }
    // Creates a container with Shared Key authorisation; throws unless Azurite answers 201.
    void createContainer(HTTPTransport& transport, const std::string& container) const;
    // A blob service SAS URL (sv 2021-08-06, sr b) with the given permissions and expiry.
    std::string sasURL(const std::string& container, const std::string& blob, WallTime expiry,
                       const std::string& permissions = "cw") const;
    // The committed blob's bytes; throws unless Azurite answers 200.
    std::string readBlob(HTTPTransport& transport, const std::string& container,
                         const std::string& blob) const;

private:
    int port_ = 0;
    // Declared before the process, so that it outlives it.
    TempDir workDirectory_;
    std::optional<ChildProcess> process_;
};

}  // namespace kavo::testing
