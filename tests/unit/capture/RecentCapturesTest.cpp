#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

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

using testing::TempDir;

WallTime at(std::string_view timestamp) { return *SidecarTimestamp::parse(timestamp); }

CaptureSidecar sidecarFor(std::string id, std::string startedAt) {
    CaptureSidecar sidecar;
    sidecar.audioFileName = captureAudioFileName(id);
    sidecar.captureId = std::move(id);
    sidecar.startedAt = std::move(startedAt);
    sidecar.durationSeconds = 61;
    return sidecar;
}

void writeText(const std::filesystem::path& url, std::string_view text) {
    std::ofstream(url, std::ios::binary) << text;
}

std::vector<std::string> idsOf(const std::vector<RecentCapture>& captures) {
    std::vector<std::string> ids;
    for (const auto& capture : captures) {
        ids.push_back(capture.captureId);
    }
    return ids;
}

class RecentCaptureStoreTest : public ::testing::Test {
protected:
    void add(const CaptureSidecar& sidecar) {
        sidecar.write(dir / captureSidecarFileName(sidecar.captureId));
    }

    TempDir dir;
    RecentCaptureStore store{dir.path()};
};

TEST(ElapsedTimeText, MinutesBelowAnHourHoursFromAnHourOn) {
    EXPECT_EQ(elapsedTimeText(0), "0:00");
    EXPECT_EQ(elapsedTimeText(5), "0:05");
    EXPECT_EQ(elapsedTimeText(59.999), "0:59");
    EXPECT_EQ(elapsedTimeText(754), "12:34");
    EXPECT_EQ(elapsedTimeText(3599.9), "59:59");
    EXPECT_EQ(elapsedTimeText(3600), "1:00:00");
    EXPECT_EQ(elapsedTimeText(3725), "1:02:05");
    EXPECT_EQ(elapsedTimeText(36'000 * 3 + 61), "30:01:01");
    EXPECT_EQ(elapsedTimeText(-12), "0:00");
    EXPECT_EQ(elapsedTimeText(std::nan("")), "0:00");
}

TEST_F(RecentCaptureStoreTest, NewestFirstUpToTheLimit) {
    add(sidecarFor("B", "2024-03-02T10:00:00.000Z"));
    add(sidecarFor("D", "2024-03-04T10:00:00.000Z"));
    add(sidecarFor("A", "2024-03-01T10:00:00.000Z"));
    add(sidecarFor("C", "2024-03-03T10:00:00.000Z"));

    EXPECT_EQ(idsOf(store.recent(3)), (std::vector<std::string>{"D", "C", "B"}));
    EXPECT_EQ(idsOf(store.recent(10)), (std::vector<std::string>{"D", "C", "B", "A"}));
    EXPECT_TRUE(store.recent(0).empty());
    EXPECT_TRUE(store.recent(-1).empty());
    EXPECT_EQ(store.sidecarFiles().size(), 4U);
}

TEST_F(RecentCaptureStoreTest, ExcludedCapturesAreLeftOutEvenWhenNewest) {
    add(sidecarFor("OLD", "2024-03-01T10:00:00.000Z"));
    add(sidecarFor("MID", "2024-03-02T10:00:00.000Z"));
    add(sidecarFor("NEW", "2024-03-03T10:00:00.000Z"));

    EXPECT_EQ(idsOf(store.recent(3, {"NEW"})), (std::vector<std::string>{"MID", "OLD"}));
    EXPECT_EQ(idsOf(store.recent(1, {"NEW", "MID"})), (std::vector<std::string>{"OLD"}));
}

TEST_F(RecentCaptureStoreTest, CarriesTheSidecarsFieldsAndDropsAnEmptyRecordingId) {
    auto uploaded = sidecarFor("UP", "2024-03-04T09:05:07.250Z");
    uploaded.durationSeconds = 3725.5;
    uploaded.recordingId = "rec-1";
    uploaded.uploadState = "DELIVERED";
    add(uploaded);
    auto empty = sidecarFor("EMPTY", "2024-03-01T09:05:07.250Z");
    empty.recordingId = "";
    add(empty);

    const auto captures = store.recent(5);
    ASSERT_EQ(captures.size(), 2U);
    EXPECT_EQ(captures[0], (RecentCapture{"UP", at("2024-03-04T09:05:07.250Z"), 3725.5, "rec-1",
                                          "DELIVERED"}));
    EXPECT_EQ(captures[1].recordingId, std::nullopt);
    EXPECT_EQ(captures[1].webURL("https://kavo.example/"), std::nullopt);
}

TEST_F(RecentCaptureStoreTest, AnUnparseableStartIsPlacedByTheFilesCreationDate) {
    // Written now, so its file date is later than any capture dated in 2024.
    add(sidecarFor("OLDER", "2024-03-01T10:00:00.000Z"));
    add(sidecarFor("UNDATED", "yesterday"));

    const auto captures = store.recent(5);
    ASSERT_EQ(idsOf(captures), (std::vector<std::string>{"UNDATED", "OLDER"}));
    const auto files = store.sidecarFiles();
    const auto undated = std::find_if(files.begin(), files.end(), [](const auto& file) {
        return file.sidecar.captureId == "UNDATED";
    });
    ASSERT_NE(undated, files.end());
    ASSERT_TRUE(undated->createdAt.has_value());
    EXPECT_EQ(captures[0].startedAt, *undated->createdAt);
}

TEST_F(RecentCaptureStoreTest, EqualStartsKeepListingOrder) {
    for (const char* id : {"P", "Q", "R", "S"}) {
        add(sidecarFor(id, "2024-03-01T10:00:00.000Z"));
    }
    std::vector<std::string> listed;
    for (const auto& file : store.sidecarFiles()) {
        listed.push_back(file.sidecar.captureId);
    }
    EXPECT_EQ(idsOf(store.recent(4)), listed);
}

TEST_F(RecentCaptureStoreTest, OnlyReadableCaptureSidecarsAreListed) {
    add(sidecarFor("GOOD", "2024-03-01T10:00:00.000Z"));
    sidecarFor("FOREIGN", "2024-03-02T10:00:00.000Z").write(dir / "staged-blocks.json");
    sidecarFor("UPPER", "2024-03-02T10:00:00.000Z").write(dir / "capture-UPPER.JSON");
    sidecarFor("HIDDEN", "2024-03-02T10:00:00.000Z").write(dir / ".capture-HIDDEN.json");
    writeText(dir / "capture-GOOD.wav", "RIFF");
    writeText(dir / "capture-BROKEN.json", "{ not json");
    std::filesystem::create_directory(dir / "capture-DIR.json");

    LogCapture log;
    const auto files = store.sidecarFiles();
    ASSERT_EQ(files.size(), 1U);
    EXPECT_EQ(files[0].url, dir / "capture-GOOD.json");
    EXPECT_EQ(files[0].sidecar.captureId, "GOOD");
    EXPECT_EQ(log.messages("RecentCaptureStore"),
              (std::vector<std::string>{"Skipping unreadable sidecar capture-BROKEN.json",
                                        "Skipping unreadable sidecar capture-DIR.json"}) );
    EXPECT_EQ(idsOf(store.recent(3)), (std::vector<std::string>{"GOOD"}));
}

TEST(RecentCaptureStore, AMissingFolderListsNothing) {
    TempDir dir;
    LogCapture log;
    const RecentCaptureStore store(dir / "absent");
    EXPECT_TRUE(store.sidecarFiles().empty());
    EXPECT_TRUE(store.recent(3).empty());
    EXPECT_TRUE(log.entries().empty());
}

TEST(RecentCapture, StatusTextFollowsTheUploadStateInAnyCase) {
    RecentCapture capture;
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {std::nullopt, "Not uploaded"}, {"", "Not uploaded"},   {"UPLOADING", "Uploading"},
        {"uploading", "Uploading"},     {"Failed", "Failed"},   {"delivered", "Uploaded"},
        {"PROCESSING", "Uploaded"},     {"FAILED ", "Uploaded"}};
    for (const auto& [state, text] : cases) {
        capture.uploadState = state;
        EXPECT_EQ(capture.statusText(), text) << state.value_or("(absent)");
    }
}

TEST(RecentCapture, WebURLAppendsMeetingsAndTheTrimmedIdToTheBasePath) {
    RecentCapture capture;
    capture.recordingId = " abc\n";
    EXPECT_EQ(capture.webURL("https://kavo.example/app/"), "https://kavo.example/app/meetings/abc");
    EXPECT_EQ(capture.webURL("https://kavo.example"), "https://kavo.example/meetings/abc");
    EXPECT_EQ(capture.webURL("https://kavo.example:8443//a//b?tab=1#top"),
              "https://kavo.example:8443/a/b/meetings/abc");
    EXPECT_EQ(capture.webURL("http://127.0.0.1:4000/?x=y"), "http://127.0.0.1:4000/meetings/abc");

    capture.recordingId = "id with space";
    EXPECT_EQ(capture.webURL("https://kavo.example/"), "https://kavo.example/meetings/id%20with%20space");
}

TEST(RecentCapture, NoWebURLWithoutAnIdOrAnAbsoluteBase) {
    RecentCapture capture;
    EXPECT_EQ(capture.webURL("https://kavo.example/"), std::nullopt);
    capture.recordingId = " \t\n ";
    EXPECT_EQ(capture.webURL("https://kavo.example/"), std::nullopt);
    capture.recordingId = "abc";
    EXPECT_EQ(capture.webURL("kavo.example/app"), std::nullopt);
    EXPECT_EQ(capture.webURL("https://"), std::nullopt);
    EXPECT_EQ(capture.webURL("1https://kavo.example"), std::nullopt);
    EXPECT_EQ(capture.webURL(""), std::nullopt);
}

TEST(RecentCapture, MenuTitleShowsLocalDateTimeLengthAndStatus) {
    // Two hours east of UTC.
    const testing::ScopedTimeZone zone("XST-2");
    RecentCapture capture{"ID", at("2024-03-04T07:05:59.900Z"), 3725.9, "r", "DELIVERED"};
    EXPECT_EQ(capture.menuTitle(), "4 Mar, 09:05 \u2014 1:02:05 \u2014 Uploaded");

    capture.startedAt = at("2024-12-31T23:30:00.000Z");
    capture.durationSeconds = 754;
    capture.uploadState = std::nullopt;
    EXPECT_EQ(capture.menuTitle(), "1 Jan, 01:30 \u2014 12:34 \u2014 Not uploaded");
}

}  // namespace
}  // namespace kavo
