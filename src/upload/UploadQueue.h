#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace kavo {

// Background server work, one job at a time in the order it was handed over: every
// capture's upload and every reconcile pass, so a reconcile never overlaps an upload.
// Jobs run on the queue's own thread and do not throw.
class UploadQueue {
public:
    // The token is triggered when the queue is destroyed (the application quits).
    using Job = std::function<void(std::stop_token)>;

    UploadQueue();
    UploadQueue(const UploadQueue&) = delete;
    UploadQueue& operator=(const UploadQueue&) = delete;
    // Drops the jobs not started, asks the running one to stop and waits for it.
    ~UploadQueue();

    // Returns at once; the job runs after every job handed over before it.
    void enqueue(Job job);
    // Blocks until every job handed over so far has finished.
    void waitUntilIdle();

private:
    void work(std::stop_token stop);

    std::mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<Job> jobs_;
    bool running_ = false;
    std::jthread worker_;
};

}  // namespace kavo
