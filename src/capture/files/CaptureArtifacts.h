#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kavo {

// The two files of one finished capture, as the capture controller hands them to the
// upload side.
struct CaptureArtifacts {
    std::filesystem::path audioURL;
    std::filesystem::path sidecarURL;

    // "capture-{id}.wav" and "capture-{id}.json" in `directory`.
    static CaptureArtifacts forCapture(const std::filesystem::path& directory,
                                       std::string_view captureId);

    bool operator==(const CaptureArtifacts&) const = default;
};

}  // namespace kavo
