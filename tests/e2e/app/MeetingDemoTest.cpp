// The README's main job, run as a person runs it: scripts/demo.sh with the built
// application, a private audio server, the dev stack and a scripted call.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "AppHarness.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/SidecarTimestamp.h"

namespace kavo {
namespace {

// Root mean square of the 16-bit samples between two offsets in seconds.
double rms(const std::vector<std::int16_t>& samples, double from, double to) {
    const auto first = static_cast<std::size_t>(std::max(0.0, from) * 16'000);
    const auto last =
        std::min(samples.size(), static_cast<std::size_t>(std::max(0.0, to) * 16'000));
    if (last <= first) return 0;
    double sum = 0;
    for (std::size_t i = first; i < last; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return std::sqrt(sum / static_cast<double>(last - first));
}

TEST(MeetingDemo, AMeetingIsRecordedByItselfUploadedAndListedAsUploaded) {
    testing::TempDir out;
    const std::string command = fmt::format(
        "'{}/scripts/demo.sh' --binary '{}/src/kavo-meetings' --out '{}' > '{}' 2>&1",
        KAVO_SOURCE_DIR, KAVO_BINARY_DIR, out.path().string(), (out.path() / "demo.log").string());
    ASSERT_EQ(std::system(command.c_str()), 0) << e2e::readBytes(out.path() / "demo.log");

    const auto wavs = e2e::capturesIn(out.path(), ".wav");
    const auto sidecars = e2e::capturesIn(out.path(), ".json");
    ASSERT_TRUE(wavs.size() == 1 && sidecars.size() == 1);
    const auto sidecar = CaptureSidecar::read(sidecars[0]);
    EXPECT_EQ(sidecar.uploadState, "DELIVERED");
    const std::string wav = e2e::readBytes(wavs[0]);
    EXPECT_TRUE(e2e::readBytes(out.path() / "server-copy.wav") == wav)
        << "the server's copy differs from the recording";
    const auto samples = e2e::samplesOf(wav);

    // Each voice is loud where the timeline puts it, against the quiet after the call.
    const auto timeline = nlohmann::json::parse(e2e::readBytes(out.path() / "timeline.json"));
    const double start = std::chrono::duration<double>(
                             SidecarTimestamp::parse(sidecar.startedAt)->time_since_epoch())
                             .count();
    const auto loudness = [&](const char* voice) {
        const double from = timeline.at(voice).at("start").get<double>() - start;
        const double to = timeline.at(voice).at("end").get<double>() - start;
        return rms(samples, from + 0.3, to - 0.3);
    };
    const double farEnd = timeline.at("far").at("end").get<double>() - start;
    const double quiet = rms(samples, farEnd + 3, farEnd + 15);
    EXPECT_GT(loudness("near"), 300) << "the microphone's voice is missing";
    EXPECT_GT(loudness("far"), 300) << "the far side's voice is missing";
    EXPECT_LT(quiet, 50);

    const std::string menu = e2e::readBytes(out.path() / "menu.txt");
    EXPECT_NE(menu.find(" \u2014 Uploaded]  http"), std::string::npos) << menu;
}

}  // namespace
}  // namespace kavo
