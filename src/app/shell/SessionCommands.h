#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <stop_token>
#include <string>

#include "account/SessionController.h"
#include "app/LinuxServices.h"
#include "app/shell/StopSignalWatch.h"
#include "base/Clock.h"
#include "base/MainLoop.h"
#include "base/SerialQueue.h"
#include "delivery/CaptureDelivery.h"

namespace kavo::shell {

// The account commands of the command line: the application's session controller and
// capture delivery on a main loop of their own, run until the answer is known. Each returns the
// process's exit status and writes what a person at a terminal needs to read.
class SessionCommands {
public:
    SessionCommands(LinuxServices& services, const Clock& clock, std::ostream& out,
                    std::ostream& err);
    SessionCommands(const SessionCommands&) = delete;
    SessionCommands& operator=(const SessionCommands&) = delete;
    ~SessionCommands();

    // Silent sign-in, tenant and access, then the account, the upload state and the
    // recent captures.
    int status();
    // Signs in in the browser, or with a code to enter on another device.
    int signIn(bool deviceCode);
    int signOut();
    // Uploads one finished capture (its id, or the path of its audio or sidecar file),
    // printing the stages and the progress until the server has it.
    int upload(const std::string& capture);
    // Uploads every capture of the account that is still waiting, oldest first.
    int uploadPending();

    // How long a command waits for the server before it gives up.
    static constexpr std::chrono::minutes kSettleTimeout{5};
    static constexpr std::chrono::hours kUploadTimeout{12};

private:
    // The controller on a new sign-in service; false, with the reason printed, when
    // sign-in cannot be configured.
    bool makeController(LinuxServices::SignInWith with = LinuxServices::SignInWith::browser);
    // The launch sequence, waited for; false when the servers did not answer in time.
    bool bootstrapped();
    // Runs the main loop until `done` holds (checked after every change) or `timeout`.
    bool runUntil(const std::function<bool()>& done, Duration timeout);
    bool settled() const;
    // Prints each new stage of the delivery's upload status until `done` holds.
    bool follow(const std::function<bool()>& done);
    // Hands the signed-in account to the delivery.
    void signedInDelivery();
    // What an upload that follow() gave up on ends with: stopped by a signal, or too slow.
    int unfinished() const;
    // Prints the phase as the menu words it; true when signed in.
    bool reportPhase();
    // The exit status of a command SIGINT or SIGTERM stopped, 0 while none has.
    int stoppedStatus() const;

    LinuxServices& services_;
    const Clock& clock_;
    std::ostream& out_;
    std::ostream& err_;
    MainLoop main_{"main"};
    SerialQueue worker_{"brindle.meetings.desktop.worker"};
    std::shared_ptr<UploadQueue> queue_ = std::make_shared<UploadQueue>();
    std::shared_ptr<SessionController> controller_;
    std::shared_ptr<CaptureDelivery> delivery_;
    std::function<void()> onChange_;
    // Ctrl-C and SIGTERM end the wait of any command at once, and the sign-in under way.
    std::stop_source stopSource_;
    StopSignalWatch stopWatch_{[this](int) {
        stopSource_.request_stop();
        main_.quit();
    }};
};

}  // namespace kavo::shell
