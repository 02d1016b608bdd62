#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include "FakeBlobStorage.h"
#include "base/AtomicFile.h"
#include "base/Log.h"
#include "base/ManualClock.h"
#include "capture/files/SidecarTimestamp.h"
#include "net/TransportError.h"
#include "support/TempDir.h"
#include "upload/BlockBlobUploader.h"
#include "upload/Crc64.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/UrlText.h"

namespace kavo {
namespace {

using testing::FakeBlobStorage;
using Outcome = BlockBlobUploader::Outcome;
using Report = BlockBlobUploader::DeadlineReport;

constexpr std::int64_t kMiB = 1024 * 1024;
const std::string kSAS =
    "https://acct.blob.core.windows.net/recordings/"
    "rec-1.wav?sv=2021-08-06&se=2030-01-01T00%3A00%3A00Z"
    "&sr=b&sp=cw&sig=a%2Bb%2Fc%3D";

std::string patterned(std::int64_t size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    for (std::int64_t i = 0; i < size; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>((i * 31) ^ (i >> 12));
    return bytes;
}

std::filesystem::path writeFile(const testing::TempDir& dir, const std::string& bytes) {
    const auto path = dir / "capture.wav";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

BlockBlobUploaderError uploaderErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const BlockBlobUploaderError& error) {
        return error;
    }
    ADD_FAILURE() << "no BlockBlobUploaderError";
    return BlockBlobUploaderError::sasExpiryUnavailable();
}

WallTime at(const char* text) {
    return SidecarTimestamp::parse(text).value();
}

TEST(BlockBlobUploaderWire, BlockIdsAreFixedLengthBase64OfTheIndexAndTheListIsExact) {
    EXPECT_EQ(BlockBlobUploader::blockID(0), "MDAwMDAwMDA=");
    EXPECT_EQ(BlockBlobUploader::blockID(1), "MDAwMDAwMDE=");
    EXPECT_EQ(BlockBlobUploader::blockID(12), "MDAwMDAwMTI=");
    EXPECT_EQ(BlockBlobUploader::blockID(511).size(), BlockBlobUploader::blockID(0).size());
    EXPECT_EQ(BlockBlobUploader::blockListXML(3),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<BlockList>\n"
              "  <Latest>MDAwMDAwMDA=</Latest>\n"
              "  <Latest>MDAwMDAwMDE=</Latest>\n"
              "  <Latest>MDAwMDAwMDI=</Latest>\n"
              "</BlockList>");
}

TEST(BlockBlobUploaderWire, AppendsToTheSignatureQueryWithoutReencodingIt) {
    EXPECT_EQ(BlockBlobUploader::appendingQuery("comp=blocklist", kSAS),
              "https://acct.blob.core.windows.net/recordings/"
              "rec-1.wav?sv=2021-08-06&se=2030-01-01T00%3A00%3A00Z"
              "&sr=b&sp=cw&sig=a%2Bb%2Fc%3D&comp=blocklist");
    EXPECT_EQ(BlockBlobUploader::appendingQuery("comp=block&blockid=MDAwMDAwMDA%3D",
                                                "http://127.0.0.1:10000/a/c/b"),
              "http://127.0.0.1:10000/a/c/b?comp=block&blockid=MDAwMDAwMDA%3D");
    for (const std::string& bad : std::initializer_list<std::string>{
             "", "https://acct.blob/c/b c.wav?sig=1", "https://acct.blob/c/b?sig=%zz",
             "https://acct.blob/c/\xC3\xA9.wav"}) {
        const auto error =
            uploaderErrorOf([&] { BlockBlobUploader::appendingQuery("comp=blocklist", bad); });
        EXPECT_EQ(error, BlockBlobUploaderError::invalidSASURL(bad));
        EXPECT_EQ(error.description(), "Upload URL could not be parsed: " + bad);
    }
}

TEST(BlockBlobUploaderWire, ReadsTheSasExpiryInEachInternetDateTimeForm) {
    const auto expiry = at("2025-03-04T10:00:00.000Z");
    const std::string base = "https://acct.blob.core.windows.net/c/b.wav?sv=2021-08-06&";
    EXPECT_EQ(BlockBlobUploader::sasExpiry(base + "se=2025-03-04T10%3A00%3A00Z&sig=x"), expiry);
    EXPECT_EQ(BlockBlobUploader::sasExpiry(base + "se=2025-03-04T10:00:00Z"), expiry);
    EXPECT_EQ(BlockBlobUploader::sasExpiry(base + "se=2025-03-04T11%3A00%3A00%2B01%3A00"), expiry);
    EXPECT_EQ(BlockBlobUploader::sasExpiry(base + "se=2025-03-04T09:59:59.5Z"),
              expiry - std::chrono::milliseconds(500));
    // The first "se" counts.
    EXPECT_EQ(BlockBlobUploader::sasExpiry(base + "se=2025-03-04T10:00:00Z&se=garbage"), expiry);
}

TEST(BlockBlobUploaderWire, AMissingOrEmptyExpiryIsUnavailableAndAnythingElseIsUnparseable) {
    const std::string base = "https://acct.blob.core.windows.net/c/b.wav";
    for (const std::string& url :
         {base, base + "?sv=2021-08-06&sig=x", base + "?se=&sig=x", base + "?se",
          base + "?sse=2025-03-04T10:00:00Z", base + "?SE=2025-03-04T10:00:00Z",
          std::string("not a url ?se=2025-03-04T10:00:00Z")}) {
        SCOPED_TRACE(url);
        const auto error = uploaderErrorOf([&] { BlockBlobUploader::sasExpiry(url); });
        EXPECT_EQ(error, BlockBlobUploaderError::sasExpiryUnavailable());
        EXPECT_EQ(error.description(),
                  "Upload URL carries no 'se' expiry parameter, so the upload deadline cannot be "
                  "enforced.");
    }
    for (const std::string& value : std::initializer_list<std::string>{
             "tomorrow", "2025-03-04", "2025-03-04 10:00:00Z", "2025-02-30T10:00:00Z",
             "2025-03-04T24:00:00Z", "2025-03-04T10:00:00", "2025-03-04T10:00:00.Z",
             "2025-03-04T10:00:00Zjunk", "1741082400"}) {
        SCOPED_TRACE(value);
        const auto error = uploaderErrorOf([&] {
            BlockBlobUploader::sasExpiry(base +
                                         "?se=" + UrlText::percentEncodeAlphanumerics(value));
        });
        EXPECT_EQ(error, BlockBlobUploaderError::sasExpiryUnparseable(value));
        EXPECT_EQ(error.description(),
                  "Upload URL expiry '" + value + "' is not a recognised ISO 8601 timestamp.");
    }
}

TEST(BlockBlobUploaderWire, ErrorTextsNameTheFailure) {
    EXPECT_EQ(BlockBlobUploaderError::fileMissing("/x/capture-1.wav").description(),
              "Recording file is no longer on this Mac (/x/capture-1.wav).");
    EXPECT_EQ(BlockBlobUploaderError::emptyFile("/x/capture-1.wav").description(),
              "Recording file is empty (/x/capture-1.wav); there is nothing to upload.");
    EXPECT_EQ(BlockBlobUploaderError::shortRead(3, 4194304).description(),
              "Could not read block 3 (4194304 bytes) from the recording file.");
    EXPECT_EQ(BlockBlobUploaderError::http(500, "Put Blob", std::nullopt, "busy").description(),
              "Azure Put Blob failed with HTTP 500. busy");
    EXPECT_EQ(
        BlockBlobUploaderError::http(400, "Put Block List", "InvalidBlockList", "x").description(),
        "Azure Put Block List failed with HTTP 400 code=InvalidBlockList. x");
    EXPECT_NE(BlockBlobUploaderError::http(400, "Put Blob", "A", "x"),
              BlockBlobUploaderError::http(400, "Put Blob", "B", "x"));
}

struct PutBlobTest : ::testing::Test {
    FakeBlobStorage storage;
    testing::TempDir dir;
    FileStagedBlockStore store{dir / "staged-blocks.json"};
    const BlockBlobUploader uploader{storage, store};
};

TEST_F(PutBlobTest, SendsTheWholeBodyWithItsChecksumAndAcceptsOnly201) {
    const std::string body = patterned(3 * kMiB);
    uploader.putBlob(body, kSAS, "audio/wav");

    const auto requests = storage.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].method, "PUT");
    EXPECT_EQ(requests[0].url, kSAS);
    EXPECT_EQ(requests[0].timeout, std::chrono::seconds(300));
    EXPECT_EQ(requests[0].headers.get("x-ms-blob-type"), "BlockBlob");
    EXPECT_EQ(requests[0].headers.get("x-ms-blob-content-type"), "audio/wav");
    EXPECT_EQ(requests[0].headers.get("x-ms-content-crc64"), Crc64::headerValue(Crc64::of(body)));
    EXPECT_TRUE(requests[0].body == body);

