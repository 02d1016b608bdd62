#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/AppPaths.h"

namespace kavo::linux_platform {

using EnvironmentLookup = std::function<std::optional<std::string>(const char*)>;

// The process environment, read at the call.
std::optional<std::string> processEnvironment(const char* name);

// The XDG base directories, each with the application's own folder: data in
// $XDG_DATA_HOME (~/.local/share), settings in $XDG_CONFIG_HOME (~/.config), logs in
// $XDG_STATE_HOME (~/.local/state). Relative values are ignored, as the XDG rules say.
AppPaths xdgAppPaths(const EnvironmentLookup& environment = processEnvironment);

}  // namespace kavo::linux_platform
