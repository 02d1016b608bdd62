#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

#include "StorageTestSupport.h"
#include "net/UrlText.h"
#include "support/TempDir.h"
#include "upload/BlockBlobUploader.h"
#include "upload/FileStagedBlockStore.h"

namespace kavo {
namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kFileSize = 40 * kMiB;
constexpr int kBlocks = 10;

[[noreturn]] void uploadInChild(const std::filesystem::path& file,
                                const std::filesystem::path& storeFile, const std::string& sasURL) {
    int code = 0;
    try {
        linux_platform::CurlTransport curl(testing::curlGlobal());
        // Each block is held back a little so that the kill comes while blocks are on their way.
        testing::RecordingTransport slow;
        slow.setResponder(testing::forwardingTo(curl, [](HTTPRequest& request) {
            if (request.url.find("comp=block&") != std::string::npos)
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }));
        FileStagedBlockStore store(storeFile);
        const BlockBlobUploader uploader(slow, store);
        uploader.upload(file, kFileSize, sasURL, "audio/wav", "rec-killed",
                        std::chrono::system_clock::now() + std::chrono::hours(1));
    } catch (...) {
        code = 2;
    }
    ::_exit(code);
}

TEST(ResumeAfterKill, ASecondRunAfterSigkillSendsOnlyTheMissingBlocksAndTheBlobIsIntact) {
    testing::AzuriteServer azurite;
    testing::TempDir dir;
    const auto file = dir / "capture.wav";
    const auto storeFile = dir / "Captures" / "staged-blocks.json";
    const std::string bytes = testing::recordingBytes(kFileSize);
    writeFileAtomically(file, bytes);
    {
        linux_platform::CurlTransport curl(testing::curlGlobal());
        azurite.createContainer(curl, "recordings");
    }
    const std::string sasURL = azurite.sasURL(
        "recordings", "killed.wav", std::chrono::system_clock::now() + std::chrono::hours(1));

    // The child is forked before this process starts any thread of its own.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) uploadInChild(file, storeFile, sasURL);

    FileStagedBlockStore store(storeFile);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (store.stagedBlocks("rec-killed").size() < 3 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child finished before it was killed";

    const std::set<int> survived = store.stagedBlocks("rec-killed");
    ASSERT_GE(survived.size(), 3U);
    ASSERT_LT(survived.size(), static_cast<std::size_t>(kBlocks));

    linux_platform::CurlTransport curl(testing::curlGlobal());
    testing::RecordingTransport watching;
    watching.setResponder(testing::forwardingTo(curl));
    const BlockBlobUploader uploader(watching, store);
    EXPECT_EQ(uploader.upload(file, kFileSize, sasURL, "audio/wav", "rec-killed",
                              std::chrono::system_clock::now() + std::chrono::hours(1)),
              BlockBlobUploader::Outcome::uploaded(kBlocks, kFileSize));

    std::vector<std::string> expected;
    for (int index = 0; index < kBlocks; ++index)
        if (!survived.contains(index)) expected.push_back(BlockBlobUploader::blockID(index));
    std::vector<std::string> sent;
    for (const auto& request : watching.requests())
        if (const auto url = UrlText::parse(request.url); url->queryValue("comp") == "block")
            sent.push_back(url->queryValue("blockid").value());
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, expected);
    EXPECT_TRUE(azurite.readBlob(curl, "recordings", "killed.wav") == bytes);
    EXPECT_TRUE(store.stagedBlocks("rec-killed").empty());
}

}  // namespace
}  // namespace kavo
