#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kavo {

// Captures live side by side in one folder (AppPaths::capturesDirectory()), named after
// their capture id: the upper-case text of a random UUID.

// A new capture id.
std::string makeCaptureId();

// "capture-{id}.wav"
std::string captureAudioFileName(std::string_view captureId);
// "capture-{id}.json"
std::string captureSidecarFileName(std::string_view captureId);

// Creates the folder and any missing parents; nothing when it exists. Throws FileError.
void createCapturesDirectory(const std::filesystem::path& directory);

}  // namespace kavo
