#pragma once

#include <functional>
#include <memory>
#include <string>

#include "account/SignInBrowser.h"

namespace kavo::linux_platform {

// Opens `url` in the user's browser; false when no browser could be opened.
using OpenURL = std::function<bool(const std::string& url)>;

// Opens the URL with xdg-open and waits for it to report success.
bool openWithXdgOpen(const std::string& url);

// Sign-in in the desktop's browser, answered on a loopback listener of this computer.
class XdgSignInBrowser final : public SignInBrowser {
public:
    explicit XdgSignInBrowser(OpenURL open = openWithXdgOpen) : open_(std::move(open)) {}

    std::unique_ptr<Redirect> listen() override;
    bool open(const std::string& url) override { return open_(url); }

private:
    OpenURL open_;
};

}  // namespace kavo::linux_platform
