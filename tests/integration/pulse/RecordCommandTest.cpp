#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "capture/files/CaptureSidecar.h"
#include "support/PulseDaemon.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

const std::filesystem::path kExecutable = KAVO_BINARY_DIR "/src/kavo-meetings";

std::vector<std::filesystem::path> capturesIn(const std::filesystem::path& folder,
                                              const std::string& extension) {
    std::vector<std::filesystem::path> found;
    if (!std::filesystem::exists(folder)) return found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == extension) found.push_back(entry.path());
    }
    return found;
}

// `kavo-meetings record` run as a user would, against the test's own audio server.
class RecordCommandTest : public ::testing::Test {
protected:
    testing::PulseDaemon daemon;
    std::filesystem::path data = daemon.home() / "data";
    std::filesystem::path captures = data / "brindle.meetings.desktop" / "Captures";
};

// A closed file: the header declares exactly the frames the sidecar counts.
void expectClosed(const std::filesystem::path& wav, const CaptureSidecar& sidecar) {
    ASSERT_TRUE(sidecar.endedAt);
    const auto bytes = testing::readBytes(wav);
    EXPECT_EQ(bytes.size() - 44, 2U * std::llround(sidecar.durationSeconds * 16000));
    EXPECT_EQ(testing::u32At(bytes, 40), bytes.size() - 44);
}

// SIGINT ends the recording early with its files closed and named; SIGUSR1 before it
// pauses and resumes, and only the time not paused is written.
TEST_F(RecordCommandTest, SIGUSR1PausesAndResumesAndSIGINTStopsEarlyWithTheFilesClosed) {
    auto recorder =
        testing::PulseDaemon::spawn({"env", "XDG_DATA_HOME=" + data.string(), kExecutable.string(),
                                     "record", "--seconds", "600"});
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(::kill(recorder.pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    ASSERT_EQ(::kill(recorder.pid(), SIGUSR1), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_EQ(::kill(recorder.pid(), SIGINT), 0);
    EXPECT_EQ(recorder.wait(), 0);

    const auto wavs = capturesIn(captures, ".wav");
    const auto sidecars = capturesIn(captures, ".json");
    ASSERT_EQ(wavs.size(), 1U);
    ASSERT_EQ(sidecars.size(), 1U);
    const auto sidecar = CaptureSidecar::read(sidecars[0]);
    expectClosed(wavs[0], sidecar);
    EXPECT_NEAR(sidecar.pausedSeconds, 2.0, 0.4);
    // 4.5 s in all, less the pause and the start-up.
    EXPECT_GT(sidecar.durationSeconds, 1.0);
    EXPECT_LT(sidecar.durationSeconds, 2.8);
}

// The captures folder on a 160 KiB tmpfs (about 4 s of audio) in a mount namespace of the
// command's own; its files are copied out before it goes.
TEST_F(RecordCommandTest, AFullDiskEndsTheRecordingWithWhatWasWrittenAndSaysSo) {
    const auto kept = daemon.home() / "kept";
    std::filesystem::create_directories(data);
    std::filesystem::create_directories(kept);
    auto speakers = daemon.play("speakers", daemon.tone(1000, 30));
    const auto result = testing::PulseDaemon::run(
        {"unshare", "-rm", "sh", "-c",
         "mount -t tmpfs -o size=160k tmpfs \"$0\" || exit 99; kept=$1; shift; \"$@\" 2>&1; "
         "status=$?; cp -a \"$0\"/. \"$kept\"/; exit $status",
         data.string(), kept.string(), "env", "XDG_DATA_HOME=" + data.string(),
         kExecutable.string(), "record", "--seconds", "30"});
    ASSERT_NE(result.status, 99) << "no tmpfs could be mounted: " << result.output;
    EXPECT_EQ(result.status, 1) << result.output;
    EXPECT_NE(result.output.find("The disk is full: the recording stopped and keeps the "),
              std::string::npos)
        << result.output;

    const auto folder = kept / "brindle.meetings.desktop" / "Captures";
    const auto wavs = capturesIn(folder, ".wav");
    const auto sidecars = capturesIn(folder, ".json");
    ASSERT_EQ(wavs.size(), 1U) << result.output;
    ASSERT_EQ(sidecars.size(), 1U) << result.output;
    const auto sidecar = CaptureSidecar::read(sidecars[0]);
    expectClosed(wavs[0], sidecar);
    EXPECT_GT(sidecar.durationSeconds, 1.0);
    EXPECT_LT(sidecar.durationSeconds, 6.0);
}

TEST(RecordCommand, WithoutAnAudioServerItNamesTheCauseAndLeavesNoFiles) {
    testing::TempDir home;
    const auto data = home / "data";
    const auto result = testing::PulseDaemon::run(
        {"sh", "-c", "exec \"$@\" 2>&1", "record", "env", "HOME=" + home.path().string(),
         "XDG_RUNTIME_DIR=" + home.path().string(),
         "PULSE_SERVER=unix:" + (home / "no-server").string(), "XDG_DATA_HOME=" + data.string(),
         kExecutable.string(), "record", "--seconds", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("Could not record: No audio server is running ("),
              std::string::npos)
        << result.output;
    EXPECT_FALSE(std::filesystem::exists(data / "brindle.meetings.desktop" / "Captures") &&
                 !std::filesystem::is_empty(data / "brindle.meetings.desktop" / "Captures"));
}

}  // namespace
}  // namespace kavo
