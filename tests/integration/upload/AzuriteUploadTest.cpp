#include <gtest/gtest.h>

#include <cstring>

#include "StorageTestSupport.h"
#include "net/UrlText.h"
#include "support/TempDir.h"
#include "upload/BlockBlobUploader.h"
#include "upload/FileStagedBlockStore.h"
#include "upload/UploadCoordinator.h"

namespace kavo {
namespace {

using testing::AzuriteServer;
using Kind = UploadCoordinator::AttemptResult::Kind;

constexpr std::int64_t kMiB = 1024 * 1024;

class AzuriteUpload : public ::testing::Test {
protected:
    void SetUp() override {
        azurite.createContainer(curl, "recordings");
        watching.setResponder(testing::forwardingTo(curl));
    }

    std::string sas(const std::string& blob,
                    std::chrono::minutes validFor = std::chrono::minutes(60)) const {
        return azurite.sasURL("recordings", blob, std::chrono::system_clock::now() + validFor);
    }

    linux_platform::CurlTransport curl{testing::curlGlobal()};
    testing::RecordingTransport watching;
    AzuriteServer azurite;
    testing::TempDir dir;
    FileStagedBlockStore store{dir / "Captures" / "staged-blocks.json"};
    BlockBlobUploader uploader{watching, store};
};

TEST_F(AzuriteUpload, AThreeMebibyteFileGoesUpInOnePutBlob) {
    const std::string bytes = testing::recordingBytes(3 * kMiB);
    uploader.putBlob(bytes, sas("short.wav"), "audio/wav");
    EXPECT_TRUE(azurite.readBlob(curl, "recordings", "short.wav") == bytes);
}

// Whole uploads in blocks are read back after a kill, over a poor link and end to end.
TEST_F(AzuriteUpload, ABlockCorruptedAfterItsChecksumIsRefusedAsCrc64MismatchAndRetried) {
    const std::string bytes = testing::recordingBytes(9 * kMiB);
    const auto file = dir / "capture.wav";
    writeFileAtomically(file, bytes);
    const std::string blockTwo =
        "blockid=" + UrlText::percentEncodeAlphanumerics(BlockBlobUploader::blockID(2));
    watching.setResponder(testing::forwardingTo(curl, [&](HTTPRequest& request) {
        if (request.url.find(blockTwo) != std::string::npos) request.body[12345] ^= 0x40;
    }));

    try {
        uploader.upload(file, 9 * kMiB, sas("corrupt.wav"), "audio/wav", "rec-crc",
                        std::chrono::system_clock::now() + std::chrono::hours(1));
        FAIL() << "Azurite accepted a corrupted block";
    } catch (const BlockBlobUploaderError& error) {
        EXPECT_EQ(error.azureErrorCode(), "Crc64Mismatch");
        EXPECT_EQ(UploadCoordinator::classify(std::current_exception(), "").kind, Kind::transient);
    }
    EXPECT_FALSE(store.stagedBlocks("rec-crc").contains(2));
    EXPECT_THROW(azurite.readBlob(curl, "recordings", "corrupt.wav"), std::runtime_error);
}

TEST_F(AzuriteUpload, AnExpiredSignatureIsRefusedWith403AndNotRetried) {
    const std::string expired = azurite.sasURL(
        "recordings", "late.wav", std::chrono::system_clock::now() - std::chrono::hours(1));
    try {
        uploader.putBlob(testing::recordingBytes(64 * 1024), expired, "audio/wav");
        FAIL() << "Azurite accepted an expired signature";
    } catch (const BlockBlobUploaderError& error) {
        EXPECT_EQ(error.azureErrorCode(), "AuthorizationFailure");
        EXPECT_EQ(UploadCoordinator::classify(std::current_exception(), "").kind, Kind::permanent);
    }
}

}  // namespace
}  // namespace kavo
