#pragma once

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

// How one fake endpoint behaves.
struct EndpointScript {
    enum class Repoint { cannot, follows, fails };

    double rate = 48'000;
    std::string prepareFailure;  // non-empty: prepare() throws an Error with this text
    std::string startFailure;    // non-empty: start() throws an Error with this text
    Repoint repoint = Repoint::cannot;
    double repointRate = 48'000;
    std::string repointFailure = "input graph gone";
    // Simulated time prepare() and repoint() spend, slept on the clock.
    Duration prepareTakes{0};
    Duration repointTakes{0};
    // When set, start() plays this stream on a SignalThread of its own into the sink; the
    // stream's rate should match `rate`.
    std::optional<DeviceStream> stream;

    static EndpointScript at(double rate) {
        EndpointScript script;
        script.rate = rate;
        return script;
    }
    EndpointScript failingPrepare(std::string text) const {
        auto copy = *this;
        copy.prepareFailure = std::move(text);
        return copy;
    }
    EndpointScript failingStart(std::string text) const {
        auto copy = *this;
        copy.startFailure = std::move(text);
        return copy;
    }
    EndpointScript preparingFor(Duration duration) const {
        auto copy = *this;
        copy.prepareTakes = duration;
        return copy;
    }
    EndpointScript repointingTo(double newRate, Duration duration = {}) const {
        auto copy = *this;
        copy.repoint = Repoint::follows;
        copy.repointRate = newRate;
        copy.repointTakes = duration;
        return copy;
    }
    EndpointScript failingRepoint(std::string text, Duration duration = {}) const {
        auto copy = *this;
        copy.repoint = Repoint::fails;
        copy.repointFailure = std::move(text);
        copy.repointTakes = duration;
        return copy;
    }
    EndpointScript playing(DeviceStream signal) const {
        auto copy = *this;
        copy.stream = std::move(signal);
        return copy;
    }
};

// The test's view of one endpoint the factory made; outlives the endpoint itself.
class FakeEndpointState {
public:
    FakeEndpointState(std::string kind, bool voiceProcessing, EndpointScript script)
        : kind_(std::move(kind)), voiceProcessing_(voiceProcessing), script_(std::move(script)) {}

    const std::string& kind() const { return kind_; }
    bool voiceProcessing() const { return voiceProcessing_; }
    const EndpointScript& script() const { return script_; }

    // "prepare", "repoint", "start", "stop", in the order they were called.
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    bool running() const {
        std::lock_guard lock(mutex_);
        return running_;
    }
    // Plays the scripted stream up to `hostTime`; false without a running stream.
    bool deliverUntil(std::uint64_t hostTime) {
        std::lock_guard lock(signalMutex_);
        if (!signal_) return false;
        signal_->deliverUntil(hostTime);
        return true;
    }
    // Asks the session for a rebuild, as the endpoint would from a thread of its own.
    bool needsRebuild(EndpointRebuildReason reason) {
        CaptureEndpoint::RebuildHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
        }
        if (!handler) return false;
        handler(reason);
        return true;
    }

private:
    friend class FakeCaptureEndpoint;

    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    const std::string kind_;
    const bool voiceProcessing_;
    const EndpointScript script_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    bool running_ = false;
    CaptureEndpoint::RebuildHandler handler_;
    mutable std::mutex signalMutex_;
    std::unique_ptr<SignalThread> signal_;
};

class FakeCaptureEndpoint final : public CaptureEndpoint {
public:
    FakeCaptureEndpoint(std::shared_ptr<FakeEndpointState> state, const Clock& clock)
        : state_(std::move(state)), clock_(clock) {}
    ~FakeCaptureEndpoint() override { stopSignal(); }

    double prepare() override {
        state_->record("prepare");
        const auto& script = state_->script();
        if (script.prepareTakes.count() > 0) clock_.sleepFor(script.prepareTakes);
        if (!script.prepareFailure.empty()) throw Error(script.prepareFailure);
        return script.rate;
    }

