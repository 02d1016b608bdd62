#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "capture/files/CaptureSidecar.h"

namespace kavo::testing {

// A delivered capture in `dir`: its sidecar (returned) and, unless told otherwise, a stub WAV.
inline std::filesystem::path deliveredCapture(const std::filesystem::path& dir,
                                              const std::string& captureId,
                                              std::optional<std::string> recordingId,
                                              std::string audioName = "", bool withAudio = true) {
    CaptureSidecar sidecar;
    sidecar.captureId = captureId;
    sidecar.audioFileName = audioName.empty() ? "capture-" + captureId + ".wav" : audioName;
    sidecar.startedAt = "2026-01-01T10:00:00.000Z";
    sidecar.recordingId = std::move(recordingId);
    sidecar.uploadState = "delivered";
    const auto url = dir / ("capture-" + captureId + ".json");
    sidecar.write(url);
    if (withAudio) std::ofstream(dir / sidecar.audioFileName) << "RIFF";
    return url;
}

}  // namespace kavo::testing
