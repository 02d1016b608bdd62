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

// A real Azurite blob service (the version devstack/ pins) on 127.0.0.1 and a free
// port, in memory, for tests that must talk to actual Azure storage semantics. The
// constructor throws, with Azurite's own output, when it cannot start: a test that
// needs it fails rather than skips. The destructor kills it.
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
    // http://127.0.0.1:PORT/devstoreaccount1/CONTAINER/BLOB
    std::string blobURL(const std::string& container, const std::string& blob) const;

    int port_ = 0;
    // Declared before the process, so that it outlives it.
    TempDir workDirectory_;
    std::optional<ChildProcess> process_;
};

}  // namespace kavo::testing
