#pragma once

#include <array>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/endpoints/CaptureEndpoint.h"
#include "base/Clock.h"
#include "base/Error.h"
#include "capture/EndpointFactory.h"
#include "support/SignalThread.h"

namespace kavo::testing {

// How one fake endpoint behaves. Failures are thrown as an Error with their text.
struct EndpointScript {
    double rate = 48'000;
    std::string prepareFailure{};
    std::string startFailure{};
    // repoint() follows at this rate; without one it fails with repointFailure, or when
    // that is empty too, asks to be rebuilt.
    std::optional<double> repointRate{};
    std::string repointFailure{};
    // Simulated time prepare() and repoint() take.
    Duration prepareTakes{0};
    Duration repointTakes{0};
    // Played into the sink on a SignalThread of its own once started.
    std::optional<DeviceStream> stream{};

    static EndpointScript at(double rate) { return {.rate = rate}; }
    EndpointScript playing(DeviceStream signal) const {
        auto copy = *this;
        copy.stream = std::move(signal);
        return copy;
    }
};

// One endpoint the factory made, as the test sees it; outlives the endpoint itself.
class FakeEndpointState {
public:
    explicit FakeEndpointState(EndpointScript scripted) : script(std::move(scripted)) {}

    const EndpointScript script;

    // "prepare", "repoint", "start", "stop", in the order they were called.
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    bool running() const {
        std::lock_guard lock(mutex_);
        return running_;
    }
    // Plays the scripted stream, while it runs, up to `hostTime`.
    void deliverUntil(std::uint64_t hostTime) {
        std::lock_guard lock(mutex_);
        if (signal_) signal_->deliverUntil(hostTime);
    }
    // Asks the session for a rebuild, as the endpoint would from a thread of its own.
    bool needsRebuild(EndpointRebuildReason reason) {
        const auto handler = [&] {
            std::lock_guard lock(mutex_);
            return handler_;
        }();
        if (handler) handler(reason);
        return static_cast<bool>(handler);
    }

private:
    friend class FakeCaptureEndpoint;

    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    void setRunning(std::unique_ptr<SignalThread> signal, bool running) {
        std::unique_ptr<SignalThread> old;  // joined outside the lock
        std::lock_guard lock(mutex_);
        old = std::exchange(signal_, std::move(signal));
        running_ = running;
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    bool running_ = false;
    CaptureEndpoint::RebuildHandler handler_;
    std::unique_ptr<SignalThread> signal_;
};

class FakeCaptureEndpoint final : public CaptureEndpoint {
public:
    FakeCaptureEndpoint(std::shared_ptr<FakeEndpointState> state, const Clock& clock)
        : state_(std::move(state)), script_(state_->script), clock_(clock) {}
    ~FakeCaptureEndpoint() override { state_->setRunning(nullptr, false); }

    double prepare() override {
        state_->record("prepare");
        if (script_.prepareTakes > Duration{}) clock_.sleepFor(script_.prepareTakes);
        if (!script_.prepareFailure.empty()) throw Error(script_.prepareFailure);
        return script_.rate;
    }
    std::optional<double> repoint() override {
        state_->record("repoint");
        if (script_.repointTakes > Duration{}) clock_.sleepFor(script_.repointTakes);
        if (!script_.repointRate && !script_.repointFailure.empty())
            throw Error(script_.repointFailure);
        if (script_.repointRate) state_->setRunning(nullptr, false);  // until started again
        return script_.repointRate;
    }
    void start(Sink sink) override {
        state_->record("start");
        if (!script_.startFailure.empty()) throw Error(script_.startFailure);
        state_->setRunning(script_.stream ? std::make_unique<SignalThread>(*script_.stream, clock_,
                                                                           std::move(sink))
                                          : nullptr,
                           true);
    }
    void stop() override {
        state_->record("stop");
        state_->setRunning(nullptr, false);
    }
    void setOnNeedsRebuild(RebuildHandler handler) override {
        std::lock_guard lock(state_->mutex_);
        state_->handler_ = std::move(handler);
    }
    RebuildHandler onNeedsRebuild() const override {
        std::lock_guard lock(state_->mutex_);
        return state_->handler_;
    }

private:
    const std::shared_ptr<FakeEndpointState> state_;
    const EndpointScript& script_;
    const Clock& clock_;
};

// Makes fake microphones and system endpoints, each from the next script queued for its
// kind (or the kind's default script), and keeps every one it made.
class FakeCaptureEndpoints {
public:
    using States = std::vector<std::shared_ptr<FakeEndpointState>>;

    explicit FakeCaptureEndpoints(const Clock& clock) : clock_(clock) {}

    EndpointScript microphoneDefault = EndpointScript::at(48'000);
    EndpointScript systemDefault = EndpointScript::at(44'100);
    std::function<std::unique_ptr<EchoCanceller>()> makeEchoCanceller;

    void queueMicrophone(EndpointScript script) { queue(0, std::move(script)); }
    void queueSystem(EndpointScript script) { queue(1, std::move(script)); }

    EndpointFactory factory() {
        return {
            .makeMicrophone = [this](bool) { return make(0, microphoneDefault); },
            .makeSystemAudio = [this] { return make(1, systemDefault); },
            .makeEchoCanceller = makeEchoCanceller,
        };
    }

    States microphones() const { return made(0); }
    States systems() const { return made(1); }
    std::shared_ptr<FakeEndpointState> microphone(std::size_t index = 0) const {
        return microphones().at(index);
    }
    std::shared_ptr<FakeEndpointState> system(std::size_t index = 0) const {
        return systems().at(index);
    }
    std::size_t runningCount() const {
        std::size_t count = 0;
        for (const auto& states : {microphones(), systems()})
            for (const auto& state : states) count += state->running() ? 1 : 0;
        return count;
    }

private:
    void queue(int kind, EndpointScript script) {
        std::lock_guard lock(mutex_);
        queued_[kind].push_back(std::move(script));
    }
    States made(int kind) const {
        std::lock_guard lock(mutex_);
        return made_[kind];
    }
    std::unique_ptr<CaptureEndpoint> make(int kind, const EndpointScript& fallback) {
        std::lock_guard lock(mutex_);
        auto& queued = queued_[kind];
        made_[kind].push_back(
            std::make_shared<FakeEndpointState>(queued.empty() ? fallback : queued.front()));
        if (!queued.empty()) queued.pop_front();
        return std::make_unique<FakeCaptureEndpoint>(made_[kind].back(), clock_);
    }

    const Clock& clock_;
    mutable std::mutex mutex_;
    // Microphones first, then system endpoints.
    std::array<std::deque<EndpointScript>, 2> queued_;
    std::array<States, 2> made_;
};

}  // namespace kavo::testing
