#include "capture/files/CapturesDirectory.h"

#include <fmt/format.h>

#include "base/AtomicFile.h"
#include "base/Uuid.h"

namespace kavo {

std::string makeCaptureId() {
    return makeUuid();
}

std::string captureAudioFileName(std::string_view captureId) {
    return fmt::format("capture-{}.wav", captureId);
}

std::string captureSidecarFileName(std::string_view captureId) {
    return fmt::format("capture-{}.json", captureId);
}

void createCapturesDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (!error && !std::filesystem::is_directory(directory, error) && !error) {
        error = std::make_error_code(std::errc::not_a_directory);
    }
    if (error)
        throw FileError(
            fmt::format("Could not create {}: {}", directory.string(), error.message()));
}

}  // namespace kavo