    storage.respondWith([](const HTTPRequest&) { return HTTPResponse{200, {}, "OK"}; });
    const auto error = uploaderErrorOf([&] { uploader.putBlob("x", kSAS, "audio/wav"); });
    EXPECT_EQ(error, BlockBlobUploaderError::http(200, "Put Blob", std::nullopt, "OK"));
}

TEST_F(PutBlobTest, CarriesAzuresCodeRequestIdAndATrimmedBodyExcerpt) {
    const std::string longBody =
        "\n  " + std::string(390, 'x') + "\xC3\xA9\xC3\xA9" + std::string(20, 'y') + "  \n";
    storage.respondWith([&](const HTTPRequest&) {
        return HTTPResponse{
            400, {{"x-ms-error-code", "Crc64Mismatch"}, {"x-ms-request-id", "req-9"}}, longBody};
    });
    LogCapture logs;
    const auto error = uploaderErrorOf([&] { uploader.putBlob("x", kSAS, "audio/wav"); });
    const std::string excerpt =
        std::string(390, 'x') + "\xC3\xA9\xC3\xA9" + std::string(8, 'y') + "...";
    EXPECT_EQ(error, BlockBlobUploaderError::http(400, "Put Blob", "Crc64Mismatch",
                                                  "x-ms-request-id=req-9 " + excerpt));
    EXPECT_TRUE(logs.contains("BlockBlobUploader", error.description()));

    storage.respondWith([](const HTTPRequest&) {
        return HTTPResponse{503, {}, std::string("\xFF\xFE", 2)};
    });
    EXPECT_EQ(uploaderErrorOf([&] { uploader.putBlob("x", kSAS, "audio/wav"); }).description(),
              "Azure Put Blob failed with HTTP 503. ");
}

