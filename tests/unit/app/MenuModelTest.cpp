#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "app/MenuModel.h"

// Each phase's menu is checked where the tray draws it; here, the upload's line.

namespace kavo {
namespace {

TEST(MenuModel, AnyUploadStatusButIdleHasItsLine) {
    MenuState state;
    state.phase = SessionPhase::signedIn(
        AppSession{}, Tenant{"tid", "Contoso", "C", "https://kavo.example/", "eu", "active"});
    const std::pair<UploadStatus, const char*> cases[] = {
        {UploadStatus::uploading(), "Uploading"},
        {UploadStatus::uploading(0.424), "Uploading 42%"},
        {UploadStatus::processing("rec-1"), "Uploaded"},
        {UploadStatus::delivered("rec-1"), "Uploaded"},
        {UploadStatus::retrying("Network is down"), "Network is down (auto-retrying)"},
        {UploadStatus::failed("Upload failed: 403"), "Upload failed: 403"},
    };
    const std::size_t idleRows = menuItems(state).size();
    for (const auto& [status, text] : cases) {
        state.upload = status;
        const auto items = menuItems(state);
        EXPECT_NE(std::find(items.begin(), items.end(), MenuItem::text(text)), items.end()) << text;
        EXPECT_EQ(items.size(), idleRows + 2) << "a divider and the line";
    }
}

}  // namespace
}  // namespace kavo
