#pragma once

#include <memory>

#include "base/Defaults.h"

namespace kavo {

// The user's choice whether recordings cancel the far side's echo in the microphone, kept
// in the defaults; on until turned off. A recording follows the choice made before it
// started.
class EchoCancellationSetting {
public:
    static constexpr const char* kEnabledKey = "brindle.meetings.desktop.echoCancellationEnabled";

    explicit EchoCancellationSetting(std::shared_ptr<Defaults> defaults)
        : defaults_(std::move(defaults)) {}

    bool isEnabled() const { return defaults_->boolValue(kEnabledKey).value_or(true); }
    void setEnabled(bool enabled) { defaults_->setBool(kEnabledKey, enabled); }

private:
    std::shared_ptr<Defaults> defaults_;
};

}  // namespace kavo
