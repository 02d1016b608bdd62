#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include "FakeBlobStorage.h"
#include "base/AtomicFile.h"
#include "capture/files/SidecarTimestamp.h"
#include "net/TransportError.h"
#include "support/ManualClock.h"
#include "support/TempDir.h"
#include "upload/BlockBlobUploader.h"
#include "upload/FileStagedBlockStore.h"

// Whole uploads run against Azurite; here what a real storage cannot be made to do.

namespace kavo {
namespace {

using testing::FakeBlobStorage;
using Outcome = BlockBlobUploader::Outcome;

const std::string kSAS =
    "https://acct.blob.core.windows.net/recordings/rec-1.wav?sv=2021-08-06&"
    "se=2030-01-01T00%3A00%3A00Z&sr=b&sp=cw&sig=a%2Bb%2Fc%3D";

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

// Ids keep one length however many blocks there are; the link's expiry is read in each form.
TEST(BlockBlobUploaderWire, BlockIdsLinksAndTheirExpiryAreReadOrRefused) {
    EXPECT_EQ(BlockBlobUploader::blockID(511).size(), BlockBlobUploader::blockID(0).size());
    for (const std::string& bad :
         std::initializer_list<std::string>{"", "https://a.blob/c/b c.wav?sig=1"}) {
        EXPECT_EQ(
            uploaderErrorOf([&] { BlockBlobUploader::appendingQuery("comp=blocklist", bad); }),
            BlockBlobUploaderError::invalidSASURL(bad));
    }
    const auto expiry = at("2025-03-04T10:00:00.000Z");
    const std::string base = "https://acct.blob.core.windows.net/c/b.wav";
    for (const char* query :
         {"?se=2025-03-04T10%3A00%3A00Z&sig=x", "?sv=1&se=2025-03-04T10:00:00Z",
          "?se=2025-03-04T11%3A00%3A00%2B01%3A00", "?se=2025-03-04T10:00:00Z&se=garbage"})
        EXPECT_EQ(BlockBlobUploader::sasExpiry(base + query), expiry) << query;

    for (const std::string& url : {base, base + "?se=&sig=x", base + "?sse=2025-03-04T10:00:00Z"})
        EXPECT_EQ(uploaderErrorOf([&] { BlockBlobUploader::sasExpiry(url); }),
                  BlockBlobUploaderError::sasExpiryUnavailable())
            << url;
    // A time without its zone is refused, not read as local time.
    EXPECT_THROW(BlockBlobUploader::sasExpiry(base + "?se=2025-03-04T10:00:00"),
                 BlockBlobUploaderError);
}

class StagedUploadTest : public ::testing::Test {
protected:
    ManualClock clock{at("2030-01-01T00:00:00.000Z") - std::chrono::hours(1)};
    FakeBlobStorage storage;
    testing::TempDir dir;
    FileStagedBlockStore store{dir / "staged-blocks.json"};

