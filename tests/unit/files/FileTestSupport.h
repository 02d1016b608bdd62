#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/PosixFileIO.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavRepair.h"

namespace kavo::testing {

// Real calls, except for the faults a test scripts, and a record of every sync.
class ScriptedFileIO : public PosixFileIO {
public:
    enum class WriteStep {
        interrupted,  // fails with EINTR, writes nothing
        partial,      // writes only the first 3 bytes
        fail,         // fails with `failErrno`
        real,
    };

    std::deque<WriteStep> writeSteps;
    int failErrno = ENOSPC;
    std::optional<int> openErrno, pwriteErrno;
    std::vector<std::int64_t> fileSizeAtSync;

    int open(const char* path, int flags, mode_t mode) override {
        return openErrno ? failWith(*openErrno) : PosixFileIO::open(path, flags, mode);
    }
    ssize_t write(int fd, const void* data, std::size_t size) override {
        const WriteStep step = writeSteps.empty() ? WriteStep::real : writeSteps.front();
        if (!writeSteps.empty()) writeSteps.pop_front();
        if (step == WriteStep::interrupted) return failWith(EINTR);
        if (step == WriteStep::fail) return failWith(failErrno);
        return PosixFileIO::write(
            fd, data, step == WriteStep::partial ? std::min<std::size_t>(size, 3) : size);
    }
    ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset) override {
        return pwriteErrno ? failWith(*pwriteErrno) : PosixFileIO::pwrite(fd, data, size, offset);
    }
    int fsync(int fd) override {
        fileSizeAtSync.push_back(PosixFileIO::seekEnd(fd));
        return PosixFileIO::fsync(fd);
    }

private:
    static int failWith(int value) {
        errno = value;
        return -1;
    }
};

inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::uint32_t u32At(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= std::uint32_t(std::uint8_t(bytes.at(offset + i))) << (8 * i);
    return value;
}

// The header of a 16 kHz mono 16-bit capture as it stands on disk right after open.
inline std::string openCaptureHeader() {
    return std::string(
        "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\x3E\0\0\0\x7D\0\0\x02\0\x10\0data\0\0\0\0",
        44);
}

// `bytes` with the RIFF and data sizes of a closed WAVE header.
inline std::string withSizes(std::string bytes, std::uint32_t riff, std::uint32_t data) {
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
        bytes[40 + i] = static_cast<char>((data >> (8 * i)) & 0xFF);
    }
    return bytes;
}

// A deterministic, non-repeating-looking sample sequence, so misplaced bytes show.
inline std::vector<std::int16_t> samples(std::int64_t first, std::int64_t count) {
    std::vector<std::int16_t> out;
    for (std::int64_t i = first; i < first + count; ++i)
        out.push_back(static_cast<std::int16_t>((i * 7919 + (i >> 5) * 131) & 0xFFFF));
    return out;
}

inline std::string sampleBytes(std::int64_t first, std::int64_t count) {
    const auto values = samples(first, count);
    return {reinterpret_cast<const char*>(values.data()), values.size() * 2};
}

// A capture's sidecar as the capture session writes it at start.
inline CaptureSidecar sidecarAtStart(const std::string& captureId,
                                     std::string startedAt = "2026-03-02T09:15:00.000Z") {
    CaptureSidecar sidecar;
    sidecar.captureId = captureId;
    sidecar.audioFileName = "capture-" + captureId + ".wav";
    sidecar.startedAt = std::move(startedAt);
    return sidecar;
}

// Every entry of `folder` (not below it) by name: a file's bytes, a link's target, or
// "<folder>".
inline std::map<std::string, std::string> snapshot(const std::filesystem::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files[entry.path().filename().string()] =
            entry.is_symlink()     ? "-> " + std::filesystem::read_symlink(entry.path()).string()
            : entry.is_directory() ? "<folder>"
                                   : readBytes(entry.path());
    }
    return files;
}

}  // namespace kavo::testing
