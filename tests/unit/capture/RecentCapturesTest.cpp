#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "base/Log.h"
#include "capture/ElapsedTimeText.h"
#include "capture/RecentCapture.h"
#include "capture/RecentCaptureStore.h"
#include "capture/files/CapturesDirectory.h"
#include "capture/files/SidecarTimestamp.h"
#include "support/ScopedTimeZone.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

using Ids = std::vector<std::string>;

WallTime at(std::string_view timestamp) {
    return *SidecarTimestamp::parse(timestamp);
}

class RecentCaptureStoreTest : public ::testing::Test {
protected:
    CaptureSidecar add(std::string id, std::string startedAt, std::string file = {}) {
        CaptureSidecar sidecar;
        sidecar.audioFileName = captureAudioFileName(id);
        sidecar.captureId = id;
        sidecar.startedAt = std::move(startedAt);
        sidecar.durationSeconds = 61;
        sidecar.write(dir / (file.empty() ? captureSidecarFileName(id) : file));
        return sidecar;
    }
    Ids recent(int limit, const std::set<std::string>& excluded = {}) const {
        Ids ids;
        for (const auto& capture : store.recent(limit, excluded)) ids.push_back(capture.captureId);
        return ids;
    }

    testing::TempDir dir;
    RecentCaptureStore store{dir.path()};
};

TEST_F(RecentCaptureStoreTest, NewestFirstUpToTheLimitLeavingOutExcludedOnes) {
    add("B", "2024-03-02T10:00:00.000Z");
    add("D", "2024-03-04T10:00:00.000Z");
    add("A", "2024-03-01T10:00:00.000Z");
    add("C", "2024-03-03T10:00:00.000Z");
    EXPECT_EQ(recent(3), (Ids{"D", "C", "B"}));
    EXPECT_EQ(recent(10), (Ids{"D", "C", "B", "A"}));
    EXPECT_EQ(recent(2, {"D", "B"}), (Ids{"C", "A"}));
    EXPECT_TRUE(recent(-1).empty());

    // An empty recording id is none; an unparseable start is the file's date, later than
    // any capture dated in 2024.
    auto undated = add("E", "yesterday");
    undated.recordingId = "";
    undated.write(dir / captureSidecarFileName("E"));
    const auto newest = store.recent(1).at(0);
    EXPECT_EQ(newest.captureId, "E");
    EXPECT_EQ(newest.recordingId, std::nullopt);
    for (const auto& file : store.sidecarFiles()) {
        if (file.sidecar.captureId == "E") {
            EXPECT_EQ(newest.startedAt, file.createdAt);
        }
    }

    // Equal starts keep the listing's order.
    for (const char* id : {"P", "Q", "R"}) add(id, "2024-03-01T10:00:00.000Z");
    Ids listed;
    for (const auto& file : store.sidecarFiles())
        if (file.sidecar.startedAt == "2024-03-01T10:00:00.000Z")
            listed.push_back(file.sidecar.captureId);
    EXPECT_EQ(recent(10, {"B", "C", "D", "E"}), listed);
}

TEST_F(RecentCaptureStoreTest, OnlyReadableCaptureSidecarsAreListed) {
    add("GOOD", "2024-03-01T10:00:00.000Z");
    for (const char* file : {"staged-blocks.json", "capture-UPPER.JSON", ".capture-HIDDEN.json"})
        add("OTHER", "2024-03-02T10:00:00.000Z", file);
    std::ofstream(dir / "capture-GOOD.wav") << "RIFF";
    std::ofstream(dir / "capture-BROKEN.json") << "{ not json";
    std::filesystem::create_directory(dir / "capture-DIR.json");

    LogCapture log;
    const auto files = store.sidecarFiles();
    ASSERT_EQ(files.size(), 1U);
    EXPECT_EQ(files[0].url, dir / "capture-GOOD.json");
    EXPECT_EQ(log.messages("RecentCaptureStore"),
              (std::vector<std::string>{"Skipping unreadable sidecar capture-BROKEN.json",
                                        "Skipping unreadable sidecar capture-DIR.json"}));
    EXPECT_EQ(recent(3), Ids{"GOOD"});

    // A missing folder lists nothing, quietly.
    log.clear();
    EXPECT_TRUE(RecentCaptureStore(dir / "absent").recent(3).empty());
    EXPECT_TRUE(log.entries().empty());
}

TEST(RecentCapture, ElapsedTimeTextStatusTextAndMenuTitle) {
    for (const auto& [seconds, text] :
         std::vector<std::pair<double, const char*>>{{59.999, "0:59"},
                                                     {3599.9, "59:59"},
                                                     {36'000 * 3 + 61, "30:01:01"},
                                                     {-12, "0:00"},
                                                     {std::nan(""), "0:00"}})
        EXPECT_EQ(elapsedTimeText(seconds), text) << seconds;

    RecentCapture capture;
    for (const auto& [state, text] :
         std::vector<std::pair<std::optional<std::string>, std::string>>{
             {std::nullopt, "Not uploaded"},
             {"", "Not uploaded"},
             {"uploading", "Uploading"},
             {"Failed", "Failed"},
             {"delivered", "Uploaded"},
             {"FAILED ", "Uploaded"}}) {
        capture.uploadState = state;
        EXPECT_EQ(capture.statusText(), text) << state.value_or("(absent)");
    }

    const testing::ScopedTimeZone zone("XST-2");  // two hours east of UTC
    capture = {"ID", at("2024-03-04T07:05:59.900Z"), 3725.9, "r", "DELIVERED"};
    EXPECT_EQ(capture.menuTitle(), "4 Mar, 09:05 \u2014 1:02:05 \u2014 Uploaded");
    capture.startedAt = at("2024-12-31T23:30:00.000Z");
    capture.durationSeconds = 754;
    capture.uploadState = std::nullopt;
    EXPECT_EQ(capture.menuTitle(), "1 Jan, 01:30 \u2014 12:34 \u2014 Not uploaded");
}

TEST(RecentCapture, WebURLAppendsMeetingsAndTheTrimmedIdToAnAbsoluteBase) {
    RecentCapture capture;
    capture.recordingId = " abc\n";
    for (const auto& [base, url] : std::vector<std::pair<const char*, const char*>>{
             {"https://kavo.example/app/", "https://kavo.example/app/meetings/abc"},
             {"https://kavo.example", "https://kavo.example/meetings/abc"},
             {"https://kavo.example:8443//a//b?tab=1#top",
              "https://kavo.example:8443/a/b/meetings/abc"},
             {"http://127.0.0.1:4000/?x=y", "http://127.0.0.1:4000/meetings/abc"}}) {
        EXPECT_EQ(capture.webURL(base), url) << base;
    }
    for (const char* base : {"kavo.example/app", "https://", "1https://kavo.example", ""})
        EXPECT_EQ(capture.webURL(base), std::nullopt) << base;
    capture.recordingId = "id with space";
    EXPECT_EQ(capture.webURL("https://kavo.example/"),
              "https://kavo.example/meetings/id%20with%20space");
    for (const auto& id : {std::optional<std::string>{}, std::optional<std::string>{" \t\n "}}) {
        capture.recordingId = id;
        EXPECT_EQ(capture.webURL("https://kavo.example/"), std::nullopt);
    }
}

}  // namespace
}  // namespace kavo