class StagedUploadTest : public ::testing::Test {
protected:
    ManualClock clock{at("2030-01-01T00:00:00.000Z") - std::chrono::hours(1)};
    FakeBlobStorage storage;
    testing::TempDir dir;
    FileStagedBlockStore store{dir / "staged-blocks.json"};

    std::vector<HTTPRequest> blockRequests() const {
        std::vector<HTTPRequest> blocks;
        for (const auto& request : storage.requests())
            if (testing::blockIndexOf(request.url) >= 0) blocks.push_back(request);
        return blocks;
    }
    std::vector<HTTPRequest> commits() const {
        std::vector<HTTPRequest> found;
        for (const auto& request : storage.requests())
            if (request.url.ends_with("&comp=blocklist")) found.push_back(request);
        return found;
    }
};

TEST_F(StagedUploadTest, CutsTheFileIntoFullBlocksAndAShortLastOneThenCommitsThemInOrder) {
    const std::string bytes = patterned(4194305);
    const auto file = writeFile(dir, bytes);
    const BlockBlobUploader uploader(storage, store, 4194304, 4, clock);
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
    const auto outcome = uploader.upload(
        file, 4194305, kSAS, "audio/wav", "rec-1", clock.now() + std::chrono::hours(1),
        [&](std::int64_t sent, std::int64_t total) { progress.emplace_back(sent, total); });
    EXPECT_EQ(outcome, Outcome::uploaded(2, 4194305));

    auto blocks = blockRequests();
    ASSERT_EQ(blocks.size(), 2U);
    std::sort(blocks.begin(), blocks.end(), [](const auto& a, const auto& b) {
        return testing::blockIndexOf(a.url) < testing::blockIndexOf(b.url);
    });
    EXPECT_EQ(blocks[0].url, kSAS + "&comp=block&blockid=MDAwMDAwMDA%3D");
    EXPECT_EQ(blocks[1].url, kSAS + "&comp=block&blockid=MDAwMDAwMDE%3D");
    EXPECT_EQ(blocks[0].body.size(), 4194304U);
    EXPECT_EQ(blocks[1].body.size(), 1U);
    EXPECT_TRUE(blocks[0].body + blocks[1].body == bytes);
    for (const auto& block : blocks) {
        EXPECT_EQ(block.method, "PUT");
        EXPECT_EQ(block.headers.get("x-ms-content-crc64"),
                  Crc64::headerValue(Crc64::of(block.body)));
        EXPECT_FALSE(block.headers.contains("x-ms-blob-type"));
    }

    const auto requests = storage.requests();
    ASSERT_EQ(commits().size(), 1U);
    EXPECT_EQ(requests.back().url, kSAS + "&comp=blocklist");
    EXPECT_EQ(requests.back().headers.get("Content-Type"), "application/xml; charset=utf-8");
    EXPECT_EQ(requests.back().headers.get("x-ms-blob-content-type"), "audio/wav");
    EXPECT_EQ(requests.back().body, BlockBlobUploader::blockListXML(2));

    ASSERT_EQ(progress.size(), 3U);
    EXPECT_EQ(progress.front(), std::make_pair(std::int64_t{0}, std::int64_t{4194305}));
    EXPECT_EQ(progress.back(), std::make_pair(std::int64_t{4194305}, std::int64_t{4194305}));
    EXPECT_TRUE(store.stagedBlocks("rec-1").empty());
}

