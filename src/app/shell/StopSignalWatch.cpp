#include "app/shell/StopSignalWatch.h"

#include <signal.h>

#include <cerrno>
#include <ctime>

namespace kavo::shell {

StopSignalWatch::StopSignalWatch(std::function<void(int signal)> onStop)
    : onStop_(std::move(onStop)), thread_([this](std::stop_token stop) {
          sigset_t stopSignals;
          sigemptyset(&stopSignals);
          sigaddset(&stopSignals, SIGINT);
          sigaddset(&stopSignals, SIGTERM);
          // Short waits, so that the watch itself can be ended without a signal.
          const timespec tick{0, 100'000'000};
          while (!stop.stop_requested()) {
              const int taken = sigtimedwait(&stopSignals, nullptr, &tick);
              if (taken < 0) continue;  // EAGAIN or EINTR
              signal_ = taken;
              onStop_(taken);
              return;
          }
      }) {}

}  // namespace kavo::shell
