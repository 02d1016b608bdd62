#include "base/SerialQueue.h"

#include <future>

namespace kavo {

SerialQueue::SerialQueue(std::string label) : loop_(std::move(label)) {
    std::promise<void> started;
    worker_ = std::thread([this, &started] {
        // The loop marks its runner under its lock before taking tasks; announce after that.
        loop_.post([&started] { started.set_value(); });
        loop_.run();
    });
    started.get_future().wait();
}

SerialQueue::~SerialQueue() {
    loop_.quit();
    worker_.join();
}

}  // namespace kavo
