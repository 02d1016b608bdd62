#include "app/LinuxServices.h"

#include <exception>
#include <filesystem>
#include <system_error>

#include "net/RetryingTransport.h"
#include "platform/linux/LinuxSystemIdentity.h"

namespace kavo {

LinuxServices::LinuxServices(const Clock& clock, Options options)
    : clock_(clock),
      options_(std::move(options)),
      paths_(linux_platform::xdgAppPaths(options_.environment)),
      transport_(std::make_shared<RetryingTransport>(
          std::make_shared<linux_platform::CurlTransport>(curl_), clock_)) {
    try {
        endpoints_ = Endpoints::load(options_.environment(Endpoints::kEnvironmentVariable));
    } catch (const std::exception& error) {
        endpoints_ = Endpoints::production();
        endpointsError_ = error.what();
    }
    // A settings folder that cannot be made leaves the settings in memory for this run.
    std::error_code ignored;
    std::filesystem::create_directories(paths_.configDirectory, ignored);
    defaults_ = std::make_shared<JsonFileDefaults>(paths_.defaultsFile());
}

SupportEnvironment LinuxServices::supportEnvironment() const {
    return SupportEnvironment::current(linux_platform::LinuxSystemIdentity());
}

std::string LinuxServices::timeZone() const {
    return linux_platform::LinuxSystemIdentity().timeZoneIdentifier();
}

std::shared_ptr<OAuthSignInService> LinuxServices::makeAuthService(SignInWith with) const {
    if (endpointsError_) throw EndpointsError(*endpointsError_);
    OAuthSignInService::Options options;
    options.endpoints = endpoints_;
    options.cacheFile = paths_.configDirectory / std::string(OAuthSignInService::kCacheFileName);
    options.transport = transport_;
    if (with == SignInWith::browser && options_.openURL) {
        options.browser = std::make_shared<linux_platform::XdgSignInBrowser>(options_.openURL);
    }
    options.showDeviceCode = options_.showDeviceCode;
    return std::make_shared<OAuthSignInService>(std::move(options), clock_);
}

}  // namespace kavo
