#include "platform/linux/PulseMonitorPool.h"

#include <set>
#include <vector>

namespace kavo::linux_platform {

PulseMonitorPool::PulseMonitorPool(PulseContext& pulse)
    : pulse_(pulse), rendersAhead_(!pulse.serverInfo().value_or(PulseServerInfo{}).pipeWire) {}

PulseMonitorPool::~PulseMonitorPool() {
    events_.remove();
    std::map<std::string, std::unique_ptr<Standby>> streams;
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
        streams.swap(streams_);
    }
    flush();
    // A stream that fails while it goes may still post a refresh, which finds the pool closing.
    streams.clear();
}

std::unique_ptr<PulseMonitorPool::Standby> PulseMonitorPool::open(const PulseDeviceInfo& monitor,
                                                                  const char* name) {
    auto standby = std::make_unique<Standby>();
    standby->rate = monitor.rate;
    standby->channels = monitor.channels;
    Standby* const self = standby.get();
    standby->stream = std::make_unique<PulseRecordStream>(
        pulse_,
        PulseRecordStream::Options{.sourceName = monitor.name,
                                   .rate = monitor.rate,
                                   .channels = monitor.channels,
                                   .dontMove = true,
                                   .rendersAhead = rendersAhead_,
                                   .streamName = name},
        [self](const float* samples, std::size_t frames, std::uint64_t hostTime) {
            if (self->receiver != nullptr) self->receiver->onData(samples, frames, hostTime);
        },
        [this, self](PulseRecordStream::Event event) {
            if (event != PulseRecordStream::Event::failed) return;
            self->failed.store(true);
            if (self->receiver != nullptr) self->receiver->onFailed();
            queue_.post([this] { refresh(); });
        });
    return standby;
}

void PulseMonitorPool::attach(const PulseDeviceInfo& monitor, const Receiver& receiver) {
    // What this replaces goes once the lock is released.
    std::unique_ptr<Standby> replaced;
    std::unique_lock lock(mutex_);
    auto found = streams_.find(monitor.name);
    const bool standingBy = found != streams_.end() && !found->second->failed.load() &&
                            found->second->rate == monitor.rate &&
                            found->second->channels == monitor.channels;
    if (!standingBy) {
        lock.unlock();
        auto fresh = open(monitor, kFeedingName);
        lock.lock();
        auto& slot = streams_[monitor.name];
        replaced = std::exchange(slot, std::move(fresh));
        if (replaced) {
            const PulseContext::Lock serverLock(pulse_);
            replaced->receiver = nullptr;
        }
        found = streams_.find(monitor.name);
    }
    Standby& standby = *found->second;
    {
        const PulseContext::Lock serverLock(pulse_);
        standby.receiver = &receiver;
    }
    if (standingBy) standby.stream->rename(kFeedingName);
    if (!rendersAhead_ && !std::exchange(standingBy_, true)) {
        events_ = pulse_.addEventListener([this](pa_subscription_event_type_t facility,
                                                 pa_subscription_event_type_t kind, std::uint32_t) {
            // On the main loop thread: the streams are opened from the queue.
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind != PA_SUBSCRIPTION_EVENT_CHANGE)
                queue_.post([this] { refresh(); });
        });
        queue_.post([this] { refresh(); });
    }
}

void PulseMonitorPool::detach(const Receiver& receiver) {
    // A stream no longer needed goes once the lock is released.
    std::unique_ptr<Standby> done;
    const std::lock_guard lock(mutex_);
    for (auto it = streams_.begin(); it != streams_.end(); ++it) {
        Standby& standby = *it->second;
        if (standby.receiver != &receiver) continue;
        standby.stream->flush();
        {
            const PulseContext::Lock serverLock(pulse_);
            standby.receiver = nullptr;
        }
        if (rendersAhead_) {
            done = std::move(it->second);
            streams_.erase(it);
            return;
        }
        standby.stream->rename(kStandbyName);
    }
}

void PulseMonitorPool::refresh() {
    const auto sources = pulse_.sources();
    if (!sources) return;
    std::vector<std::unique_ptr<Standby>> gone;
    std::vector<PulseDeviceInfo> missing;
    {
        const std::lock_guard lock(mutex_);
        if (closing_) return;
        std::set<std::string> monitors;
        for (const auto& source : *sources) {
            if (source.monitorOfSink == PA_INVALID_INDEX) continue;
            monitors.insert(source.name);
            if (!streams_.contains(source.name)) missing.push_back(source);
        }
        for (auto it = streams_.begin(); it != streams_.end();) {
            if (it->second->failed.load() || !monitors.contains(it->first)) {
                {
                    const PulseContext::Lock serverLock(pulse_);
                    it->second->receiver = nullptr;
                }
                gone.push_back(std::move(it->second));
                it = streams_.erase(it);
            } else {
                ++it;
            }
        }
    }
    gone.clear();
    for (const auto& monitor : missing) {
        try {
            auto standby = open(monitor, kStandbyName);
            const std::lock_guard lock(mutex_);
            if (!closing_ && !streams_.contains(monitor.name)) {
                log_.debug("Standing by on {}", monitor.name);
                streams_.emplace(monitor.name, std::move(standby));
            }
        } catch (const PulseError& error) {
            log_.notice("Cannot stand by on {}: {}", monitor.name, error.what());
        }
    }
}

}  // namespace kavo::linux_platform
