#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/MenuModel.h"
#include "support/MenuStateBuilders.h"
#include "support/ScopedTimeZone.h"

// The menu for every phase and every optional row. tests/unit/shell/TrayMenuTest.cpp draws
// these same items with Qt and checks each drawn action against them.

namespace kavo {
namespace {

using testing::avery;
using testing::captureAt;
using Lines = std::vector<std::string>;

// One line per item holding everything the tray draws from it, so that a failure shows
// the whole menu readably.
std::string describe(const MenuItem& item) {
    static const char* const actions[] = {"signIn",
                                          "retryDiscovery",
                                          "startRecording",
                                          "stopRecording",
                                          "pauseRecording",
                                          "resumeRecording",
                                          "uploadNow",
                                          "openRecording",
                                          "toggleAutoCapture",
                                          "toggleEchoCancellation",
                                          "reportProblem",
                                          "signOut",
                                          "openDownloadPage",
                                          "quit"};
    static const char* const kinds[] = {"text ", "button ", "toggle ", "---"};
    std::string line = kinds[static_cast<int>(item.kind)] + item.title;
    if (item.action) line += std::string(" [") + actions[static_cast<int>(*item.action)] + "]";
    if (item.shortcut) line += std::string(" ^") + item.shortcut->key;
    if (item.link) line += " -> " + *item.link;
    if (item.kind == MenuItem::Kind::toggle) line += item.isOn ? " (on)" : " (off)";
    if (!item.enabled) line += " (disabled)";
    return line;
}

Lines menu(const MenuState& state) {
    Lines lines;
    for (const MenuItem& item : menuItems(state)) lines.push_back(describe(item));
    return lines;
}

Lines joined(Lines head, const Lines& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Tenant kContoso{"tid-contoso", "Contoso Ltd", "CL", "https://kavo.example/app/",
                      "eu",          "active"};
const std::string kIdentity = "text Contoso Ltd \u2014 avery.quinn@contoso.test";
const Lines kQuitTail = {"---", "button Quit [quit] ^Q"};
const Lines kSignedInTail = {"---",
                             "toggle Record Meetings Automatically [toggleAutoCapture] (on)",
                             "toggle Echo Cancellation [toggleEchoCancellation] (on)",
                             "button Report a Problem [reportProblem]",
                             "button Sign Out [signOut]",
                             "---",
                             "button Quit [quit] ^Q"};

MenuState signedIn() {
    MenuState state;
    state.phase = SessionPhase::signedIn(avery(), kContoso);
    return state;
}

TEST(MenuModel, BeforeSignInEachPhaseShowsItsSectionThenQuit) {
    const struct {
        SessionPhase phase;
        std::optional<std::string> signInError;
        Lines expected;
    } cases[] = {
        {SessionPhase::bootstrapping(), {}, {"text Signing in..."}},
        {SessionPhase::signingIn(), {}, {"text Signing in..."}},
        {SessionPhase::signedOut(), {}, {"button Sign In [signIn]"}},
        {SessionPhase::signedOut(),
         "Sign-in is unavailable: no client id",
         {"button Sign In [signIn]", "text Sign-in is unavailable: no client id"}},
        {SessionPhase::tenantNotRegistered(avery()),
         {},
         {"text Your organisation isn't set up for Meetings yet.",
          "text Contact your IT administrator.", "---", "button Sign Out [signOut]"}},
        {SessionPhase::notEntitled(avery()),
         {},
         {"text avery.quinn@contoso.test doesn't have access to Meetings.",
          "text Contact your IT administrator.", "---", "button Sign Out [signOut]"}},
        {SessionPhase::discoveryUnavailable(avery(), "The server is busy."),
         {},
         {"text The server is busy.", "button Try Again [retryDiscovery]", "---",
          "button Sign Out [signOut]"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected.front());
        MenuState state;
        state.phase = c.phase;
        state.signInError = c.signInError;
        // Upload and recent-capture rows belong to the signed-in section only; a running
        // capture can be stopped in every phase.
        state.isRecording = true;
        state.captureError = "Microphone unavailable";
        state.upload = UploadStatus::failed("Upload failed");
        state.recentCaptures = {captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED")};
        EXPECT_EQ(menu(state),
                  joined(joined({"text Recording 0:00", "button Stop Recording [stopRecording] ^R",
                                 "button Pause Recording [pauseRecording] ^P", "---"},
                                c.expected),
                         kQuitTail));
    }
}

TEST(MenuModel, SignedInRecordingRowsAndTheLastCaptureError) {
    MenuState state = signedIn();
    EXPECT_EQ(menu(state), joined({kIdentity, "---", "button Start Recording [startRecording] ^R"},
                                  kSignedInTail));

    state.captureError = "The microphone could not be opened.";
    EXPECT_EQ(menu(state), joined({kIdentity, "---", "button Start Recording [startRecording] ^R",
                                   "text The microphone could not be opened."},
                                  kSignedInTail));

    state.isRecording = true;
    state.elapsedLabel = "1:02:05";
    state.autoCaptureEnabled = false;
    state.echoCancellationEnabled = false;
    Lines tail = kSignedInTail;
    tail[1] = "toggle Record Meetings Automatically [toggleAutoCapture] (off)";
    tail[2] = "toggle Echo Cancellation [toggleEchoCancellation] (off)";
    EXPECT_EQ(menu(state), joined({kIdentity, "---", "text Recording 1:02:05",
                                   "button Stop Recording [stopRecording] ^R",
                                   "button Pause Recording [pauseRecording] ^P",
                                   "text The microphone could not be opened."},
                                  tail));
}

TEST(MenuModel, APausedOrOneSidedCaptureSaysSoInTheMenuAndTheTooltip) {
    MenuState state = signedIn();
    state.isRecording = true;
    state.elapsedLabel = "4:10";
    const auto recordingRows = [&] {
        const Lines lines = menu(state);
        return Lines(lines.begin() + 2, lines.end() - static_cast<long>(kSignedInTail.size()));
    };

    state.condition.paused = true;
    EXPECT_EQ(recordingRows(),
              (Lines{"text Paused 4:10", "button Stop Recording [stopRecording] ^R",
                     "button Resume Recording [resumeRecording] ^P"}));
    EXPECT_EQ(menuBarLabel(state).toolTip(), "Paused 4:10");

    state.condition = {
        .paused = false, .noMicrophone = false, .silentSide = CaptureSide::microphone};
    const Lines silentMic = {
        "text Recording 4:10", "button Stop Recording [stopRecording] ^R",
        "button Pause Recording [pauseRecording] ^P",
        "text The microphone hears nothing: check that it is on and not muted"};
    EXPECT_EQ(recordingRows(), silentMic);
    EXPECT_EQ(menuBarLabel(state).toolTip(),
              "Recording 4:10\nThe microphone hears nothing: check that it is on and not muted");

    state.condition.silentSide = CaptureSide::systemAudio;
    EXPECT_EQ(recordingRows().back(),
              "text No sound from this computer: the meeting may play on another output");

    // Without a microphone its silence is no news: the missing device is.
    state.condition = {
        .paused = false, .noMicrophone = true, .silentSide = CaptureSide::microphone};
    EXPECT_EQ(recordingRows().back(),
              "text No microphone on this computer: the microphone channel is silent");

    state.isRecording = false;
    EXPECT_EQ(menuBarLabel(state).toolTip(), "Kavo Meetings");
    for (const std::string& line : menu(state))
        EXPECT_EQ(line.find("microphone"), std::string::npos);
}

TEST(MenuModel, AnyUploadStatusButIdleGetsItsOwnSection) {
    const std::pair<UploadStatus, const char*> cases[] = {
        {UploadStatus::preparing(), "Preparing upload"},
        {UploadStatus::uploading(), "Uploading"},
        {UploadStatus::uploading(0.424), "Uploading 42%"},
        {UploadStatus::finalizing(), "Finishing upload"},
        {UploadStatus::processing("rec-1"), "Uploaded"},
        {UploadStatus::delivered("rec-1"), "Uploaded"},
        {UploadStatus::retrying("Network is down"), "Network is down (auto-retrying)"},
        {UploadStatus::failed("Upload failed: 403"), "Upload failed: 403"},
    };
    for (const auto& [status, text] : cases) {
        MenuState state = signedIn();
        state.upload = status;
        EXPECT_EQ(menu(state),
                  joined({kIdentity, "---", "button Start Recording [startRecording] ^R", "---",
                          std::string("text ") + text},
                         kSignedInTail));
    }
}

TEST(MenuModel, WaitingCapturesAreCountedWithTheNetworkAndUploadNowWhenTheyApply) {
    MenuState state = signedIn();
    state.upload = UploadStatus::failed("Init failed: no route");
    state.waitingUploads = 2;
    state.waitingForNetwork = true;
    state.canUploadNow = true;
    EXPECT_EQ(menu(state),
              joined({kIdentity, "---", "button Start Recording [startRecording] ^R", "---",
                      "text Init failed: no route", "text 2 recordings waiting to upload",
                      "text Uploads wait for the network.", "button Upload Now [uploadNow]"},
                     kSignedInTail));

    state = signedIn();
    state.waitingUploads = 1;
    EXPECT_EQ(menu(state), joined({kIdentity, "---", "button Start Recording [startRecording] ^R",
                                   "---", "text 1 recording waiting to upload"},
                                  kSignedInTail));
}

TEST(MenuModel, RecentCapturesLinkToTheirRecordingOrStayPlainText) {
    const testing::ScopedTimeZone zone("UTC0");
    MenuState state = signedIn();
    state.upload = UploadStatus::uploading(0.5);
    state.captureError = "Capture failed";
    state.recentCaptures = {captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED"),
                            captureAt("2024-03-03T14:00:00.000Z", 754, std::nullopt, std::nullopt),
                            captureAt("2024-03-02T08:30:00.000Z", 61, " rec-2 ", "FAILED")};
    EXPECT_EQ(menu(state),
              joined({kIdentity, "---", "button Start Recording [startRecording] ^R",
                      "text Capture failed", "---", "text Uploading 50%", "---",
                      "button 4 Mar, 09:05 \u2014 1:02:05 \u2014 Uploaded [openRecording] -> "
                      "https://kavo.example/app/meetings/rec-1",
                      "text 3 Mar, 14:00 \u2014 12:34 \u2014 Not uploaded",
                      "button 2 Mar, 08:30 \u2014 1:01 \u2014 Failed [openRecording] -> "
                      "https://kavo.example/app/meetings/rec-2"},
                     kSignedInTail));
}

TEST(MenuModel, InEveryPhaseAnUpdateOfferSitsAboveQuitAndQuitIsLast) {
    for (const auto& phase :
         {SessionPhase::bootstrapping(), SessionPhase::signedOut(), SessionPhase::signingIn(),
          SessionPhase::signedIn(avery(), kContoso), SessionPhase::notEntitled(avery()),
          SessionPhase::tenantNotRegistered(avery()),
          SessionPhase::discoveryUnavailable(avery(), "Discovery failed")}) {
        MenuState state;
        state.phase = phase;
        const Lines lines = menu(state);
        SCOPED_TRACE(lines.front());
        EXPECT_EQ(Lines(lines.end() - 2, lines.end()), kQuitTail);
        for (const std::string& line : lines)
            EXPECT_EQ(line.find("New Version"), std::string::npos);

        state.availableUpdate = AvailableUpdate{"2.4.0", "https://updates.kavo.example/download"};
        Lines expected = lines;
        expected.insert(expected.end() - 1,
                        "button New Version Available \u2014 Open Download Page [openDownloadPage] "
                        "-> https://updates.kavo.example/download");
        EXPECT_EQ(menu(state), expected);
    }
}

TEST(MenuModel, TheBarLabelShowsTheRunningTimeOnlyWhileRecording) {
    MenuState state = signedIn();
    state.elapsedLabel = "0:42";
    EXPECT_EQ(menuBarLabel(state), MenuBarLabel{});
    state.isRecording = true;
    EXPECT_EQ(menuBarLabel(state), (MenuBarLabel{.recording = true, .elapsed = "0:42"}));
}

}  // namespace
}  // namespace kavo
