#pragma once

#include <optional>
#include <string>
#include <vector>

#include "account/SessionPhase.h"
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

    std::optional<AvailableUpdate> availableUpdate;
    bool autoCaptureEnabled = true;
    bool echoCancellationEnabled = true;
};

// The menu, top to bottom; "Quit" is always the last item.
std::vector<MenuItem> menuItems(const MenuState& state);

// The tray icon's label: a recording mark with the running time, or the idle waveform.
struct MenuBarLabel {
    bool recording = false;
    std::optional<std::string> elapsed;

    bool operator==(const MenuBarLabel&) const = default;
};

MenuBarLabel menuBarLabel(const MenuState& state);

}  // namespace kavo
