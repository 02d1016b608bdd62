#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "audio/endpoints/CaptureEndpoint.h"
#include "base/Log.h"

namespace kavo::testing {

// Collects what an endpoint delivers. Allocates and locks on the audio thread, so it
// serves only tests about what is delivered, not about how.
class RecordingSink {
public:
    struct Delivery {
        std::vector<float> frames;
        std::uint64_t hostTime;
    };

    CaptureEndpoint::Sink sink() {
        return [this](const float* frames, std::int64_t count, std::uint64_t hostTime) {
            std::lock_guard lock(mutex_);
            deliveries_.push_back({std::vector<float>(frames, frames + count), hostTime});
        };
    }

    std::vector<Delivery> deliveries() const {
        std::lock_guard lock(mutex_);
        return deliveries_;
    }

    std::vector<float> frames() const {
        std::lock_guard lock(mutex_);
        std::vector<float> all;
        for (const auto& delivery : deliveries_)
            all.insert(all.end(), delivery.frames.begin(), delivery.frames.end());
        return all;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Delivery> deliveries_;
};

// Collects the rebuild requests an endpoint hands on.
class RebuildRequests {
public:
    CaptureEndpoint::RebuildHandler handler() {
        return [this](EndpointRebuildReason reason) {
            std::lock_guard lock(mutex_);
            reasons_.push_back(reason);
        };
    }

    std::vector<EndpointRebuildReason> reasons() const {
        std::lock_guard lock(mutex_);
        return reasons_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<EndpointRebuildReason> reasons_;
};

// The messages of one category logged at one level.
inline std::vector<std::string> messagesAt(const LogCapture& logs, std::string_view category,
                                           LogLevel level) {
    std::vector<std::string> result;
    for (const auto& entry : logs.entries()) {
        if (entry.category == category && entry.level == level) result.push_back(entry.message);
    }
    return result;
}

}  // namespace kavo::testing
