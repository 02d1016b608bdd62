#include <gtest/gtest.h>

#include "capture/files/CaptureFormat.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

std::string closedCapture(const std::string& audio) {
    const auto size = static_cast<std::uint32_t>(audio.size());
    return testing::withSizes(testing::openCaptureHeader() + audio, size + 36, size);
}

// Before anything leaves the computer: only what this program records passes, and
// everything else is named for what it is, with both files left as they were.
TEST(CaptureFormat, OnlyAFinishedCaptureOfThisProgramPasses) {
    const std::string audio = testing::sampleBytes(0, 160);
    const std::string good = closedCapture(audio);
    std::string stereo = good;
    stereo[22] = 2;
    std::string lying = good;
    lying[40] = 0x7f;  // declares 383 audio bytes instead of 320
    auto own = testing::sidecarAtStart("A", "2026-03-02T09:15:00.000Z");
    auto eightKilohertz = own;
    eightKilohertz.sampleRateHz = 8'000;
    auto otherFile = own;
    otherFile.audioFileName = "capture-B.wav";
    struct Case {
        std::string audio;  // "<folder>" for a folder, "<none>" for no file
        std::string sidecar;
        std::string error;  // what the refusal says; empty: it passes
    };
    const std::vector<Case> cases = {
        {good, own.encode(), ""},
        {"<none>", own.encode(), "The recording capture-A.wav is no longer on this computer."},
        {"Minutes of the meeting\n", own.encode(), "capture-A.wav is not a WAVE recording"},
        {stereo, own.encode(), "2-channel, 16-bit WAVE file, not a recording of this program"},
        {lying, own.encode(), "declares 383 audio bytes, but the file holds 320"},
        {closedCapture(""), own.encode(), "holds no audio"},
        {"<folder>", own.encode(), "is a folder"},
        {good, eightKilohertz.encode(), "describes 8000 Hz, 1-channel, 16-bit audio"},
        {good, otherFile.encode(), "describes capture-B.wav, not capture-A.wav"},
        {good, "[]", "cannot be used: The capture sidecar is not valid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        testing::TempDir dir;
        const auto artifacts = CaptureArtifacts::forCapture(dir.path(), "A");
        if (c.audio == "<folder>") {
            std::filesystem::create_directory(artifacts.audioURL);
        } else if (c.audio != "<none>") {
            testing::writeBytes(artifacts.audioURL, c.audio);
        }
        testing::writeBytes(artifacts.sidecarURL, c.sidecar);
        const auto before = testing::snapshot(dir.path());
        if (c.error.empty()) {
            EXPECT_NO_THROW(CaptureFormat::verify(artifacts));
        } else {
            try {
                CaptureFormat::verify(artifacts);
                ADD_FAILURE() << "passed";
            } catch (const CaptureFileError& error) {
                EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos)
                    << error.what();
            }
        }
        EXPECT_EQ(testing::snapshot(dir.path()), before);
    }
}

}  // namespace
}  // namespace kavo
