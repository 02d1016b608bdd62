#include "upload/UploadQueue.h"

#include <exception>

#include "base/Log.h"

namespace kavo {

UploadQueue::UploadQueue() : worker_([this](std::stop_token stop) { work(stop); }) {}

UploadQueue::~UploadQueue() {
    worker_.request_stop();
    worker_.join();
}

void UploadQueue::enqueue(Job job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void UploadQueue::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !running_; });
}

void UploadQueue::work(std::stop_token stop) {
    const Logger log("UploadQueue");
    while (true) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, stop, [this] { return !jobs_.empty(); });
            if (stop.stop_requested()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            running_ = true;
        }
        try {
            job(stop);
        } catch (const std::exception& error) {
            // Jobs report through their own status; one that throws must not stop the next.
            log.error("Upload queue job failed: {}", error.what());
        } catch (...) {
            log.error("Upload queue job failed");
        }
        {
            std::lock_guard lock(mutex_);
            running_ = false;
        }
        changed_.notify_all();
    }
}

}  // namespace kavo
