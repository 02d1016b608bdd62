#include "platform/linux/PulseMonitorPool.h"

#include <algorithm>
#include <set>

#include "base/Clock.h"

namespace kavo::linux_platform {
namespace {

// How much of its recent past a standby stream keeps: far more than a rebuild, or the
// server's news of a new default output, takes to arrive; and short enough that a
// recording started after another stopped rarely finds anything held for it.
constexpr std::uint64_t kKeepMilliseconds = 300;
// The most handed to a receiver at once, as a stream would.
constexpr std::uint64_t kHandOverMilliseconds = 100;

}  // namespace

PulseMonitorPool::PulseMonitorPool(PulseContext& pulse)
    : pulse_(pulse), rendersAhead_(!pulse.isPipeWire()) {}

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
    if (!rendersAhead_) {
        standby->kept.resize(static_cast<std::size_t>(monitor.rate * kKeepMilliseconds / 1000) *
                             monitor.channels);
    }
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
            take(*self, samples, frames, hostTime);
        },
        [this, self](PulseRecordStream::Event event) {
            if (event != PulseRecordStream::Event::failed) return;
            self->failed.store(true);
            if (self->receiver != nullptr) self->receiver->onFailed();
            queue_.post([this] { refresh(); });
        });
    return standby;
}

void PulseMonitorPool::take(Standby& standby, const float* samples, std::size_t frames,
                            std::uint64_t hostTime) noexcept {
    if (standby.receiver != nullptr) {
        standby.receiver->onData(samples, frames, hostTime);
        return;
    }
    const std::size_t capacity = standby.kept.size() / standby.channels;
    if (capacity == 0) return;
    // What a receiver went from is no longer all there: the next one starts afresh.
    if (standby.holding && standby.keptFrames + frames > capacity) {
        standby.holding = false;
        standby.keptFrames = 0;
    }
    for (std::size_t done = 0; done < frames;) {
        const std::size_t piece = std::min(frames - done, capacity - standby.keptEnd);
        std::copy_n(
            samples + done * standby.channels, piece * standby.channels,
            standby.kept.begin() + static_cast<std::ptrdiff_t>(standby.keptEnd * standby.channels));
        standby.keptEnd = (standby.keptEnd + piece) % capacity;
        done += piece;
    }
    standby.keptFrames = std::min(capacity, standby.keptFrames + frames);
    standby.keptUntil = hostTime + frames * 1'000'000'000ULL / standby.rate;
}

void PulseMonitorPool::handOver(Standby& standby, std::uint64_t since) noexcept {
    const std::size_t capacity = standby.kept.size() / standby.channels;
    const std::uint64_t keptFrom =
        standby.keptUntil - standby.keptFrames * 1'000'000'000ULL / standby.rate;
    const std::size_t skip =
        since > keptFrom ? std::min<std::size_t>(standby.keptFrames,
                                                 (since - keptFrom) * standby.rate / 1'000'000'000)
                         : 0;
    const std::size_t most = standby.rate * kHandOverMilliseconds / 1000;
    for (std::size_t first = skip; first < standby.keptFrames;) {
        const std::size_t at = (standby.keptEnd + capacity - standby.keptFrames + first) % capacity;
        const std::size_t frames = std::min({most, standby.keptFrames - first, capacity - at});
        standby.receiver->onData(standby.kept.data() + at * standby.channels, frames,
                                 keptFrom + first * 1'000'000'000ULL / standby.rate);
        first += frames;
    }
    standby.keptFrames = 0;
    standby.holding = false;
}

void PulseMonitorPool::feedFrom(Standby& to, const Receiver& receiver, std::uint64_t since) {
    to.receiver = &receiver;
    handOver(to, since);
    for (auto& [name, other] : streams_) {
        other->holding = false;
        other->keptFrames = 0;
    }
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
        // The stream a predecessor left goes on where it left off; another's past is not
        // this recording's.
        if (!standby.holding) standby.keptFrames = 0;
        feedFrom(standby, receiver, 0);
    }
    if (standingBy) standby.stream->rename(kFeedingName);
    if (!rendersAhead_ && !std::exchange(standingBy_, true)) {
        events_ = pulse_.addEventListener([this](pa_subscription_event_type_t facility,
                                                 pa_subscription_event_type_t kind, std::uint32_t) {
            // On the server's thread: the streams are opened, and defaults looked up, from
            // the queue.
            if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind != PA_SUBSCRIPTION_EVENT_CHANGE)
                queue_.post([this] { refresh(); });
            // A player moved is a new default output the server may not have told of.
            if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
                (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT &&
                 kind == PA_SUBSCRIPTION_EVENT_CHANGE))
                queue_.post([this, toldAt = SystemClock().hostTime()] { followDefault(toldAt); });
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
            standby.holding = !rendersAhead_;
            standby.keptFrames = 0;
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

void PulseMonitorPool::followDefault(std::uint64_t toldAt) {
    const auto server = pulse_.serverInfo();
    if (!server) return;
    const auto sink = pulse_.sinkInfo(server->defaultSinkName);
    if (!sink) return;
    const std::lock_guard lock(mutex_);
    if (closing_) return;
    const auto next = streams_.find(sink->monitorSourceName);
    if (next == streams_.end() || next->second->failed.load()) return;
    Standby& to = *next->second;
    for (auto& [name, standby] : streams_) {
        Standby& from = *standby;
        if (&from == &to || from.receiver == nullptr) continue;
        // Another format is the capture session's to set up.
        if (from.rate != to.rate || from.channels != to.channels) return;
        from.stream->flush();
        {
            // From when the server told: it moves the players about then.
            const PulseContext::Lock serverLock(pulse_);
            feedFrom(to, *std::exchange(from.receiver, nullptr), toldAt);
        }
        from.stream->rename(kStandbyName);
        to.stream->rename(kFeedingName);
        log_.info("Recording {} at once, {} ms after the server told of a new default output",
                  next->first, (SystemClock().hostTime() - toldAt) / 1'000'000);
        return;
    }
}

}  // namespace kavo::linux_platform
