#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "account/AuthService.h"
#include "account/SessionController.h"
#include "base/Clock.h"
#include "base/Defaults.h"
#include "base/Scheduler.h"
#include "delivery/CaptureDelivery.h"
#include "net/HTTPTransport.h"
#include "support/SupportEnvironment.h"
#include "upload/UploadQueue.h"

namespace kavo {

// The account side of the program, wired the same way for the tray and for the command
// line: the session controller and the capture delivery on one sign-in service, one
// transport, one recent-capture store and one reconcile ledger.
struct SessionAssembly {
    struct Parts {
        std::shared_ptr<AuthService> auth;
        std::shared_ptr<HTTPTransport> transport;
        std::string discoveryURL;
        std::shared_ptr<Defaults> defaults;
        std::filesystem::path capturesDirectory;
        std::shared_ptr<UploadQueue> queue;
        const Clock* clock = nullptr;
        Scheduler* main = nullptr;
        Scheduler* worker = nullptr;
        SupportEnvironment supportEnvironment;
        std::string timeZone;
        // None: no reconcile timer (a command does one thing and ends).
        std::optional<Duration> reconcileInterval;
        CaptureDelivery::UploadTiming uploadTiming = {};
    };

    std::shared_ptr<SessionController> session;
    std::shared_ptr<CaptureDelivery> delivery;

    static SessionAssembly make(Parts parts);
};

}  // namespace kavo
