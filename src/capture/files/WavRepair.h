#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/Error.h"
#include "capture/files/PosixFileIO.h"

namespace kavo {

// What the launch repair found in one ".wav" file.
struct WavRepairResult {
    enum class Kind {
        repaired,      // the header now declares `audioBytes`
        failed,        // left untouched, for `reason`
        alreadyValid,  // the header matched the file
        inUse,         // a running capture holds the file's lock; left untouched
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

    bool operator==(const WavRepairResult&) const = default;
};

// A repair that could not finish writing the file it had started to fix.
class WavRepairError : public Error {
public:
    using Error::Error;
};

// Rewrites the size fields of a WAVE file left incomplete by a crash from the file's
// real length, dropping a torn last sample. A file that is too short, foreign, locked
// by a running capture or too long for the 32-bit sizes is left exactly as it is.
// Throws WavRepairError when writing the repair itself fails.
WavRepairResult repairWavFile(const std::filesystem::path& url,
                              PosixFileIO& io = PosixFileIO::system());

// Repairs every ".wav" file (any case) in `directory`, logging each outcome, and returns
// the files it repaired, in listing order. A repaired file's sidecar (same name, ".json")
// that never recorded an end takes the repaired audio's length. An unlistable directory
// yields nothing.
std::vector<std::filesystem::path> repairIncompleteCaptures(
    const std::filesystem::path& directory, PosixFileIO& io = PosixFileIO::system());

}  // namespace kavo
