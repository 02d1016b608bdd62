#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "account/AuthService.h"
#include "account/Endpoints.h"
#include "account/OAuthSignInService.h"
#include "base/AppPaths.h"
#include "base/Clock.h"
#include "base/Defaults.h"
#include "net/HTTPTransport.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "platform/linux/XdgPaths.h"
#include "platform/linux/XdgSignInBrowser.h"
#include "support/SupportEnvironment.h"

namespace kavo {

// What every front end of the program shares on Linux: the XDG folders, the settings
// file, one HTTP transport, the endpoints (compiled in or from KAVO_ENDPOINTS) and the
// sign-in service built on them.
class LinuxServices {
public:
    struct Options {
        linux_platform::EnvironmentLookup environment = linux_platform::processEnvironment;
        // Where the sign-in opens the browser; xdg-open by default.
        linux_platform::OpenURL openURL = linux_platform::openWithXdgOpen;
        // Shows the device code when no browser opens; logged when empty.
        std::function<void(const OAuthSignInService::DeviceCodePrompt&)> showDeviceCode;
    };

    LinuxServices(const Clock& clock, Options options);
    LinuxServices(const LinuxServices&) = delete;
    LinuxServices& operator=(const LinuxServices&) = delete;

    const AppPaths& paths() const { return paths_; }
    const Endpoints& endpoints() const { return endpoints_; }
    // Why the endpoints file was refused; the compiled-in values are used meanwhile and
    // sign-in is unavailable for this reason.
    const std::optional<std::string>& endpointsError() const { return endpointsError_; }
    // libcurl, with idempotent requests retried a few times on passing trouble.
    const std::shared_ptr<HTTPTransport>& transport() const { return transport_; }
    const std::shared_ptr<JsonFileDefaults>& defaults() const { return defaults_; }
    const linux_platform::EnvironmentLookup& environment() const { return options_.environment; }
    SupportEnvironment supportEnvironment() const;
    std::string timeZone() const;

    // Where sign-in services made from now on show a device code.
    void setShowDeviceCode(std::function<void(const OAuthSignInService::DeviceCodePrompt&)> show) {
        options_.showDeviceCode = std::move(show);
    }

    enum class SignInWith { browser, deviceCode };

    // The sign-in service; throws when it cannot be configured.
    std::shared_ptr<OAuthSignInService> makeAuthService(
        SignInWith with = SignInWith::browser) const;

private:
    const Clock& clock_;
    Options options_;
    AppPaths paths_;
    Endpoints endpoints_;
    std::optional<std::string> endpointsError_;
    linux_platform::CurlGlobal curl_;
    std::shared_ptr<HTTPTransport> transport_;
    std::shared_ptr<JsonFileDefaults> defaults_;
};

}  // namespace kavo
