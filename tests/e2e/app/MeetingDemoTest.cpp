// The README's main job, run as a person runs it: scripts/demo.sh with the built
// application, a private audio server, the dev stack and a scripted call.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/AtomicFile.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/SidecarTimestamp.h"
#include "support/TempDir.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
    auto bytes = readFileIfExists(path);
    EXPECT_TRUE(bytes) << path;
    return bytes.value_or("");
}

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
    ASSERT_EQ(std::system(command.c_str()), 0) << readAll(out.path() / "demo.log");

    fs::path wavPath, sidecarPath;
    for (const auto& entry : fs::directory_iterator(out.path())) {
        if (!entry.path().filename().string().starts_with("capture-")) continue;
        if (entry.path().extension() == ".wav") wavPath = entry.path();
        if (entry.path().extension() == ".json") sidecarPath = entry.path();
    }
    ASSERT_FALSE(wavPath.empty() || sidecarPath.empty());

    const auto sidecar = CaptureSidecar::read(sidecarPath);
    EXPECT_TRUE(sidecar.endedAt);
    EXPECT_EQ(sidecar.uploadState, "DELIVERED");
    EXPECT_FALSE(sidecar.recordingId.value_or("").empty());

    const std::string wav = readAll(wavPath);
    EXPECT_TRUE(readAll(out.path() / "server-copy.wav") == wav)
        << "the server's copy differs from the recording";
    ASSERT_GT(wav.size(), 44u);
    std::vector<std::int16_t> samples((wav.size() - 44) / 2);
    std::memcpy(samples.data(), wav.data() + 44, samples.size() * 2);

    // Each voice is loud where the timeline puts it, against the quiet after the call.
    const auto timeline = nlohmann::json::parse(readAll(out.path() / "timeline.json"));
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

    const std::string menu = readAll(out.path() / "menu.txt");
    EXPECT_NE(menu.find("\nUploaded\n"), std::string::npos) << menu;
    EXPECT_NE(menu.find(" \u2014 Uploaded]  http"), std::string::npos) << menu;
    EXPECT_GT(fs::file_size(out.path() / "menu.png"), 1000u);
}

}  // namespace
}  // namespace kavo