    std::filesystem::path file(std::int64_t size) {
        const auto path = dir / "capture.wav";
        std::ofstream(path, std::ios::binary) << std::string(static_cast<std::size_t>(size), 'a');
        return path;
    }
    Outcome upload(const BlockBlobUploader& uploader, std::int64_t size, std::string key = "rec-1",
                   std::chrono::seconds validFor = std::chrono::hours(1)) {
        return uploader.upload(file(size), size, kSAS, "audio/wav", key, clock.now() + validFor);
    }
    std::size_t commits() const {
        std::size_t found = 0;
        for (const auto& request : storage.requests())
            found += request.url.ends_with("&comp=blocklist") ? 1 : 0;
        return found;
    }
};

TEST_F(StagedUploadTest, NeverHasMoreThanTheConfiguredNumberOfBlocksInFlight) {
    const BlockBlobUploader uploader(storage, store, 1024, 4, clock);
    storage.hold();
    auto running = std::async(std::launch::async, [&] { return upload(uploader, 20 * 1024); });
    storage.waitForHeld(4);
    // With the window full, nothing more may be sent until one completes.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(storage.requests().size(), 4U);
    storage.release();
    EXPECT_EQ(running.get(), Outcome::uploaded(20, 20 * 1024));
    EXPECT_EQ(storage.maxInFlight(), 4);
}

TEST_F(StagedUploadTest, AFailedBlockOrCommitKeepsWhatWasStagedAndCommitsNothing) {
    storage.setResponder([](const HTTPRequest& request) {
        if (testing::blockNameOf(request.url) == "00000007")
            return HTTPResponse{
                403,
                {{"x-ms-error-code", "AuthenticationFailed"}, {"x-ms-request-id", "7f3a"}},
                "  <Error><Code>AuthenticationFailed</Code></Error>\n"};
        return request.url.ends_with("comp=blocklist") ? HTTPResponse{200, {}, {}}
                                                       : FakeBlobStorage::created();
    });
    const BlockBlobUploader uploader(storage, store, 1024, 1, clock);
    const auto error = uploaderErrorOf([&] { upload(uploader, 8 * 1024); });
    EXPECT_EQ(error.description(),
              "Azure Put Block [block 7] failed with HTTP 403 code=AuthenticationFailed. "
              "x-ms-request-id=7f3a <Error><Code>AuthenticationFailed</Code></Error>");
    EXPECT_EQ(error.azureErrorCode(), "AuthenticationFailed");
    EXPECT_EQ(commits(), 0U);
    EXPECT_EQ(store.stagedBlocks("rec-1"), (std::set<int>{0, 1, 2, 3, 4, 5, 6}));

    EXPECT_EQ(uploaderErrorOf([&] { upload(uploader, 2048, "rec-2"); }).operation(),
              "Put Block List");
    EXPECT_EQ(store.stagedBlocks("rec-2"), (std::set<int>{0, 1}));
}

TEST_F(StagedUploadTest, ARecordThatCannotBePersistedDoesNotStopTheUpload) {
    struct BrokenStore final : StagedBlockStore {
        std::set<int> stagedBlocks(const std::string&) const override { return {}; }
        void markStaged(int, const std::string&) override { throw FileError("disk full"); }
        void clear(const std::string&) override {}
    } broken;
    const BlockBlobUploader uploader(storage, broken, 1024, 1, clock);
    EXPECT_EQ(upload(uploader, 2048), Outcome::uploaded(2, 2048));
}

TEST_F(StagedUploadTest, AFileShorterThanClaimedIsAShortReadAndAMissingFilePropagates) {
    const BlockBlobUploader uploader(storage, store, 4096, 4, clock);
    const auto path = file(5000);
    const auto inAnHour = clock.now() + std::chrono::hours(1);
    EXPECT_EQ(
        uploaderErrorOf([&] { uploader.upload(path, 8192, kSAS, "audio/wav", "rec-1", inAnHour); }),
        BlockBlobUploaderError::shortRead(1, 4096));
    EXPECT_EQ(commits(), 0U);
    EXPECT_THROW(uploader.upload(dir / "gone.wav", 8192, kSAS, "audio/wav", "rec-2", inAnHour),
                 FileError);
}

TEST_F(StagedUploadTest, StopsWhenTheSmoothedThroughputProjectsAnOverrun) {
    // Blocks of 2 s, then 10 s each: smoothed, the projection crosses the deadline (50 s
    // after the start) on the fourth block; the raw rate would have on the second.
    const std::int64_t block = 102400;
    const WallTime start = clock.now();
    int answered = 0;
    storage.setResponder([&](const HTTPRequest&) {
        clock.advance(std::chrono::seconds(answered++ == 0 ? 2 : 10));
        return FakeBlobStorage::created();
    });
    const BlockBlobUploader uploader(storage, store, block, 1, clock);
    const auto outcome = upload(uploader, 10 * block, "rec-1", std::chrono::seconds(170));

    ASSERT_EQ(outcome.kind(), Outcome::Kind::deadlineExceeded);
    const auto& report = outcome.report();
    EXPECT_NEAR(report.observedBytesPerSecond, 21488.64, 1e-6);
    EXPECT_EQ(report.deadline, start + std::chrono::seconds(50));
    EXPECT_NEAR(std::chrono::duration<double>(report.projectedFinishAt - start).count(),
                32 + 614400 / 21488.64, 1e-3);
    EXPECT_EQ(storage.putBlocks(),
              (std::vector<std::string>{"00000000", "00000001", "00000002", "00000003"}));
    EXPECT_EQ(commits(), 0U);
    EXPECT_EQ(store.stagedBlocks("rec-1"), (std::set<int>{0, 1, 2, 3}));
}

// Blocks lost on a link that carries only smaller ones; a block from a wrong offset shows.
class SmallerBlocksTest : public StagedUploadTest {
protected:
    static constexpr std::int64_t kBlock = 4096;
    std::string bytes;

