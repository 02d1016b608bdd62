#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <semaphore>
#include <thread>

#include "audio/endpoints/EndpointRebuildReason.h"

namespace kavo {

// Carries an endpoint's rebuild requests away from the thread that detects them. raise()
// neither locks, allocates nor waits, so an audio callback may call it; a thread of this
// object's own hands each raised reason to the handler. Requests of one reason raised
// before the handler ran are handed on once.
class RebuildSignal {
public:
    using Handler = std::function<void(EndpointRebuildReason)>;

    explicit RebuildSignal(Handler handler);
    RebuildSignal(const RebuildSignal&) = delete;
    RebuildSignal& operator=(const RebuildSignal&) = delete;
    // Requests not yet handed on are dropped.
    ~RebuildSignal();

    void raise(EndpointRebuildReason reason) noexcept;
    // Waits until every reason raised before the call has been handed to the handler.
    void flush();

private:
    void run();

    const Handler handler_;
    std::atomic<std::uint32_t> pending_{0};
    std::atomic<std::uint64_t> raised_{0};
    std::atomic<bool> stopping_{false};
    std::counting_semaphore<> wake_{0};
    std::mutex mutex_;
    std::condition_variable handedOn_;
    std::uint64_t handled_ = 0;
    std::thread thread_;
};

}  // namespace kavo
