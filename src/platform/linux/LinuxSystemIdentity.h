#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "support/SystemIdentity.h"

namespace kavo::linux_platform {

// The machine as Linux describes it: /etc/os-release and uname for the system, the DMI
// product name for the model, TZ or /etc/localtime for the time zone. `root` stands for
// "/" so tests can supply their own files.
class LinuxSystemIdentity final : public SystemIdentity {
public:
    explicit LinuxSystemIdentity(std::filesystem::path root = "/");

    // "Debian GNU/Linux 12 (bookworm); Linux 6.1.0-18-amd64".
    std::string osVersion() const override;
    std::optional<std::string> productName() const override;
    std::string machine() const override;
    std::string timeZoneIdentifier() const override;

private:
    std::filesystem::path root_;
};

}  // namespace kavo::linux_platform