TEST_F(StagedUploadTest, ResumesFromTheStoreSendingOnlyMissingBlocksAndStillListsAll) {
    const auto file = writeFile(dir, patterned(10 * kMiB));
    store.markStaged(0, "rec-1");
    store.markStaged(1, "rec-1");
    store.markStaged(3, "rec-1");  // beyond the block count: ignored
    store.markStaged(0, "someone-else");
    const BlockBlobUploader uploader(storage, store, 4 * kMiB, 4, clock);
    LogCapture logs;
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;
    const auto outcome = uploader.upload(
        file, 10 * kMiB, kSAS, "audio/wav", "rec-1", clock.now() + std::chrono::hours(1),
        [&](std::int64_t sent, std::int64_t total) { progress.emplace_back(sent, total); });

    EXPECT_EQ(outcome, Outcome::uploaded(3, 10 * kMiB));
    EXPECT_EQ(storage.putBlockIndexes(), std::vector<int>{2});
    EXPECT_EQ(commits().at(0).body, BlockBlobUploader::blockListXML(3));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), std::make_pair(std::int64_t{8388608}, std::int64_t{10485760}));
    EXPECT_EQ(progress.back(), std::make_pair(std::int64_t{10485760}, std::int64_t{10485760}));
    EXPECT_TRUE(
        logs.contains("BlockBlobUploader",
                      "Resuming staged upload key=rec-1: 2 of 3 blocks already staged, 1 to go"));
    EXPECT_TRUE(store.stagedBlocks("rec-1").empty());
    EXPECT_EQ(store.stagedBlocks("someone-else"), std::set<int>{0});
}

