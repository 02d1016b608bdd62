#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/Error.h"
#include "capture/files/CaptureArtifacts.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavHeader.h"

namespace kavo {

// A pair of files that is not a capture this program recorded, or cannot be read as
// one. what() says what is wrong in words the user can act on.
class CaptureFileError : public Error {
public:
    using Error::Error;
};

// The one audio layout this program writes: 16 kHz mono 16-bit PCM behind the canonical
// 44-byte header, with its sidecar beside it. Only files in exactly this layout are
// repaired or uploaded; anything else is someone else's and is left as it is.
struct CaptureFormat {
    static constexpr int kSampleRate = 16'000;
    static constexpr int kChannels = 1;
    static constexpr int kBitsPerSample = 16;
    static constexpr std::int64_t kBytesPerSecond = kSampleRate * kChannels * kBitsPerSample / 8;

    // True when `header` is this program's header; its two size fields may hold anything.
    static bool isOwnHeader(const wav::Header& header);
    // True when `sidecar` describes this program's audio in the file `audioFileName`.
    static bool describesOwnAudio(const CaptureSidecar& sidecar, const std::string& audioFileName);

    // Checks, reading only, that `artifacts` is a finished capture of this program: a
    // regular audio file in the layout above whose sizes match its length and which holds
    // audio, and a sidecar that decodes and describes it. Throws CaptureFileError.
    static void verify(const CaptureArtifacts& artifacts);
};

}  // namespace kavo
