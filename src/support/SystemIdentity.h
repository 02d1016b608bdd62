#pragma once

#include <optional>
#include <string>

namespace kavo {

// What the support report reads about the machine it runs on. The platform layer
// answers from the operating system; tests answer what they need.
class SystemIdentity {
public:
    virtual ~SystemIdentity() = default;

    // The operating system's name and version, as people read it.
    virtual std::string osVersion() const = 0;
    // The vendor's model name of the machine, when the firmware tells it.
    virtual std::optional<std::string> productName() const = 0;
    // The kernel's name for the processor architecture ("x86_64", "aarch64").
    virtual std::string machine() const = 0;
    // The local time zone's identifier ("Europe/Berlin"), "UTC" when unknown.
    virtual std::string timeZoneIdentifier() const = 0;
};

}  // namespace kavo