TEST_F(StagedUploadTest, AFullyStagedUploadOnlyCommitsAndAStartWithoutStoreLogsNoResume) {
    const auto file = writeFile(dir, patterned(3000));
    for (const int index : {0, 1, 2}) store.markStaged(index, "rec-1");
    const BlockBlobUploader uploader(storage, store, 1024, 4, clock);
    EXPECT_EQ(uploader.upload(file, 3000, kSAS, "audio/wav", "rec-1",
                              clock.now() - std::chrono::hours(1)),
              Outcome::uploaded(3, 3000));
    EXPECT_TRUE(blockRequests().empty());
    EXPECT_EQ(commits().size(), 1U);

    LogCapture logs;
    EXPECT_EQ(uploader.upload(file, 3000, kSAS, "audio/wav", "rec-2",
                              clock.now() + std::chrono::hours(1)),
              Outcome::uploaded(3, 3000));
    EXPECT_TRUE(logs.messages("BlockBlobUploader").empty());
}

TEST_F(StagedUploadTest, NeverHasMoreThanTheConfiguredNumberOfBlocksInFlight) {
    const auto file = writeFile(dir, patterned(20 * 1024));
    for (const int limit : {1, 4}) {
        SCOPED_TRACE(limit);
        FakeBlobStorage held;
        const BlockBlobUploader uploader(held, store, 1024, limit, clock);
        held.hold();
        auto running = std::async(std::launch::async, [&] {
            return uploader.upload(file, 20 * 1024, kSAS, "audio/wav",
                                   "rec-" + std::to_string(limit),
                                   clock.now() + std::chrono::hours(1));
        });
        held.waitForHeld(limit);
        // With the window full, nothing more may be sent until one completes.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(held.requests().size(), static_cast<std::size_t>(limit));
        held.release();
        EXPECT_EQ(running.get(), Outcome::uploaded(20, 20 * 1024));
        EXPECT_EQ(held.maxInFlight(), limit);
        auto indexes = held.putBlockIndexes();
        std::sort(indexes.begin(), indexes.end());
        ASSERT_EQ(indexes.size(), 20U);
        for (int i = 0; i < 20; ++i) EXPECT_EQ(indexes[static_cast<std::size_t>(i)], i);
    }
}

TEST_F(StagedUploadTest, AFailedBlockStopsTheUploadKeepsWhatWasStagedAndCommitsNothing) {
    const auto file = writeFile(dir, patterned(8 * 1024));
    storage.respondWith([](const HTTPRequest& request) {
        if (testing::blockIndexOf(request.url) == 7)
            return HTTPResponse{
                403,
                {{"x-ms-error-code", "AuthenticationFailed"}, {"x-ms-request-id", "7f3a"}},
                "  <Error><Code>AuthenticationFailed</Code></Error>\n"};
        return FakeBlobStorage::created();
    });
    const BlockBlobUploader uploader(storage, store, 1024, 1, clock);
    const auto error = uploaderErrorOf([&] {
        uploader.upload(file, 8 * 1024, kSAS, "audio/wav", "rec-1",
                        clock.now() + std::chrono::hours(1));
    });
    EXPECT_EQ(error.description(),
              "Azure Put Block [block 7] failed with HTTP 403 code=AuthenticationFailed. "
              "x-ms-request-id=7f3a "
              "<Error><Code>AuthenticationFailed</Code></Error>");
    EXPECT_EQ(error.azureErrorCode(), "AuthenticationFailed");
    EXPECT_TRUE(commits().empty());
    EXPECT_EQ(store.stagedBlocks("rec-1"), (std::set<int>{0, 1, 2, 3, 4, 5, 6}));
}

