// A recording whose application is killed outright, as a crash or a power cut leaves it:
// the next launch repairs the audio it left, and that audio reaches the server intact.
#include <gtest/gtest.h>

#include "AppHarness.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavHeader.h"
#include "capture/files/WavWriter.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/PulseDaemon.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

std::uint32_t field32(const std::string& wav, long offset) {
    return wav::readLittleEndian32(reinterpret_cast<const std::uint8_t*>(wav.data()) + offset);
}

TEST(CrashSafety, AKilledRecordingIsRepairedAtTheNextLaunchAndUploadedAsRepaired) {
    testing::PulseDaemon daemon;
    linux_platform::CurlGlobal curl;
    const auto transport = std::make_shared<linux_platform::CurlTransport>(curl);
    testing::DevStack stack(transport);
    stack.adminPatch("/settings", {{"identity", {{"deviceCode", {{"intervalSeconds", 1}}}}},
                                   {"api", {{"deliverAfterReads", 0}}}});
    const e2e::AppHome home(stack.endpoints().dump());
    const auto captures = home.capturesDirectory();
    const auto signIn = home.run({"sign-in", "--device-code"});
    ASSERT_EQ(signIn.status, 0) << signIn.out << signIn.err;

    std::string firstLog;
    {
        // The call: a fake Zoom holds the microphone while a tone is spoken into it.
        e2e::AppProcess tray = home.start("tray", {"tray", "--print-menu"});
        ASSERT_TRUE(e2e::waitUntil([&] { return tray.menuShows("Start Recording"); }, 30s))
            << tray.out() << tray.err();
        const auto voice = daemon.play("micsrc", daemon.tone(440, 40));
        const auto zoom = testing::PulseDaemon::spawn(
            {"parec", "--device=mic", "--property=application.process.binary=zoom",
             "--property=application.name=ZOOM VoiceEngine"});
        ASSERT_TRUE(e2e::waitUntil([&] { return tray.menuShows("Stop Recording"); }, 20s))
            << tray.out() << tray.err();
        // 8 s in, past the first sync point at 5.12 s, the application dies without a word.
        std::this_thread::sleep_for(8s);
        tray.signal(SIGKILL);
        ASSERT_EQ(tray.wait(10s), 128 + SIGKILL);
        firstLog = tray.err();
    }  // The call ends too, so the next launch has nothing to record.

    const auto wavs = e2e::capturesIn(captures, ".wav");
    const auto sidecars = e2e::capturesIn(captures, ".json");
    ASSERT_EQ(wavs.size(), 1u) << firstLog;
    ASSERT_EQ(sidecars.size(), 1u) << firstLog;
    const std::string crashed = e2e::readBytes(wavs[0]);
    ASSERT_GE(crashed.size(), 44u + WavWriter::kSyncIntervalBytes) << "synced audio is missing";
    EXPECT_EQ(field32(crashed, wav::kRiffSizeOffset), 0u) << "a killed capture closed its header";

    // The next launch repairs the capture and delivers it by itself.
    {
        e2e::AppProcess relaunch = home.start("relaunch", {"tray", "--print-menu"});
        ASSERT_TRUE(e2e::waitUntil([&] { return relaunch.menuShows("\u2014 Uploaded"); }, 60s))
            << relaunch.out() << relaunch.err();
        relaunch.signal(SIGTERM);
        EXPECT_EQ(relaunch.wait(20s), 0) << relaunch.err();
        EXPECT_EQ(e2e::capturesIn(captures, ".wav").size(), 1u) << "the relaunch recorded again";
    }

    const std::string repaired = e2e::readBytes(wavs[0]);
    EXPECT_EQ(field32(repaired, wav::kRiffSizeOffset), repaired.size() - 8);
    EXPECT_EQ(field32(repaired, wav::kDataSizeOffset), repaired.size() - 44);
    EXPECT_EQ(repaired.compare(44, std::string::npos, crashed, 44, repaired.size() - 44), 0);
    const auto samples = e2e::samplesOf(repaired);
    const double seconds = static_cast<double>(samples.size()) / 16'000;
    EXPECT_GT(e2e::toneIn(samples, 440, 1.0, seconds), 0.1) << "the microphone's tone is missing";

    // The sidecar, last written when the recording started, now gives the audio's length.
    const auto sidecar = CaptureSidecar::read(sidecars[0]);
    EXPECT_NEAR(sidecar.durationSeconds, seconds, 0.01);

    ASSERT_TRUE(sidecar.recordingId);
    HTTPRequest request;
    request.url = stack.adminURL() + "/recordings/" + *sidecar.recordingId + "/blob";
    EXPECT_TRUE(transport->data(request).body == repaired) << "the server's copy differs";
}

}  // namespace
}  // namespace kavo
