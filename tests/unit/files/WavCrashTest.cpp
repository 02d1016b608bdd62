#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include "capture/files/WavRepair.h"
#include "capture/files/WavWriter.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

// What the child reports after each append: the audio it has written and whether that
// append ended with a sync to disk.
struct Progress {
    std::int64_t audioBytes;
    std::int64_t syncs;
};

constexpr std::int64_t kTickFrames = 1'600;
// Three syncs (every 52 ticks of 3 200 bytes) and seven ticks that were never synced.
constexpr std::int64_t kTicks = 3 * 52 + 7;

// The child records like a capture does, one mixer tick at a time, then waits to be
// killed with its writer still open.
[[noreturn]] void recordUntilKilled(const std::filesystem::path& file, int report) {
    try {
        WavWriter writer(file, 16'000, 1, 16);
        Progress progress{0, 0};
        for (std::int64_t tick = 0; tick < kTicks; ++tick) {
            const auto block = testing::samples(tick * kTickFrames, kTickFrames);
            writer.append(block.data(), kTickFrames);
            progress.audioBytes = writer.audioBytesWritten();
            if (writer.bytesSinceSync() == 0) ++progress.syncs;
            if (::write(report, &progress, sizeof progress) != sizeof progress) ::_exit(4);
        }
        for (;;) ::pause();
    } catch (...) {
        ::_exit(2);
    }
}

// Kills the child on every way out of the test, so a failed assertion leaves no
// recorder behind.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : pid_(pid) {}
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
    ~ChildGuard() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    // Kills it now; returns its wait status.
    int kill() {
        int status = 0;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }

private:
    pid_t pid_;
};

bool readProgress(int fd, Progress& progress) {
    return ::read(fd, &progress, sizeof progress) == static_cast<ssize_t>(sizeof progress);
}

TEST(WavCrash, ACaptureKilledMidRecordingIsRepairedWithEverythingItWrote) {
    testing::TempDir dir;
    const std::string id = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
    const auto file = dir / ("capture-" + id + ".wav");
    testing::sidecarAtStart(id, "2026-03-02T09:15:00.000Z")
        .write(dir / ("capture-" + id + ".json"));
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        recordUntilKilled(file, channel[1]);
    }
    ::close(channel[1]);
    ChildGuard recorder(child);

    Progress progress{0, 0};
    Progress atLastSync{0, 0};
    std::int64_t ticks = 0;
    while (ticks < kTicks && readProgress(channel[0], progress)) {
        ++ticks;
        if (progress.syncs > atLastSync.syncs) atLastSync = progress;
    }
    ::close(channel[0]);
    ASSERT_EQ(ticks, kTicks) << "the recording child stopped on its own";
    ASSERT_EQ(atLastSync.syncs, 3);
    ASSERT_EQ(atLastSync.audioBytes, 3 * 52 * 2 * kTickFrames);

    // While the writer is open, the repair keeps its hands off the file.
    EXPECT_EQ(repairWavFile(file), WavRepairResult::inUse());

    const int status = recorder.kill();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    EXPECT_EQ(testing::readBytes(file).substr(0, 44), testing::openCaptureHeader());

    EXPECT_EQ(repairIncompleteCaptures(dir.path()), std::vector<std::filesystem::path>{file});

    // The synced audio is there, and so are the unsynced ticks: a killed process loses
    // nothing the kernel had accepted.
    const std::string after = testing::readBytes(file);
    const std::int64_t audioBytes = kTicks * 2 * kTickFrames;
    ASSERT_EQ(static_cast<std::int64_t>(after.size()), 44 + audioBytes);
    EXPECT_GT(audioBytes, atLastSync.audioBytes);
    EXPECT_EQ(after.substr(0, 4), "RIFF");
    EXPECT_EQ(testing::u32At(after, 4), static_cast<std::uint32_t>(audioBytes + 36));
    EXPECT_EQ(after.substr(8, 32), testing::openCaptureHeader().substr(8, 32));
    EXPECT_EQ(testing::u32At(after, 40), static_cast<std::uint32_t>(audioBytes));
    EXPECT_TRUE(after.substr(44) == testing::sampleBytes(0, audioBytes / 2))
        << "the repaired samples differ from what the child recorded";
    EXPECT_EQ(repairWavFile(file), WavRepairResult::alreadyValid());
}

}  // namespace
}  // namespace kavo
