#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QRegularExpression>
#include <filesystem>
#include <string>
#include <vector>

#include "app/MenuModel.h"
#include "app/shell/TrayMenu.h"
#include "capture/files/SidecarTimestamp.h"
#include "support/ScopedEnvironmentVariable.h"

// Every phase's menu as the tray draws it, row by row, and saved as a PNG.

namespace kavo {
namespace {

using Lines = std::vector<std::string>;

// The text Qt draws for an action: "&&" is an ampersand, a lone "&" marks a mnemonic.
std::string shownText(const QAction* action) {
    return action->text().replace(QRegularExpression("&(.)"), "\\1").toStdString();
}

// A drawn row as one line: read off its QAction and off the item that choosing it hands
// back, so that a failure shows the whole menu readably.
std::string drawn(const QAction* action, const std::vector<MenuItem>& chosen) {
    if (action->isSeparator()) return "---";
    std::string line = !action->isEnabled()    ? "text "
                       : action->isCheckable() ? "toggle "
                                               : "button ";
    line += shownText(action);
    const std::string keys = action->shortcut().toString(QKeySequence::PortableText).toStdString();
    if (keys.starts_with("Ctrl+")) line += " ^" + keys.substr(5);
    if (chosen.size() == 1 && chosen[0].link) line += " -> " + *chosen[0].link;
    if (action->isCheckable()) line += action->isChecked() ? " (on)" : " (off)";
    return line;
}

AppSession avery() {
    AppSession session;
    session.tenantId = "tid-contoso";
    session.email = "avery.quinn@contoso.test";
    return session;
}

// An ampersand in the name: Qt would take a bare one for a mnemonic marker.
const Tenant kContoso{"tid-contoso", "Contoso & Sons", "CS", "https://kavo.example/app/",
                      "eu",          "active"};
const std::string kIdentity = "text Contoso & Sons \u2014 avery.quinn@contoso.test";
const std::string kQuit = "button Quit ^Q";
const std::string kSignOut = "button Sign Out";

MenuState inPhase(SessionPhase phase) {
    MenuState state;
    state.phase = std::move(phase);
    return state;
}

RecentCapture captureAt(const char* startedAt, double seconds, std::optional<std::string> id,
                        std::optional<std::string> uploadState) {
    return RecentCapture{"cap", *SidecarTimestamp::parse(startedAt), seconds, std::move(id),
                         std::move(uploadState)};
}

// A capture outlives its sign-in: it can be stopped; what belongs to an account is not shown.
MenuState signedOutWhileRecording() {
    MenuState state = inPhase(SessionPhase::signedOut());
    state.signInError = "Sign-in is unavailable: no client id";
    state.isRecording = true;
    state.captureError = "Microphone unavailable";
    state.upload = UploadStatus::failed("Upload failed");
    state.recentCaptures = {captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED")};
    return state;
}

MenuState signedInIdle() {
    MenuState state = inPhase(SessionPhase::signedIn(avery(), kContoso));
    state.captureError = "Capture failed";
    state.upload = UploadStatus::failed("Init failed: no route");
    state.waitingUploads = 2;
    state.waitingForNetwork = true;
    state.canUploadNow = true;
    state.recentCaptures = {captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED"),
                            captureAt("2024-03-03T14:00:00.000Z", 754, std::nullopt, std::nullopt)};
    return state;
}

MenuState recordingWith(CaptureCondition condition) {
    MenuState state = inPhase(SessionPhase::signedIn(avery(), kContoso));
    state.isRecording = true;
    state.elapsedLabel = "1:23";
    state.upload = UploadStatus::uploading(0.424);
    state.availableUpdate = AvailableUpdate{"2.4.0", "https://updates.kavo.example/download"};
    state.autoCaptureEnabled = false;
    state.echoCancellationEnabled = false;
    state.condition = condition;
    return state;
}

// A recording's menu: its own rows between the identity and the rest.
Lines recordingMenu(const Lines& rows) {
    Lines lines = {kIdentity, "---"};
    lines.insert(lines.end(), rows.begin(), rows.end());
    lines.insert(lines.end(),
                 {"---", "text Uploading 42%", "---", "toggle Record Meetings Automatically (off)",
                  "toggle Echo Cancellation (off)", "button Report a Problem", kSignOut, "---",
                  "button New Version Available \u2014 Open Download Page -> "
                  "https://updates.kavo.example/download",
                  kQuit});
    return lines;
}

const std::string kStop = "button Stop Recording ^R";
const std::string kPause = "button Pause Recording ^P";

struct MenuCase {
    const char* name;
    MenuState state;
    Lines expected;
};

void PrintTo(const MenuCase& menuCase, std::ostream* out) {
    *out << menuCase.name;
}

class TrayMenuPhases : public ::testing::TestWithParam<MenuCase> {
protected:
    testing::ScopedEnvironmentVariable zone{"TZ", "UTC0"};
};

TEST_P(TrayMenuPhases, EachRowIsDrawnChoosesItsItemAndTheMenuIsSavedAsAPicture) {
    std::vector<MenuItem> chosen;
    TrayMenu tray([&](const MenuItem& item) { chosen.push_back(item); });
    const std::vector<MenuItem> items = menuItems(GetParam().state);
    // Drawn over a recording's menu with other values, as the tray redraws only what changed.
    MenuState before = recordingWith({});
    before.elapsedLabel = "0:00";
    before.autoCaptureEnabled = true;
    tray.update(menuItems(before));
    tray.update(items);
    ASSERT_EQ(static_cast<std::size_t>(tray.menu().actions().size()), items.size());
    Lines lines;
    for (std::size_t i = 0; i < items.size(); ++i) {
        QAction* action = tray.action(i);
        const bool wasChecked = action->isChecked();
        chosen.clear();
        if (!action->isSeparator()) action->trigger();
        if (chosen.size() == 1) {
            EXPECT_EQ(chosen.front(), items[i]);
        }
        lines.push_back(drawn(action, chosen));
        EXPECT_EQ(action->isChecked(), wasChecked) << "a switch shows the model, not the click";
    }
    EXPECT_EQ(lines, GetParam().expected);

    const std::filesystem::path dir = KAVO_MENU_PNG_DEFAULT_DIR;
    std::filesystem::create_directories(dir);
    const QString file = QString::fromStdString((dir / GetParam().name).string() + ".png");
    tray.menu().popup(QPoint(0, 0));
    ASSERT_TRUE(tray.menu().grab().save(file));
    tray.menu().hide();
}

INSTANTIATE_TEST_SUITE_P(
    EverySessionPhase, TrayMenuPhases,
    ::testing::Values(
        MenuCase{"bootstrapping",
                 inPhase(SessionPhase::bootstrapping()),
                 {"text Signing in...", "---", kQuit}},
        MenuCase{"signedOutWhileRecording",
                 signedOutWhileRecording(),
                 {"text Recording 0:00", kStop, kPause, "---", "button Sign In",
                  "text Sign-in is unavailable: no client id", "---", kQuit}},
        MenuCase{"tenantNotRegistered",
                 inPhase(SessionPhase::tenantNotRegistered(avery())),
                 {"text Your organisation isn't set up for Meetings yet.",
                  "text Contact your IT administrator.", "---", kSignOut, "---", kQuit}},
        MenuCase{"notEntitled",
                 inPhase(SessionPhase::notEntitled(avery())),
                 {"text avery.quinn@contoso.test doesn't have access to Meetings.",
                  "text Contact your IT administrator.", "---", kSignOut, "---", kQuit}},
        MenuCase{"discoveryUnavailable",
                 inPhase(SessionPhase::discoveryUnavailable(avery(), "The server is busy.")),
                 {"text The server is busy.", "button Try Again", "---", kSignOut, "---", kQuit}},
        MenuCase{"signedInIdle",
                 signedInIdle(),
                 {kIdentity, "---", "button Start Recording ^R", "text Capture failed", "---",
                  "text Init failed: no route", "text 2 recordings waiting to upload",
                  "text Uploads wait for the network.", "button Upload Now", "---",
                  "button 4 Mar, 09:05 \u2014 1:02:05 \u2014 Uploaded -> "
                  "https://kavo.example/app/meetings/rec-1",
                  "text 3 Mar, 14:00 \u2014 12:34 \u2014 Not uploaded", "---",
                  "toggle Record Meetings Automatically (on)", "toggle Echo Cancellation (on)",
                  "button Report a Problem", kSignOut, "---", kQuit}},
        MenuCase{"signedInRecording", recordingWith({}),
                 recordingMenu({"text Recording 1:23", kStop, kPause})},
        MenuCase{"recordingPaused",
                 recordingWith({.paused = true, .noMicrophone = false, .silentSide = {}}),
                 recordingMenu({"text Paused 1:23", kStop, "button Resume Recording ^P"})},
        MenuCase{"recordingSilentMicrophone",
                 recordingWith({.paused = false,
                                .noMicrophone = false,
                                .silentSide = CaptureSide::microphone}),
                 recordingMenu({"text Recording 1:23", kStop, kPause,
                                std::string("text ") + kSilentMicrophoneText})},
        MenuCase{"recordingSilentSystemAudio",
                 recordingWith({.paused = false,
                                .noMicrophone = false,
                                .silentSide = CaptureSide::systemAudio}),
                 recordingMenu({"text Recording 1:23", kStop, kPause,
                                std::string("text ") + kSilentSystemAudioText})},
        // Without a microphone its silence is no news: the missing device is.
        MenuCase{"recordingWithoutMicrophone",
                 recordingWith({.paused = false,
                                .noMicrophone = true,
                                .silentSide = CaptureSide::microphone}),
                 recordingMenu({"text Recording 1:23", kStop, kPause,
                                std::string("text ") + kNoMicrophoneText})}),
    [](const ::testing::TestParamInfo<MenuCase>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kavo