    std::optional<double> repoint() override {
        state_->record("repoint");
        const auto& script = state_->script();
        if (script.repointTakes.count() > 0) clock_.sleepFor(script.repointTakes);
        switch (script.repoint) {
            case EndpointScript::Repoint::cannot:
                return std::nullopt;
            case EndpointScript::Repoint::fails:
                throw Error(script.repointFailure);
            case EndpointScript::Repoint::follows:
                break;
        }
        // Between graphs until started again.
        stopSignal();
        std::lock_guard lock(state_->mutex_);
        state_->running_ = false;
        return script.repointRate;
    }

    void start(Sink sink) override {
        state_->record("start");
        const auto& script = state_->script();
        if (!script.startFailure.empty()) throw Error(script.startFailure);
        {
            std::lock_guard lock(state_->mutex_);
            state_->running_ = true;
        }
        if (script.stream) {
            auto signal = std::make_unique<SignalThread>(*script.stream, clock_, sink);
            std::lock_guard lock(state_->signalMutex_);
            state_->signal_ = std::move(signal);
        }
    }

    void stop() override {
        state_->record("stop");
        stopSignal();
        std::lock_guard lock(state_->mutex_);
        state_->running_ = false;
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
    void stopSignal() {
        std::unique_ptr<SignalThread> signal;
        {
            std::lock_guard lock(state_->signalMutex_);
            signal = std::move(state_->signal_);
        }
    }

    const std::shared_ptr<FakeEndpointState> state_;
    const Clock& clock_;
};

// Makes fake microphones and system endpoints, each from the next script queued for its
// kind (or the kind's default script), and remembers every one it made.
class FakeCaptureEndpoints {
public:
    explicit FakeCaptureEndpoints(const Clock& clock) : clock_(clock) {}

    EndpointScript microphoneDefault = EndpointScript::at(48'000);
    EndpointScript systemDefault = EndpointScript::at(44'100);

    void queueMicrophone(EndpointScript script) {
        std::lock_guard lock(mutex_);
        micScripts_.push_back(std::move(script));
    }
    void queueSystem(EndpointScript script) {
        std::lock_guard lock(mutex_);
        systemScripts_.push_back(std::move(script));
    }

    EndpointFactory factory() {
        return {
            .makeMicrophone = [this](bool voiceProcessing) { return make("mic", voiceProcessing); },
            .makeSystemAudio = [this] { return make("system", false); },
        };
    }

    std::vector<std::shared_ptr<FakeEndpointState>> microphones() const { return made("mic"); }
    std::vector<std::shared_ptr<FakeEndpointState>> systems() const { return made("system"); }
    std::shared_ptr<FakeEndpointState> microphone(std::size_t index = 0) const {
        return microphones().at(index);
    }
    std::shared_ptr<FakeEndpointState> system(std::size_t index = 0) const {
        return systems().at(index);
    }
    std::size_t runningCount() const {
        std::lock_guard lock(mutex_);
        std::size_t count = 0;
        for (const auto& state : made_) count += state->running() ? 1 : 0;
        return count;
    }

private:
    std::unique_ptr<CaptureEndpoint> make(const std::string& kind, bool voiceProcessing) {
        std::lock_guard lock(mutex_);
        auto& queued = kind == "mic" ? micScripts_ : systemScripts_;
        EndpointScript script = kind == "mic" ? microphoneDefault : systemDefault;
        if (!queued.empty()) {
            script = std::move(queued.front());
            queued.pop_front();
        }
        auto state = std::make_shared<FakeEndpointState>(kind, voiceProcessing, std::move(script));
        made_.push_back(state);
        return std::make_unique<FakeCaptureEndpoint>(std::move(state), clock_);
    }

    std::vector<std::shared_ptr<FakeEndpointState>> made(const std::string& kind) const {
        std::lock_guard lock(mutex_);
        std::vector<std::shared_ptr<FakeEndpointState>> result;
        for (const auto& state : made_) {
            if (state->kind() == kind) result.push_back(state);
        }
        return result;
    }

    const Clock& clock_;
    mutable std::mutex mutex_;
    std::deque<EndpointScript> micScripts_;
    std::deque<EndpointScript> systemScripts_;
    std::vector<std::shared_ptr<FakeEndpointState>> made_;
};

}  // namespace kavo::testing
