#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>

#include "account/SignInBrowser.h"
#include "base/PosixFileIO.h"

namespace kavo::linux_platform {

// The redirect target of a browser sign-in: a listening socket on 127.0.0.1 at a port
// the system picks, for one authorization answer.
class LoopbackRedirectListener final : public SignInBrowser::Redirect {
public:
    // Throws AuthError::underlying when no socket can be opened.
    LoopbackRedirectListener();
    LoopbackRedirectListener(const LoopbackRedirectListener&) = delete;
    LoopbackRedirectListener& operator=(const LoopbackRedirectListener&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:{port}/"
    std::string uri() const override;

    // Waits for the browser's request that carries "code" or "error" in its query,
    // answers it with a page telling the user to go back to the app, and returns the
    // query (percent-encoded). Other requests (a favicon) get a 404. Nothing when `stop`
    // is requested or `timeout` runs out first.
    std::optional<std::string> wait(std::stop_token stop,
                                    std::chrono::milliseconds timeout) override;

private:
    FileDescriptor socket_;
    int port_ = 0;
};

}  // namespace kavo::linux_platform
