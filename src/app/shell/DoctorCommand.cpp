#include "app/shell/DoctorCommand.h"

#include <fmt/format.h>
#include <fmt/ostream.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/linux/PulseContext.h"

namespace kavo::shell {
namespace {

struct Report {
    std::ostream& out;
    bool healthy = true;

    void ok(std::string_view check, std::string_view detail) {
        fmt::print(out, "ok    {}: {}\n", check, detail);
    }
    void fail(std::string_view check, std::string_view detail) {
        healthy = false;
        fmt::print(out, "FAIL  {}: {}\n", check, detail);
    }
};

// Whether `url` answers HTTP at all; a status is an answer, whatever it says.
void checkReachable(Report& report, HTTPTransport& transport, std::string_view name,
                    const std::string& url) {
    HTTPRequest request;
    request.url = url;
    request.timeout = std::chrono::seconds(10);
    request.connectTimeout = std::chrono::seconds(5);
    try {
        const auto response = transport.data(request);
        report.ok(name, fmt::format("{} answered HTTP {}", url, response.status));
    } catch (const std::exception& error) {
        report.fail(name, fmt::format("{}: {}", url, error.what()));
    }
}

}  // namespace

DoctorCommand::DoctorCommand(LinuxServices& services) : services_(services) {}

int DoctorCommand::run(std::ostream& out) const {
    Report report{out};

    try {
        const linux_platform::PulseContext pulse("Kavo Meetings doctor");
        const auto info = pulse.serverInfo();
        if (!info) {
            report.fail("audio server",
                        "connected, but it did not say which devices are the defaults");
        } else {
            report.ok("audio server", "connected");
            if (info->defaultSourceName.empty()) {
                report.fail("microphone", "no default input device");
            } else {
                report.ok("microphone", info->defaultSourceName);
            }
            if (info->defaultSinkName.empty()) {
                report.fail("speakers", "no default output device");
            } else {
                report.ok("speakers", info->defaultSinkName);
            }
        }
    } catch (const std::exception& error) {
        report.fail("audio server", error.what());
    }

    const auto& endpoints = services_.endpoints();
    if (const auto& error = services_.endpointsError()) {
        report.fail("endpoints", *error);
    } else {
        auto& transport = *services_.transport();
        checkReachable(report, transport, "tenant discovery", endpoints.discoveryURL);
        checkReachable(report, transport, "sign-in",
                       endpoints.authority + "/oauth2/v2.0/authorize");
        checkReachable(report, transport, "updates", endpoints.updateManifestURL);
    }

    const auto captures = services_.paths().capturesDirectory();
    std::error_code failure;
    std::filesystem::create_directories(captures, failure);
    const auto probe = captures / ".doctor-probe";
    if (!failure) {
        std::ofstream(probe) << "probe";
        if (!std::filesystem::exists(probe))
            failure = std::make_error_code(std::errc::permission_denied);
        std::filesystem::remove(probe, failure);
    }
    if (failure) {
        report.fail("captures folder", fmt::format("{}: {}", captures.string(), failure.message()));
    } else {
        report.ok("captures folder", captures.string());
    }

    const auto cache =
        services_.paths().configDirectory / std::string(OAuthSignInService::kCacheFileName);
    fmt::print(
        out, "info  account: {}\n",
        std::filesystem::exists(cache) ? "remembered" : "none remembered (kavo-meetings sign-in)");
    return report.healthy ? 0 : 1;
}

}  // namespace kavo::shell