TEST_F(StagedUploadTest, AFailedCommitLeavesTheStagedRecordForTheNextAttempt) {
    const auto file = writeFile(dir, patterned(2048));
    storage.respondWith([](const HTTPRequest& request) {
        return request.url.ends_with("comp=blocklist") ? HTTPResponse{200, {}, {}}
                                                       : FakeBlobStorage::created();
    });
    const BlockBlobUploader uploader(storage, store, 1024, 4, clock);
    EXPECT_EQ(uploaderErrorOf([&] {
                  uploader.upload(file, 2048, kSAS, "audio/wav", "rec-1",
                                  clock.now() + std::chrono::hours(1));
              }).operation(),
              "Put Block List");
    EXPECT_EQ(store.stagedBlocks("rec-1"), (std::set<int>{0, 1}));
}

TEST_F(StagedUploadTest, ARecordThatCannotBePersistedIsLoggedAndTheUploadGoesOn) {
    struct BrokenStore final : StagedBlockStore {
        std::set<int> stagedBlocks(const std::string&) const override { return {}; }
        void markStaged(int, const std::string&) override { throw FileError("disk full"); }
        void clear(const std::string&) override {}
    } broken;
    const auto file = writeFile(dir, patterned(2048));
    const BlockBlobUploader uploader(storage, broken, 1024, 1, clock);
    LogCapture logs;
    EXPECT_EQ(uploader.upload(file, 2048, kSAS, "audio/wav", "rec-1",
                              clock.now() + std::chrono::hours(1)),
              Outcome::uploaded(2, 2048));
    EXPECT_TRUE(logs.contains(
        "BlockBlobUploader",
        "Could not persist staged block 1 for key=rec-1: disk full. A restart will re-send it."));
}

TEST_F(StagedUploadTest, AFileShorterThanClaimedIsAShortReadAndAMissingFilePropagates) {
    const auto file = writeFile(dir, patterned(5000));
    const BlockBlobUploader uploader(storage, store, 4096, 4, clock);
    const auto error = uploaderErrorOf([&] {
        uploader.upload(file, 8192, kSAS, "audio/wav", "rec-1",
                        clock.now() + std::chrono::hours(1));
    });
    EXPECT_EQ(error, BlockBlobUploaderError::shortRead(1, 4096));
    EXPECT_TRUE(commits().empty());

    EXPECT_THROW(uploader.upload(dir / "gone.wav", 8192, kSAS, "audio/wav", "rec-2",
                                 clock.now() + std::chrono::hours(1)),
                 FileError);
}

TEST_F(StagedUploadTest, RefusesToStartWithinTwoMinutesOfTheExpiryAndSendsNothing) {
    const auto file = writeFile(dir, patterned(10 * kMiB));
    const auto expiry = BlockBlobUploader::sasExpiry(
        "https://acct.blob.core.windows.net/c/b.wav?se=2025-03-04T10%3A00%3A00Z&sig=x");
    store.markStaged(0, "rec-1");
    const BlockBlobUploader uploader(storage, store, 4 * kMiB, 4, clock);

    clock.setWallTime(at("2025-03-04T09:58:00.000Z"));
    LogCapture logs;
    const auto outcome = uploader.upload(file, 10 * kMiB, kSAS, "audio/wav", "rec-1", expiry);
    const Report report{1,
                        3,
                        4 * kMiB,
                        10 * kMiB,
                        0,
                        at("2025-03-04T09:58:00.000Z"),
                        at("2025-03-04T09:58:00.000Z")};
    EXPECT_EQ(outcome, Outcome::deadlineExceeded(report));
    EXPECT_EQ(report.description(),
              "staged 1/3 blocks (4194304 of 10485760 bytes) at ~0 KB/s; projected finish overruns "
              "the SAS deadline "
              "by 0s. Nothing was committed.");
    EXPECT_TRUE(logs.contains("BlockBlobUploader",
                              "Staging refused before start: " + report.description()));
    EXPECT_TRUE(storage.requests().empty());
    EXPECT_EQ(store.stagedBlocks("rec-1"), std::set<int>{0});

    clock.setWallTime(at("2025-03-04T09:57:59.000Z"));
    EXPECT_EQ(uploader.upload(file, 10 * kMiB, kSAS, "audio/wav", "rec-1", expiry),
              Outcome::uploaded(3, 10 * kMiB));
}

