#pragma once

#include <optional>
#include <string>
#include <vector>

#include "account/SessionPhase.h"
#include "capture/CaptureCondition.h"
#include "capture/RecentCapture.h"
#include "support/AvailableUpdate.h"
#include "upload/UploadStatus.h"

namespace kavo {

// What choosing a menu button or toggle does; the tray maps each to one call.
enum class MenuAction {
    signIn,
    retryDiscovery,
    startRecording,
    stopRecording,
    pauseRecording,
    resumeRecording,
    uploadNow,
    openRecording,  // opens the item's link
    toggleAutoCapture,
    toggleEchoCancellation,
    reportProblem,
    signOut,
    openDownloadPage,  // opens the item's link
    quit
};

// A letter pressed with the primary modifier (Ctrl on Linux).
struct KeyboardShortcut {
    char key = 0;

    bool operator==(const KeyboardShortcut&) const = default;
};

struct MenuItem {
    enum class Kind { text, button, toggle, divider };

    Kind kind = Kind::text;
    std::string title;
    std::optional<MenuAction> action;  // buttons and toggles
    std::optional<KeyboardShortcut> shortcut;
    std::optional<std::string> link;  // openRecording, openDownloadPage
    bool enabled = true;
    bool isOn = false;  // toggles

    static MenuItem text(std::string title);
    static MenuItem button(std::string title, MenuAction action,
                           std::optional<KeyboardShortcut> shortcut = std::nullopt);
    static MenuItem linkButton(std::string title, MenuAction action, std::string link);
    static MenuItem toggle(std::string title, MenuAction action, bool isOn);
    static MenuItem divider();

    bool operator==(const MenuItem&) const = default;
};

// Everything the menu is drawn from, read off the session controller, the capture
// controller, the update checker and the automatic-capture switch.
struct MenuState {
    SessionPhase phase = SessionPhase::bootstrapping();
    std::optional<std::string> signInError;
    UploadStatus upload = UploadStatus::idle();
    // The captures still to be sent, and whether the last try waited on the network.
    std::size_t waitingUploads = 0;
    bool waitingForNetwork = false;
    bool canUploadNow = false;
    std::vector<RecentCapture> recentCaptures;

    bool isRecording = false;
    std::string elapsedLabel = "0:00";
    std::optional<std::string> captureError;
    // Of the running capture.
    CaptureCondition condition;

    std::optional<AvailableUpdate> availableUpdate;
    bool autoCaptureEnabled = true;
    bool echoCancellationEnabled = true;
};

// The menu, top to bottom; "Quit" is always the last item.
std::vector<MenuItem> menuItems(const MenuState& state);

// What the menu says of a running capture that lacks a side.
inline constexpr const char* kNoMicrophoneText =
    "No microphone on this computer: the microphone channel is silent";
inline constexpr const char* kSilentMicrophoneText =
    "The microphone hears nothing: check that it is on and not muted";
inline constexpr const char* kSilentSystemAudioText =
    "No sound from this computer: the meeting may play on another output";

// The tray icon's label: a recording mark with the running time (paused or not), or the
// idle waveform; and what its tooltip says.
struct MenuBarLabel {
    bool recording = false;
    bool paused = false;
    std::optional<std::string> elapsed;
    // A side of the recording is missing (the menu's text).
    std::optional<std::string> warning;

    // "Kavo Meetings" when idle; "Recording 1:23" or "Paused 1:23", and the warning on a
    // line of its own.
    std::string toolTip() const;

    bool operator==(const MenuBarLabel&) const = default;
};

MenuBarLabel menuBarLabel(const MenuState& state);

}  // namespace kavo
