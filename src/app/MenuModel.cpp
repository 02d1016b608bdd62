#include "app/MenuModel.h"

#include <utility>

#include "delivery/CaptureDelivery.h"
#include "delivery/PendingCaptures.h"

namespace kavo {

namespace {

constexpr KeyboardShortcut recordShortcut{'R'};
constexpr KeyboardShortcut quitShortcut{'Q'};
constexpr KeyboardShortcut pauseShortcut{'P'};
const char* const contactAdministrator = "Contact your IT administrator.";

std::string recordingTitle(const MenuState& state) {
    return (state.condition.paused ? "Paused " : "Recording ") + state.elapsedLabel;
}

std::optional<std::string> recordingWarning(const MenuState& state) {
    if (!state.isRecording) return std::nullopt;
    if (state.condition.noMicrophone) return kNoMicrophoneText;
    if (!state.condition.silentSide) return std::nullopt;
    return *state.condition.silentSide == CaptureSide::microphone ? kSilentMicrophoneText
                                                                  : kSilentSystemAudioText;
}

// The running capture: its time, stop and pause, and a warning when a side is missing.
void appendRecording(std::vector<MenuItem>& items, const MenuState& state) {
    items.push_back(MenuItem::text(recordingTitle(state)));
    items.push_back(MenuItem::button("Stop Recording", MenuAction::stopRecording, recordShortcut));
    if (state.condition.paused) {
        items.push_back(
            MenuItem::button("Resume Recording", MenuAction::resumeRecording, pauseShortcut));
    } else {
        items.push_back(
            MenuItem::button("Pause Recording", MenuAction::pauseRecording, pauseShortcut));
    }
    if (auto warning = recordingWarning(state))
        items.push_back(MenuItem::text(std::move(*warning)));
}

void appendSignedIn(std::vector<MenuItem>& items, const MenuState& state, const AppSession& session,
                    const Tenant& tenant) {
    items.push_back(MenuItem::text(tenant.clientName + " \u2014 " + session.email));
    items.push_back(MenuItem::divider());

    if (state.isRecording) {
        appendRecording(items, state);
    } else {
        items.push_back(
            MenuItem::button("Start Recording", MenuAction::startRecording, recordShortcut));
    }
    if (state.captureError) items.push_back(MenuItem::text(*state.captureError));

    const bool waits = state.waitingUploads > 0;
    if (state.upload.kind() != UploadStatus::Kind::idle || waits)
        items.push_back(MenuItem::divider());
    if (state.upload.kind() != UploadStatus::Kind::idle)
        items.push_back(MenuItem::text(state.upload.menuText()));
    if (waits) {
        items.push_back(MenuItem::text(waitingText(state.waitingUploads)));
        if (state.waitingForNetwork)
            items.push_back(MenuItem::text(CaptureDelivery::kWaitingForNetworkText));
        if (state.canUploadNow)
            items.push_back(MenuItem::button("Upload Now", MenuAction::uploadNow));
    }

    if (!state.recentCaptures.empty()) {
        items.push_back(MenuItem::divider());
        for (const RecentCapture& capture : state.recentCaptures) {
            if (auto url = capture.webURL(tenant.kavoBaseUrl)) {
                items.push_back(MenuItem::linkButton(capture.menuTitle(), MenuAction::openRecording,
                                                     std::move(*url)));
            } else {
                items.push_back(MenuItem::text(capture.menuTitle()));
            }
        }
    }

    items.push_back(MenuItem::divider());
    items.push_back(MenuItem::toggle("Record Meetings Automatically", MenuAction::toggleAutoCapture,
                                     state.autoCaptureEnabled));
    items.push_back(MenuItem::toggle("Echo Cancellation", MenuAction::toggleEchoCancellation,
                                     state.echoCancellationEnabled));
    items.push_back(MenuItem::button("Report a Problem", MenuAction::reportProblem));
    items.push_back(MenuItem::button("Sign Out", MenuAction::signOut));
}

void appendPhase(std::vector<MenuItem>& items, const MenuState& state) {
    const SessionPhase& phase = state.phase;
    // Every phase after sign-in carries its session; the factories guarantee it.
    const AppSession noSession{};
    const AppSession& session = phase.session() ? *phase.session() : noSession;

    // A capture can outlive the sign-in it began under; it can always be stopped.
    if (state.isRecording && phase.kind() != SessionPhase::Kind::signedIn) {
        appendRecording(items, state);
        items.push_back(MenuItem::divider());
    }

    switch (phase.kind()) {
        case SessionPhase::Kind::bootstrapping:
        case SessionPhase::Kind::signingIn:
            items.push_back(MenuItem::text("Signing in..."));
            return;
        case SessionPhase::Kind::signedOut:
            items.push_back(MenuItem::button("Sign In", MenuAction::signIn));
            if (state.signInError) items.push_back(MenuItem::text(*state.signInError));
            return;
        case SessionPhase::Kind::tenantNotRegistered:
            items.push_back(MenuItem::text("Your organisation isn't set up for Meetings yet."));
            items.push_back(MenuItem::text(contactAdministrator));
            items.push_back(MenuItem::divider());
            items.push_back(MenuItem::button("Sign Out", MenuAction::signOut));
            return;
        case SessionPhase::Kind::notEntitled:
            items.push_back(MenuItem::text(session.email + " doesn't have access to Meetings."));
            items.push_back(MenuItem::text(contactAdministrator));
            items.push_back(MenuItem::divider());
            items.push_back(MenuItem::button("Sign Out", MenuAction::signOut));
            return;
        case SessionPhase::Kind::discoveryUnavailable:
            items.push_back(MenuItem::text(phase.message()));
            items.push_back(MenuItem::button("Try Again", MenuAction::retryDiscovery));
            items.push_back(MenuItem::divider());
            items.push_back(MenuItem::button("Sign Out", MenuAction::signOut));
            return;
        case SessionPhase::Kind::signedIn:
            appendSignedIn(items, state, session, phase.tenant() ? *phase.tenant() : Tenant{});
            return;
    }
}

}  // namespace

MenuItem MenuItem::text(std::string title) {
    MenuItem item;
    item.kind = Kind::text;
    item.title = std::move(title);
    return item;
}

MenuItem MenuItem::button(std::string title, MenuAction action,
                          std::optional<KeyboardShortcut> shortcut) {
    MenuItem item;
    item.kind = Kind::button;
    item.title = std::move(title);
    item.action = action;
    item.shortcut = shortcut;
    return item;
}

MenuItem MenuItem::linkButton(std::string title, MenuAction action, std::string link) {
    MenuItem item = button(std::move(title), action);
    item.link = std::move(link);
    return item;
}

MenuItem MenuItem::toggle(std::string title, MenuAction action, bool isOn) {
    MenuItem item;
    item.kind = Kind::toggle;
    item.title = std::move(title);
    item.action = action;
    item.isOn = isOn;
    return item;
}

MenuItem MenuItem::divider() {
    MenuItem item;
    item.kind = Kind::divider;
    return item;
}

std::vector<MenuItem> menuItems(const MenuState& state) {
    std::vector<MenuItem> items;
    appendPhase(items, state);

    items.push_back(MenuItem::divider());
    if (state.availableUpdate) {
        items.push_back(MenuItem::linkButton("New Version Available \u2014 Open Download Page",
                                             MenuAction::openDownloadPage,
                                             state.availableUpdate->downloadPage));
    }
    items.push_back(MenuItem::button("Quit", MenuAction::quit, quitShortcut));
    return items;
}

MenuBarLabel menuBarLabel(const MenuState& state) {
    if (!state.isRecording) return MenuBarLabel{};
    return MenuBarLabel{.recording = true,
                        .paused = state.condition.paused,
                        .elapsed = state.elapsedLabel,
                        .warning = recordingWarning(state)};
}

std::string MenuBarLabel::toolTip() const {
    if (!recording) return "Kavo Meetings";
    std::string text = paused ? "Paused" : "Recording";
    if (elapsed) text += " " + *elapsed;
    if (warning) text += "\n" + *warning;
    return text;
}

}  // namespace kavo
