#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Error.h"
#include "base/PosixFileIO.h"

namespace kavo {

// What the crash repair found in one ".wav" file.
struct WavRepairResult {
    enum class Kind {
        repaired,      // the header now declares `audioBytes`
        failed,        // a capture of ours left untouched, for `reason`
        alreadyValid,  // the header matched the file
        inUse,         // a running capture holds the file's lock; left untouched
        notOurs,       // not a capture this program wrote, for `reason`; never touched
    };

    Kind kind = Kind::alreadyValid;
    std::int64_t audioBytes = 0;
    std::string reason;

    static WavRepairResult repaired(std::int64_t audioBytes) {
        return {Kind::repaired, audioBytes, {}};
    }
    static WavRepairResult failed(std::string reason) {
        return {Kind::failed, 0, std::move(reason)};
    }
    static WavRepairResult alreadyValid() { return {Kind::alreadyValid, 0, {}}; }
    static WavRepairResult inUse() { return {Kind::inUse, 0, {}}; }
    static WavRepairResult notOurs(std::string reason) {
        return {Kind::notOurs, 0, std::move(reason)};
    }

    bool operator==(const WavRepairResult&) const = default;
};

// A repair that could not finish writing the file it had started to fix.
class WavRepairError : public Error {
public:
    using Error::Error;
};

// Rewrites the size fields of a capture left incomplete by a crash from the file's real
// length, dropping a torn last sample. Only a regular file in this program's own layout
// (CaptureFormat.h) with its sidecar beside it is a capture; every other file, and one
// that is too short, locked by a running capture or too long for the 32-bit sizes, is
// left exactly as it is. Throws WavRepairError when writing the repair itself fails.
WavRepairResult repairWavFile(const std::filesystem::path& url,
                              PosixFileIO& io = PosixFileIO::system());

// Repairs one capture's audio as repairWavFile does and logs the outcome; a repaired
// capture whose sidecar never recorded an end takes the repaired audio's length. Never
// throws.
WavRepairResult repairCapture(const std::filesystem::path& audioURL,
                              PosixFileIO& io = PosixFileIO::system());

// Repairs every ".wav" file (any case) in `directory` with repairCapture and returns the
// files it repaired, in listing order. An unlistable directory yields nothing.
std::vector<std::filesystem::path> repairIncompleteCaptures(
    const std::filesystem::path& directory, PosixFileIO& io = PosixFileIO::system());

}  // namespace kavo
