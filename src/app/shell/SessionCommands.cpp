#include "app/shell/SessionCommands.h"

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <unistd.h>

#include <exception>
#include <filesystem>

#include "app/MenuModel.h"
#include "app/SessionAssembly.h"
#include "app/shell/StoppableAuthService.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureFormat.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavRepair.h"
#include "delivery/PendingCaptures.h"

namespace kavo::shell {
namespace {

using Kind = SessionPhase::Kind;

bool namesFile(const std::filesystem::path& path) {
    return path.extension() == ".wav" || path.extension() == ".json";
}

// Where the capture a command-line argument names is looked for: beside the file it
// names, or for an id in the captures folder.
std::filesystem::path folderOf(const std::string& argument, const std::filesystem::path& captures) {
    const std::filesystem::path path(argument);
    return namesFile(path) ? std::filesystem::absolute(path).parent_path() : captures;
}

// The capture a command-line argument names: its id, or its audio or sidecar file.
std::optional<CaptureArtifacts> findCapture(const std::string& argument,
                                            const std::filesystem::path& captures) {
    const std::filesystem::path path(argument);
    std::string stem = namesFile(path) ? path.stem().string() : argument;
    if (stem.starts_with("capture-")) stem.erase(0, 8);
    const auto folder = folderOf(argument, captures);
    auto artifacts = CaptureArtifacts::forCapture(folder, stem);
    if (!std::filesystem::exists(artifacts.audioURL) ||
        !std::filesystem::exists(artifacts.sidecarURL)) {
        return std::nullopt;
    }
    return artifacts;
}

bool finished(const UploadStatus& status) {
    switch (status.kind()) {
        case UploadStatus::Kind::delivered:
        case UploadStatus::Kind::processing:
        case UploadStatus::Kind::failed:
            return true;
        default:
            return false;
    }
}

}  // namespace

SessionCommands::SessionCommands(LinuxServices& services, const Clock& clock, std::ostream& out,
                                 std::ostream& err)
    : services_(services), clock_(clock), out_(out), err_(err) {}

SessionCommands::~SessionCommands() {
    // Uploads still queued reach into the delivery and post to the main loop.
    queue_.reset();
    delivery_.reset();
    controller_.reset();
}

bool SessionCommands::makeController(LinuxServices::SignInWith with) {
    std::shared_ptr<AuthService> auth;
    try {
        auth = std::make_shared<StoppableAuthService>(services_.makeAuthService(with),
                                                      stopSource_.get_token());
    } catch (const std::exception& error) {
        fmt::print(err_, "Sign-in is unavailable: {}\n", error.what());
        return false;
    }
    auto assembly =
        SessionAssembly::make({.auth = std::move(auth),
                               .transport = services_.transport(),
                               .discoveryURL = services_.endpoints().discoveryURL,
                               .defaults = services_.defaults(),
                               .capturesDirectory = services_.paths().capturesDirectory(),
                               .queue = queue_,
                               .clock = &clock_,
                               .main = &main_,
                               .worker = &worker_,
                               .supportEnvironment = services_.supportEnvironment(),
                               .timeZone = services_.timeZone()});
    controller_ = std::move(assembly.session);
    delivery_ = std::move(assembly.delivery);
    controller_->observe([this](SessionController::Property) {
        if (onChange_) onChange_();
    });
    delivery_->observe([this](CaptureDelivery::Property) {
        if (onChange_) onChange_();
    });
    return true;
}

bool SessionCommands::bootstrapped() {
    controller_->bootstrap();
    if (runUntil([this] { return settled(); }, kSettleTimeout)) return true;
    if (stoppedStatus() != 0) return false;
    fmt::print(err_, "The server did not answer in time.\n");
    return false;
}

bool SessionCommands::runUntil(const std::function<bool()>& done, Duration timeout) {
    if (stoppedStatus() != 0) return false;
    bool met = false;
    onChange_ = [&] {
        if (!met && done()) {
            met = true;
            main_.quit();
        }
    };
    main_.post(onChange_);
    const TimerHandle giveUp = main_.after(timeout, [this] { main_.quit(); });
    main_.run();
    onChange_ = {};
    return met;
}

void SessionCommands::signedInDelivery() {
    const SessionPhase& phase = controller_->phase();
    delivery_->setAccount(CaptureDelivery::Account{*phase.session(), *phase.tenant()});
}

bool SessionCommands::follow(const std::function<bool()>& done) {
    // One line that keeps changing on a terminal; one line per stage in a log.
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::string shown;
    const auto show = [&] {
        // Until the queue takes the capture the status is still idle, which is no stage.
        if (delivery_->upload().kind() == UploadStatus::Kind::idle) return;
        const std::string text = delivery_->upload().menuText();
        if (text == shown) return;
        shown = text;
        if (terminal) {
            fmt::print(out_, "\r\033[K{}", text);
        } else {
            fmt::print(out_, "{}\n", text);
        }
        out_.flush();
    };
    const bool met = runUntil(
        [&] {
            show();
            return done();
        },
        kUploadTimeout);
    if (terminal) fmt::print(out_, "\n");
    return met;
}

int SessionCommands::unfinished() const {
    if (const int stopped = stoppedStatus(); stopped != 0) {
        // The blocks already stored stay recorded beside the capture for the next run.
        fmt::print(err_,
                   "Upload stopped. Run the same command again to go on from where it "
                   "stopped.\n");
        return stopped;
    }
    fmt::print(err_, "The upload did not finish in time.\n");
    return 1;
}

int SessionCommands::stoppedStatus() const {
    const int signal = stopWatch_.signal();
    return signal == 0 ? 0 : 128 + signal;
}

bool SessionCommands::settled() const {
    const Kind kind = controller_->phase().kind();
    return kind != Kind::bootstrapping && kind != Kind::signingIn;
}

bool SessionCommands::reportPhase() {
    MenuState state;
    state.phase = controller_->phase();
    state.signInError = controller_->signInError();
    // The menu's words for the phase: everything above its first divider.
    for (const MenuItem& item : menuItems(state)) {
        if (item.kind == MenuItem::Kind::divider) break;
        if (item.kind == MenuItem::Kind::text) fmt::print(out_, "{}\n", item.title);
    }
    if (state.phase.kind() == Kind::signedOut) {
        fmt::print(out_, "Not signed in. Run: kavo-meetings sign-in\n");
    }
    return state.phase.kind() == Kind::signedIn;
}

int SessionCommands::status() {
    if (!makeController()) return 1;
    if (!bootstrapped()) return stoppedStatus() != 0 ? stoppedStatus() : 1;
    if (!reportPhase()) return 0;
    signedInDelivery();
    if (delivery_->upload().kind() != UploadStatus::Kind::idle) {
        fmt::print(out_, "Upload: {}\n", delivery_->upload().menuText());
    }
    const auto& tenant = *controller_->phase().tenant();
    for (const RecentCapture& capture : delivery_->recentCaptures()) {
        const auto link = capture.webURL(tenant.kavoBaseUrl);
        fmt::print(out_, "  {}{}{}\n", capture.menuTitle(), link ? "  " : "", link.value_or(""));
    }
    return 0;
}

int SessionCommands::signIn(bool deviceCode) {
    using SignInWith = LinuxServices::SignInWith;
    if (!makeController(deviceCode ? SignInWith::deviceCode : SignInWith::browser)) return 1;
    controller_->signIn();
    // The person may take a while in the browser or on the other device.
    if (!runUntil([this] { return settled(); }, std::chrono::minutes(16))) {
        if (const int stopped = stoppedStatus()) {
            fmt::print(err_, "Sign-in stopped.\n");
            return stopped;
        }
        fmt::print(err_, "Sign-in did not finish in time.\n");
        return 1;
    }
    if (const auto& error = controller_->signInError()) {
        fmt::print(err_, "{}\n", *error);
        return 1;
    }
    return reportPhase() ? 0 : 1;
}

int SessionCommands::signOut() {
    if (!makeController()) return 1;
    controller_->signOut();
    // The account is forgotten on the worker; wait for it.
    worker_.sync([] {});
    fmt::print(out_, "Signed out.\n");
    return 0;
}

int SessionCommands::upload(const std::string& capture) {
    const auto captures = services_.paths().capturesDirectory();
    const auto artifacts = findCapture(capture, captures);
    if (!artifacts) {
        fmt::print(err_, "No capture \"{}\": its audio and sidecar files are not in {}.\n", capture,
                   folderOf(capture, captures).string());
        return 1;
    }
    // A capture cut short by a crash is repaired before it leaves the computer; nothing
    // else in its folder is touched, and nothing but a capture of this program is sent.
    repairCapture(artifacts->audioURL);
    try {
        CaptureFormat::verify(*artifacts);
    } catch (const CaptureFileError& error) {
        fmt::print(err_, "Cannot upload {}: {}\n", artifacts->audioURL.string(), error.what());
        return 1;
    }
    try {
        const auto sidecar = CaptureSidecar::read(artifacts->sidecarURL);
        if (sidecar.uploadState == "DELIVERED" && sidecar.recordingId) {
            fmt::print(out_, "Already uploaded as recording {}.\n", *sidecar.recordingId);
            return 0;
        }
    } catch (const std::exception& error) {
        fmt::print(err_, "Could not read {}: {}\n", artifacts->sidecarURL.string(), error.what());
        return 1;
    }

    if (!makeController()) return 1;
    if (!bootstrapped()) return stoppedStatus() != 0 ? stoppedStatus() : 1;
    if (!reportPhase()) return 1;

    signedInDelivery();
    delivery_->send(*artifacts);
    if (!follow([&] { return finished(delivery_->upload()); })) return unfinished();
    const UploadStatus& status = delivery_->upload();
    if (status.kind() == UploadStatus::Kind::failed) return 1;
    fmt::print(out_, "Recording {}\n", status.recordingId());
    return 0;
}

int SessionCommands::uploadPending() {
    if (!makeController()) return 1;
    if (!bootstrapped()) return stoppedStatus() != 0 ? stoppedStatus() : 1;
    if (!reportPhase()) return 1;
    signedInDelivery();
    // The launch repair is the tray's; here the folder is taken as it is.
    delivery_->captureFolderReady();
    if (!delivery_->isSending() && delivery_->waiting() == 0) {
        fmt::print(out_, "Nothing is waiting to upload.\n");
        return 0;
    }
    if (!follow([&] { return !delivery_->isSending(); })) return unfinished();
    if (delivery_->waiting() == 0) {
        fmt::print(out_, "Every recording is uploaded.\n");
        return 0;
    }
    fmt::print(err_, "{}.\n", waitingText(delivery_->waiting()));
    return 1;
}

}  // namespace kavo::shell