TEST_F(StagedUploadTest, StopsWhenTheSmoothedThroughputProjectsAnOverrun) {
    // Ten blocks of 100 KiB; the first takes 2 s, the rest 10 s each. Smoothed, the
    // projection first crosses the deadline (50 s after the start) on the fourth block;
    // the raw rate would have crossed it on the second.
    const std::int64_t block = 102400;
    const auto file = writeFile(dir, patterned(10 * block));
    const WallTime start = clock.now();
    int answered = 0;
    storage.respondWith([&](const HTTPRequest&) {
        clock.advance(std::chrono::seconds(answered++ == 0 ? 2 : 10));
        return FakeBlobStorage::created();
    });
    const BlockBlobUploader uploader(storage, store, block, 1, clock);
    LogCapture logs;
    const auto outcome = uploader.upload(file, 10 * block, kSAS, "audio/wav", "rec-1",
                                         start + std::chrono::seconds(170));

    ASSERT_EQ(outcome.kind(), Outcome::Kind::deadlineExceeded);
    const auto& report = outcome.report();
    EXPECT_EQ(report.blocksStaged, 4);
    EXPECT_EQ(report.blocksTotal, 10);
    EXPECT_EQ(report.bytesStaged, 4 * block);
    EXPECT_EQ(report.bytesTotal, 10 * block);
    EXPECT_NEAR(report.observedBytesPerSecond, 21488.64, 1e-6);
    EXPECT_EQ(report.deadline, start + std::chrono::seconds(50));
    EXPECT_NEAR(std::chrono::duration<double>(report.projectedFinishAt - start).count(),
                32 + 614400 / 21488.64, 1e-3);
    EXPECT_EQ(report.description(),
              "staged 4/10 blocks (409600 of 1024000 bytes) at ~21 KB/s; projected finish overruns "
              "the SAS deadline "
              "by 11s. Nothing was committed.");
    EXPECT_TRUE(logs.contains("BlockBlobUploader", "Staging stopped on SAS deadline, key=rec-1: " +
                                                       report.description()));
    EXPECT_EQ(storage.putBlockIndexes(), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(commits().empty());
    EXPECT_EQ(store.stagedBlocks("rec-1"), (std::set<int>{0, 1, 2, 3}));
}

TEST_F(StagedUploadTest, CancellingTheCallerAbortsTheRequestsInFlight) {
    const auto file = writeFile(dir, patterned(16 * 1024));
    const BlockBlobUploader uploader(storage, store, 1024, 4, clock);
    storage.hold();
    std::stop_source caller;
    auto running = std::async(std::launch::async, [&] {
        return uploader.upload(file, 16 * 1024, kSAS, "audio/wav", "rec-1",
                               clock.now() + std::chrono::hours(1), {}, caller.get_token());
    });
    storage.waitForHeld(4);
    caller.request_stop();
    try {
        running.get();
        ADD_FAILURE() << "the upload finished despite the cancellation";
    } catch (const TransportError& error) {
        EXPECT_TRUE(error.isCancellation());
    }
    EXPECT_EQ(storage.cancelledRequests(), 4);
    EXPECT_EQ(storage.requests().size(), 4U);
    EXPECT_TRUE(store.stagedBlocks("rec-1").empty());
}

}  // namespace
}  // namespace kavo
