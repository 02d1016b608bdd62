#include "capture/files/CaptureArtifacts.h"

#include "capture/files/CapturesDirectory.h"

namespace kavo {

CaptureArtifacts CaptureArtifacts::forCapture(const std::filesystem::path& directory,
                                              std::string_view captureId) {
    return {directory / captureAudioFileName(captureId),
            directory / captureSidecarFileName(captureId)};
}

}  // namespace kavo
