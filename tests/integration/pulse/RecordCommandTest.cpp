#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "capture/files/CaptureSidecar.h"
#include "support/PulseDaemon.h"

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
    std::vector<std::string> command(const std::string& seconds) const {
        return {
            "env",  "XDG_DATA_HOME=" + data.string(), kExecutable.string(), "record", "--seconds",
            seconds};
    }

    testing::PulseDaemon daemon;
    std::filesystem::path data = daemon.home() / "data";
    std::filesystem::path captures = data / "brindle.meetings.desktop" / "Captures";
};

TEST_F(RecordCommandTest, RecordsForTheGivenTimeAndNamesTheFilesItWrote) {
    auto speakers = daemon.play("speakers", daemon.tone(1000, 6));
    auto microphone = daemon.play("micsrc", daemon.tone(440, 6));
    const auto result = testing::PulseDaemon::run(command("3"));
    ASSERT_EQ(result.status, 0) << result.output;

    const auto wavs = capturesIn(captures, ".wav");
    const auto sidecars = capturesIn(captures, ".json");
    ASSERT_EQ(wavs.size(), 1U);
    ASSERT_EQ(sidecars.size(), 1U);
    EXPECT_NE(result.output.find("Wrote " + wavs[0].string()), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("Wrote " + sidecars[0].string()), std::string::npos)
        << result.output;
    const auto sidecar = CaptureSidecar::read(sidecars[0]);
    EXPECT_NEAR(sidecar.durationSeconds, 3.0, 0.5);
    ASSERT_TRUE(sidecar.endedAt);
    ASSERT_TRUE(sidecar.sources);
    EXPECT_EQ(sidecar.sources->size(), 2U);
    // A closed file: header plus exactly the frames the sidecar counts.
    EXPECT_EQ(
        std::filesystem::file_size(wavs[0]),
        44U + 2U * static_cast<std::uintmax_t>(std::llround(sidecar.durationSeconds * 16000)));
}

TEST_F(RecordCommandTest, AnInterruptStopsEarlyAndStillClosesTheFiles) {
    auto recorder = testing::PulseDaemon::spawn(command("600"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_EQ(::kill(recorder.pid(), SIGINT), 0);
    EXPECT_EQ(recorder.wait(), 0);

    const auto sidecars = capturesIn(captures, ".json");
    ASSERT_EQ(sidecars.size(), 1U);
    const auto sidecar = CaptureSidecar::read(sidecars[0]);
    ASSERT_TRUE(sidecar.endedAt);
    EXPECT_GT(sidecar.durationSeconds, 1.0);
    EXPECT_LT(sidecar.durationSeconds, 30.0);
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
