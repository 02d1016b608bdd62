#include "capture/files/WavRepair.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

#include "base/Log.h"
#include "capture/files/CaptureFormat.h"
#include "capture/files/CaptureSidecar.h"
#include "capture/files/WavHeader.h"
#include "capture/files/WavWriter.h"

namespace kavo {
namespace {

// Takes the lock without waiting. False only when someone else holds it; a file system
// without locks cannot tell, and its files are repaired as before.
bool tryLock(PosixFileIO& io, int fd) {
    for (;;) {
        if (io.flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        return errno != EWOULDBLOCK;
    }
}

ssize_t readAt(PosixFileIO& io, int fd, void* data, std::size_t size, off_t offset) {
    for (;;) {
        const ssize_t n = io.pread(fd, data, size, offset);
        if (n >= 0 || errno != EINTR) return n;
    }
}

void writeAt(PosixFileIO& io, int fd, std::uint32_t value, off_t offset,
             const std::filesystem::path& url) {
    const auto bytes = wav::littleEndian32(value);
    for (;;) {
        const ssize_t n = io.pwrite(fd, bytes.data(), bytes.size(), offset);
        if (n == static_cast<ssize_t>(bytes.size())) return;
        if (n < 0 && errno == EINTR) continue;
        throw WavRepairError(fmt::format("header write to {} failed ({})", url.string(),
                                         n < 0 ? std::strerror(errno) : "short write"));
    }
}

std::string inWords(int error) {
    return error == 0 ? "short read" : std::strerror(error);
}

bool isWav(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".wav";
}

std::filesystem::path sidecarOf(const std::filesystem::path& audioURL) {
    auto sidecarURL = audioURL;
    sidecarURL.replace_extension(".json");
    return sidecarURL;
}

// Why the file is not a capture of this program as far as its name and sidecar tell, or
// nothing when it may be one. Reads only.
std::optional<std::string> foreignBeforeOpening(const std::filesystem::path& url) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(url, error)))
        return "not a regular file";
    const auto sidecarURL = sidecarOf(url);
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(sidecarURL, error)))
        return "no capture sidecar beside it";
    try {
        if (!CaptureFormat::describesOwnAudio(CaptureSidecar::read(sidecarURL),
                                              url.filename().string())) {
            return "its sidecar describes other audio";
        }
    } catch (const SidecarError& failure) {
        return fmt::format("its sidecar cannot be read ({})", failure.what());
    }
    return std::nullopt;
}

// A capture that never stopped cleanly keeps the length its sidecar had at the last
// refresh, 0 s when it died within the first 30 s. Its repaired audio is what will be
// uploaded and listed, so the sidecar takes that audio's length. Returns the length set.
std::optional<double> alignSidecarWithAudio(const std::filesystem::path& audioURL,
                                            std::int64_t audioBytes) {
    const auto sidecarURL = sidecarOf(audioURL);
    auto sidecar = CaptureSidecar::read(sidecarURL);
    // The repair accepted only a sidecar of this program's format, whose rate is fixed.
    if (sidecar.endedAt || !CaptureFormat::describesOwnAudio(sidecar, audioURL.filename().string()))
        return std::nullopt;
    const double seconds =
        static_cast<double>(audioBytes) / static_cast<double>(CaptureFormat::kBytesPerSecond);
    sidecar.durationSeconds = seconds;
    sidecar.write(sidecarURL);
    return seconds;
}

}  // namespace

