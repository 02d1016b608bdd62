#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/MenuModel.h"
#include "support/MenuStateBuilders.h"
#include "support/ScopedTimeZone.h"

namespace kavo {
namespace {

using testing::avery;
using testing::captureAt;

// One line per item holding everything the tray draws from it, so that a failure shows
// the whole menu readably.
std::string describe(const MenuItem& item) {
    static const char* const actions[] = {
        "signIn",      "retryDiscovery",    "startRecording", "stopRecording",
        "openRecording", "toggleAutoCapture", "reportProblem", "signOut",
        "openDownloadPage", "quit"};
    std::string line;
    switch (item.kind) {
        case MenuItem::Kind::text: line = "text "; break;
        case MenuItem::Kind::button: line = "button "; break;
        case MenuItem::Kind::toggle: line = "toggle "; break;
        case MenuItem::Kind::divider: line = "---"; break;
    }
    line += item.title;
    if (item.action) line += std::string(" [") + actions[static_cast<int>(*item.action)] + "]";
    if (item.shortcut) line += std::string(" ^") + item.shortcut->key;
    if (item.link) line += " -> " + *item.link;
    if (item.kind == MenuItem::Kind::toggle) line += item.isOn ? " (on)" : " (off)";
    if (!item.enabled) line += " (disabled)";
    return line;
}

std::vector<std::string> menu(const MenuState& state) {
    std::vector<std::string> lines;
    for (const MenuItem& item : menuItems(state)) lines.push_back(describe(item));
    return lines;
}

std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Tenant contoso() {
    return Tenant{"tid-contoso", "Contoso Ltd", "CL", "https://kavo.example/app/", "eu",
                  "active"};
}

MenuState signedIn() {
    MenuState state;
    state.phase = SessionPhase::signedIn(avery(), contoso());
    return state;
}

const std::vector<std::string> quitTail = {"---", "button Quit [quit] ^Q"};
const std::vector<std::string> signedInTail = {
    "---", "toggle Record Meetings Automatically [toggleAutoCapture] (on)",
    "button Report a Problem [reportProblem]", "button Sign Out [signOut]", "---",
    "button Quit [quit] ^Q"};

struct PhaseCase {
    const char* name;
    MenuState state;
    std::vector<std::string> expected;
};

MenuState inPhase(SessionPhase phase, std::optional<std::string> signInError = std::nullopt) {
    MenuState state;
    state.phase = std::move(phase);
    state.signInError = std::move(signInError);
    // Capture, upload and recent-capture rows belong to the signed-in section only.
    state.isRecording = true;
    state.captureError = "Microphone unavailable";
    state.upload = UploadStatus::failed("Upload failed");
    return state;
}

class MenuBeforeSignIn : public ::testing::TestWithParam<PhaseCase> {};

TEST_P(MenuBeforeSignIn, ShowsThePhaseSectionThenQuit) {
    EXPECT_EQ(menu(GetParam().state), joined(GetParam().expected, quitTail));
}

INSTANTIATE_TEST_SUITE_P(
    Phases, MenuBeforeSignIn,
    ::testing::Values(
        PhaseCase{"bootstrapping", inPhase(SessionPhase::bootstrapping()),
                  {"text Signing in..."}},
        PhaseCase{"signingIn", inPhase(SessionPhase::signingIn()), {"text Signing in..."}},
        PhaseCase{"signedOut", inPhase(SessionPhase::signedOut()),
                  {"button Sign In [signIn]"}},
        PhaseCase{"signedOutAfterAFailure",
                  inPhase(SessionPhase::signedOut(), "Sign-in is unavailable: no client id"),
                  {"button Sign In [signIn]", "text Sign-in is unavailable: no client id"}},
        PhaseCase{"tenantNotRegistered", inPhase(SessionPhase::tenantNotRegistered(avery())),
                  {"text Your organisation isn't set up for Meetings yet.",
                   "text Contact your IT administrator.", "---", "button Sign Out [signOut]"}},
        PhaseCase{"notEntitled", inPhase(SessionPhase::notEntitled(avery())),
                  {"text avery.quinn@contoso.test doesn't have access to Meetings.",
                   "text Contact your IT administrator.", "---", "button Sign Out [signOut]"}},
        PhaseCase{"discoveryUnavailable",
                  inPhase(SessionPhase::discoveryUnavailable(avery(), "The server is busy.")),
                  {"text The server is busy.", "button Try Again [retryDiscovery]", "---",
                   "button Sign Out [signOut]"}}),
    [](const ::testing::TestParamInfo<PhaseCase>& param) { return std::string(param.param.name); });

TEST(SignedInMenu, IdleShowsIdentityStartRecordingAndTheStandingRows) {
    EXPECT_EQ(menu(signedIn()),
              joined({"text Contoso Ltd \u2014 avery.quinn@contoso.test", "---",
                      "button Start Recording [startRecording] ^R"},
                     signedInTail));
}

TEST(SignedInMenu, RecordingShowsTheElapsedTimeAndStopWithTheSameShortcut) {
    MenuState state = signedIn();
    state.isRecording = true;
    state.elapsedLabel = "1:02:05";
    EXPECT_EQ(menu(state),
              joined({"text Contoso Ltd \u2014 avery.quinn@contoso.test", "---",
                      "text Recording 1:02:05", "button Stop Recording [stopRecording] ^R"},
                     signedInTail));
}

TEST(SignedInMenu, TheLastCaptureErrorFollowsTheRecordingRows) {
    for (const bool recording : {false, true}) {
        SCOPED_TRACE(recording ? "recording" : "not recording");
        MenuState state = signedIn();
        state.isRecording = recording;
        state.captureError = "The microphone could not be opened.";
        const std::vector<std::string> lines = menu(state);
        const size_t errorRow = recording ? 4 : 3;
        ASSERT_GT(lines.size(), errorRow + 1);
        EXPECT_EQ(lines[errorRow - 1].rfind("button ", 0), 0u) << lines[errorRow - 1];
        EXPECT_EQ(lines[errorRow], "text The microphone could not be opened.");
        EXPECT_EQ(lines[errorRow + 1], "---");
    }
}

TEST(SignedInMenu, AutoCaptureToggleReflectsTheSwitch) {
    MenuState state = signedIn();
    state.autoCaptureEnabled = false;
    const std::vector<std::string> lines = menu(state);
    EXPECT_EQ(lines.at(lines.size() - 5),
              "toggle Record Meetings Automatically [toggleAutoCapture] (off)");
}

struct UploadCase {
    UploadStatus status;
    const char* text;
};

class SignedInUploadRow : public ::testing::TestWithParam<UploadCase> {};

TEST_P(SignedInUploadRow, AnyStatusButIdleGetsItsOwnSection) {
    MenuState state = signedIn();
    state.upload = GetParam().status;
    EXPECT_EQ(menu(state),
              joined({"text Contoso Ltd \u2014 avery.quinn@contoso.test", "---",
                      "button Start Recording [startRecording] ^R", "---",
                      std::string("text ") + GetParam().text},
                     signedInTail));
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, SignedInUploadRow,
    ::testing::Values(UploadCase{UploadStatus::preparing(), "Preparing upload"},
                    UploadCase{UploadStatus::uploading(), "Uploading"},
                    UploadCase{UploadStatus::uploading(0.424), "Uploading 42%"},
                    UploadCase{UploadStatus::finalizing(), "Finishing upload"},
                    UploadCase{UploadStatus::processing("rec-1"), "Uploaded"},
                    UploadCase{UploadStatus::delivered("rec-1"), "Uploaded"},
                    UploadCase{UploadStatus::retrying("Network is down"),
                               "Network is down (auto-retrying)"},
                    UploadCase{UploadStatus::failed("Upload failed: 403"),
                               "Upload failed: 403"}));

TEST(SignedInMenu, RecentCapturesLinkToTheirRecordingOrStayPlainText) {
    const testing::ScopedTimeZone zone("UTC0");
    MenuState state = signedIn();
    state.upload = UploadStatus::uploading(0.5);
    state.captureError = "Capture failed";
    state.recentCaptures = {
        captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED"),
        captureAt("2024-03-03T14:00:00.000Z", 754, std::nullopt, std::nullopt),
        captureAt("2024-03-02T08:30:00.000Z", 61, " rec-2 ", "FAILED")};
    EXPECT_EQ(
        menu(state),
        joined({"text Contoso Ltd \u2014 avery.quinn@contoso.test", "---",
                "button Start Recording [startRecording] ^R", "text Capture failed", "---",
                "text Uploading 50%", "---",
                "button 4 Mar, 09:05 \u2014 1:02:05 \u2014 Uploaded [openRecording] -> "
                "https://kavo.example/app/meetings/rec-1",
                "text 3 Mar, 14:00 \u2014 12:34 \u2014 Not uploaded",
                "button 2 Mar, 08:30 \u2014 1:01 \u2014 Failed [openRecording] -> "
                "https://kavo.example/app/meetings/rec-2"},
               signedInTail));
}

std::vector<SessionPhase> everyPhase() {
    return {SessionPhase::bootstrapping(),
            SessionPhase::signedOut(),
            SessionPhase::signingIn(),
            SessionPhase::signedIn(avery(), contoso()),
            SessionPhase::notEntitled(avery()),
            SessionPhase::tenantNotRegistered(avery()),
            SessionPhase::discoveryUnavailable(avery(), "Discovery failed")};
}

class MenuTail : public ::testing::TestWithParam<SessionPhase> {};

TEST_P(MenuTail, UpdateOfferSitsAboveQuitAndQuitIsAlwaysLast) {
    MenuState state;
    state.phase = GetParam();
    state.recentCaptures = {captureAt("2024-03-04T09:05:00.000Z", 3725, "rec-1", "DELIVERED")};

    std::vector<std::string> lines = menu(state);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "button Quit [quit] ^Q");
    EXPECT_EQ(lines[lines.size() - 2], "---");
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("New Version"), std::string::npos) << line;
    }

    state.availableUpdate = AvailableUpdate{"2.4.0", "https://updates.kavo.example/download"};
    const std::vector<std::string> offered = menu(state);
    ASSERT_EQ(offered.size(), lines.size() + 1);
    EXPECT_EQ(offered.back(), "button Quit [quit] ^Q");
    EXPECT_EQ(offered[offered.size() - 2],
              "button New Version Available \u2014 Open Download Page [openDownloadPage] -> "
              "https://updates.kavo.example/download");
    EXPECT_EQ(offered[offered.size() - 3], "---");
    EXPECT_EQ(std::vector<std::string>(offered.begin(), offered.end() - 2),
              std::vector<std::string>(lines.begin(), lines.end() - 1));

    for (const MenuItem& item : menuItems(state)) {
        EXPECT_TRUE(item.enabled) << describe(item);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, MenuTail, ::testing::ValuesIn(everyPhase()));

TEST(MenuBarLabel, ShowsTheRunningTimeOnlyWhileRecording) {
    MenuState state = signedIn();
    state.elapsedLabel = "0:42";
    EXPECT_EQ(menuBarLabel(state), (MenuBarLabel{false, std::nullopt}));
    state.isRecording = true;
    EXPECT_EQ(menuBarLabel(state), (MenuBarLabel{true, "0:42"}));
}

TEST(SessionPhase, PhasesCompareByKindAndPayload) {
    EXPECT_EQ(SessionPhase::signedIn(avery(), contoso()),
              SessionPhase::signedIn(avery(), contoso()));
    Tenant renamed = contoso();
    renamed.clientName = "Contoso Group";
    EXPECT_NE(SessionPhase::signedIn(avery(), contoso()),
              SessionPhase::signedIn(avery(), renamed));
    EXPECT_NE(SessionPhase::notEntitled(avery()), SessionPhase::tenantNotRegistered(avery()));
    EXPECT_NE(SessionPhase::discoveryUnavailable(avery(), "a"),
              SessionPhase::discoveryUnavailable(avery(), "b"));
    EXPECT_NE(SessionPhase::bootstrapping(), SessionPhase::signingIn());
}

}  // namespace
}  // namespace kavo
