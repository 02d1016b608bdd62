#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "app/MenuModel.h"

// What the menu holds in each phase is drawn and checked in tests/unit/shell/TrayMenuTest.cpp;
// here the upload's line and the tray's label.

namespace kavo {
namespace {

TEST(MenuModel, AnyUploadStatusButIdleHasItsLine) {
    MenuState state;
    state.phase = SessionPhase::signedIn(
        AppSession{}, Tenant{"tid", "Contoso", "C", "https://kavo.example/", "eu", "active"});
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
    const auto rows = [&] { return menuItems(state).size(); };
    const std::size_t idleRows = rows();
    for (const auto& [status, text] : cases) {
        state.upload = status;
        const auto items = menuItems(state);
        EXPECT_NE(std::find(items.begin(), items.end(), MenuItem::text(text)), items.end()) << text;
        EXPECT_EQ(items.size(), idleRows + 2) << "a divider and the line";
    }
}

TEST(MenuModel, TheTrayLabelShowsTheRunningTimeAndWhatTheRecordingLacks) {
    MenuState state;
    state.elapsedLabel = "4:10";
    EXPECT_EQ(menuBarLabel(state), MenuBarLabel{});
    EXPECT_EQ(menuBarLabel(state).toolTip(), "Kavo Meetings");
    state.isRecording = true;
    EXPECT_EQ(menuBarLabel(state),
              (MenuBarLabel{.recording = true, .paused = false, .elapsed = "4:10", .warning = {}}));
    const std::pair<CaptureCondition, std::string> cases[] = {
        {{}, "Recording 4:10"},
        {{.paused = true, .noMicrophone = false, .silentSide = {}}, "Paused 4:10"},
        {{.paused = false, .noMicrophone = false, .silentSide = CaptureSide::microphone},
         std::string("Recording 4:10\n") + kSilentMicrophoneText},
        {{.paused = false, .noMicrophone = true, .silentSide = CaptureSide::microphone},
         std::string("Recording 4:10\n") + kNoMicrophoneText},
    };
    for (const auto& [condition, toolTip] : cases) {
        state.condition = condition;
        EXPECT_EQ(menuBarLabel(state).toolTip(), toolTip);
    }
}

}  // namespace
}  // namespace kavo