WavRepairResult repairWavFile(const std::filesystem::path& url, PosixFileIO& io) {
    if (auto reason = foreignBeforeOpening(url)) return WavRepairResult::notOurs(*reason);

    FileDescriptor fd(io, io.open(url.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0));
    if (!fd.valid())
        return WavRepairResult::failed(fmt::format("open failed ({})", inWords(errno)));
    if (!tryLock(io, fd.get())) return WavRepairResult::inUse();

    const off_t size = io.seekEnd(fd.get());
    if (size < 0) {
        throw WavRepairError(
            fmt::format("could not measure {} ({})", url.string(), inWords(errno)));
    }
    // The writer has written its whole header before the sidecar first appears.
    if (size < WavWriter::kHeaderBytes)
        return WavRepairResult::notOurs("shorter than this program's header");

    wav::Header header{};
    const ssize_t got = readAt(io, fd.get(), header.data(), header.size(), 0);
    if (got < static_cast<ssize_t>(header.size())) {
        return WavRepairResult::failed(
            fmt::format("header read failed ({})", inWords(got < 0 ? errno : 0)));
    }
    if (!CaptureFormat::isOwnHeader(header))
        return WavRepairResult::notOurs("not this program's audio layout");

    const std::int64_t riff = wav::readLittleEndian32(header.data() + wav::kRiffSizeOffset);
    const std::int64_t data = wav::readLittleEndian32(header.data() + wav::kDataSizeOffset);
    const std::int64_t block = CaptureFormat::kChannels * CaptureFormat::kBitsPerSample / 8;
    const std::int64_t dataBytes = size - WavWriter::kHeaderBytes;
    if (riff != 0 && data != 0 && data == dataBytes && riff == size - 8)
        return WavRepairResult::alreadyValid();

    const std::int64_t aligned = dataBytes - dataBytes % block;
    if (aligned > WavWriter::kMaxAudioBytes) {
        return WavRepairResult::failed(
            fmt::format("{} audio bytes are more than a WAVE header can describe", aligned));
    }
    writeAt(io, fd.get(), static_cast<std::uint32_t>(aligned + 36), wav::kRiffSizeOffset, url);
    writeAt(io, fd.get(), static_cast<std::uint32_t>(aligned), wav::kDataSizeOffset, url);
    if (aligned != dataBytes && io.ftruncate(fd.get(), aligned + WavWriter::kHeaderBytes) != 0) {
        throw WavRepairError(
            fmt::format("could not truncate {} ({})", url.string(), inWords(errno)));
    }
    if (io.fsync(fd.get()) != 0)
        throw WavRepairError(fmt::format("could not sync {} ({})", url.string(), inWords(errno)));
    return WavRepairResult::repaired(aligned);
}

WavRepairResult repairCapture(const std::filesystem::path& url, PosixFileIO& io) {
    const Logger log("WavWriter");
    const std::string name = url.filename().string();
    WavRepairResult result;
    try {
        result = repairWavFile(url, io);
    } catch (const std::exception& failure) {
        result = WavRepairResult::failed(failure.what());
    }
    switch (result.kind) {
        case WavRepairResult::Kind::repaired:
            log.notice("Repaired {}: data={} bytes", name, result.audioBytes);
            try {
                if (const auto seconds = alignSidecarWithAudio(url, result.audioBytes)) {
                    log.notice("Its sidecar now gives the repaired length, {:.2f} s", *seconds);
                }
            } catch (const std::exception& failure) {
                log.error("Could not give the sidecar of {} its repaired length: {}", name,
                          failure.what());
            }
            break;
        case WavRepairResult::Kind::failed:
            log.error("Cannot repair {}: {}", name, result.reason);
            break;
        case WavRepairResult::Kind::inUse:
            log.notice("Skipped {}: a running capture is writing it", name);
            break;
        case WavRepairResult::Kind::notOurs:
            log.info("Left {} as it is: {}", name, result.reason);
            break;
        case WavRepairResult::Kind::alreadyValid:
            break;
    }
    return result;
}

std::vector<std::filesystem::path> repairIncompleteCaptures(const std::filesystem::path& directory,
                                                            PosixFileIO& io) {
    std::vector<std::filesystem::path> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(it->path());
    }
    if (error) return {};

    std::vector<std::filesystem::path> repaired;
    for (const auto& url : entries) {
        if (isWav(url) && repairCapture(url, io).kind == WavRepairResult::Kind::repaired)
            repaired.push_back(url);
    }
    return repaired;
}

}  // namespace kavo