    std::filesystem::path varied(std::int64_t size) {
        bytes.resize(static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 7 + i / 251) % 256);
        const auto path = dir / "varied.wav";
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Every Put Block carried exactly the bytes its id names.
    void expectBodiesMatchTheirIds() const {
        for (const auto& request : storage.requests()) {
            const std::string name = testing::blockNameOf(request.url);
            if (name.empty()) continue;
            const int tier = name[0] == 't' ? name[1] - '0' : 0;
            const auto index = std::stoll(tier == 0 ? name : name.substr(2));
            const std::int64_t size = kBlock >> tier;
            EXPECT_EQ(request.body, bytes.substr(static_cast<std::size_t>(index * size),
                                                 static_cast<std::size_t>(size)))
                << name;
        }
    }
};

// Halving a lost block is shown over a poor link; at the smallest size a loss fails.
TEST_F(SmallerBlocksTest, ABlockLostAtTheSmallestSizeFailsTheAttempt) {
    storage.setResponder([](const HTTPRequest& request) -> HTTPResponse {
        if (request.url.find("comp=block&") != std::string::npos)
            throw TransportError(TransportError::Kind::connectionLost, 55, "reset by peer");
        return FakeBlobStorage::created();
    });
    const BlockBlobUploader uploader(storage, store, kBlock, 1, clock);
    EXPECT_THROW(upload(uploader, 600, "rec-2"), TransportError);
    EXPECT_EQ(commits(), 0U);
}

TEST_F(SmallerBlocksTest, AResumeOverBlocksOfSeveralSizesSendsOnlyTheGapsAndListsEachByteOnce) {
    // A first run sent block 0 whole, then lost block 1 and staged two quarters of it.
    store.markStaged(0, "rec-1");
    store.markStaged(BlockBlobUploader::storeEntry(2, 4), "rec-1");
    store.markStaged(BlockBlobUploader::storeEntry(2, 5), "rec-1");
    // A half inside block 0, a quarter past the end and another key's block are not listed.
    store.markStaged(BlockBlobUploader::storeEntry(1, 0), "rec-1");
    store.markStaged(BlockBlobUploader::storeEntry(2, 40), "rec-1");
    store.markStaged(2, "someone-else");
    const BlockBlobUploader uploader(storage, store, kBlock, 4, clock);
    std::vector<std::int64_t> progress;
    const auto path = varied(10240);
    EXPECT_EQ(uploader.upload(path, 10240, kSAS, "audio/wav", "rec-1",
                              clock.now() + std::chrono::hours(1),
                              [&](std::int64_t sent, std::int64_t) { progress.push_back(sent); }),
              Outcome::uploaded(5, 10240));

    // From 6144 the largest aligned block is a half; from 8192 a whole (short) one.
    auto names = storage.putBlocks();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"00000002", "t1000003"}));
    EXPECT_EQ(storage.requests().back().body,
              BlockBlobUploader::blockListXML(
                  {BlockBlobUploader::blockID(0, 0), BlockBlobUploader::blockID(2, 4),
                   BlockBlobUploader::blockID(2, 5), BlockBlobUploader::blockID(1, 3),
                   BlockBlobUploader::blockID(0, 2)}));
    expectBodiesMatchTheirIds();
    EXPECT_EQ(progress.front(), 6144);
    EXPECT_EQ(progress.back(), 10240);
    EXPECT_EQ(store.stagedBlocks("someone-else"), std::set<int>{2});

    // With everything staged only the commit is sent, even past the deadline.
    for (const int index : {0, 1, 2}) store.markStaged(index, "rec-2");
    const auto sent = storage.requests().size();
    EXPECT_EQ(upload(uploader, 10240, "rec-2", -std::chrono::hours(1)),
              Outcome::uploaded(3, 10240));
    EXPECT_EQ(storage.requests().size(), sent + 1);
    EXPECT_EQ(commits(), 2U);
}

}  // namespace
}  // namespace kavo
