#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "capture/AudioDevices.h"

namespace kavo::testing {

// Default devices a test sets by name. Each change notifies the observers at once, on the
// test's thread, as the platform's watch would from its own.
class FakeAudioDevices final : public AudioDevices {
public:
    AudioDeviceSnapshot defaults() const override { return defaults_; }
    ListenerRegistration observe(Notify notify) override {
        const int id = nextObserver_++;
        observers_.emplace(id, std::move(notify));
        return ListenerRegistration([this, id] { observers_.erase(id); });
    }

    void setDefaultInput(std::optional<std::string> name) {
        defaults_.defaultInputUID = std::move(name);
        notify("defaultInputDevice");
    }
    void setDefaultOutput(std::optional<std::string> name, bool personal = false) {
        defaults_.defaultOutputUID = std::move(name);
        defaults_.outputIsPersonal = personal;
        notify("defaultOutputDevice");
    }
    // A device that goes; the defaults move as the test says.
    void removeDevice() { notify("deviceList"); }
    std::size_t observerCount() const { return observers_.size(); }

private:
    void notify(std::string_view what) {
        for (const auto& [id, observer] : std::map<int, Notify>(observers_)) observer(what);
    }

    AudioDeviceSnapshot defaults_;
    std::map<int, Notify> observers_;
    int nextObserver_ = 1;
};

}  // namespace kavo::testing
