#include "capture/files/WavWriter.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>

#include <cerrno>
#include <cstring>

#include "capture/files/WavHeader.h"

namespace kavo {
namespace {

// Waits for the lock: the launch repair holds it only for the few calls that examine
// one file. A file system without locks still gets the recording, just without the
// guard against the repair.
void lockExclusively(PosixFileIO& io, int fd) {
    while (io.flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

}  // namespace

WavWriter::WriterError::WriterError(Code code, std::string path, std::int32_t errnoValue,
                                    const std::string& text)
    : Error(text), code_(code), path_(std::move(path)), errno_(errnoValue) {}

WavWriter::WriterError WavWriter::WriterError::openFailed(const std::string& path,
                                                          std::int32_t errnoValue) {
    return {Code::openFailed, path, errnoValue,
            fmt::format("could not open {} for writing ({})", path, std::strerror(errnoValue))};
}

WavWriter::WriterError WavWriter::WriterError::writeFailed(const std::string& path,
                                                           std::int32_t errnoValue) {
    return {Code::writeFailed, path, errnoValue,
            fmt::format("write to {} failed ({})", path, std::strerror(errnoValue))};
}

WavWriter::WriterError WavWriter::WriterError::tooLong(const std::string& path,
                                                       std::int64_t audioBytes) {
    return {Code::tooLong, path, 0,
            fmt::format("{} holds {} audio bytes, more than a WAVE header can describe", path,
                        audioBytes)};
}

WavWriter::WavWriter(std::filesystem::path url, int sampleRate, int channels, int bitsPerSample,
                     PosixFileIO& io, FailureHandler onFailure)
    : url_(std::move(url)),
      sampleRate_(sampleRate),
      channels_(channels),
      bitsPerSample_(bitsPerSample),
      io_(io),
      onFailure_(std::move(onFailure)) {
    // Truncation waits for the lock, so a repair examining a file of the same name never
    // sees it shrink under its feet.
    fd_ = FileDescriptor(io_, io_.open(url_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!fd_.valid()) {
        const int error = errno;
        throw WriterError::openFailed(url_.string(), error);
    }
    lockExclusively(io_, fd_.get());
    if (io_.ftruncate(fd_.get(), 0) != 0) {
        const int error = errno;
        throw WriterError::openFailed(url_.string(), error);
    }
    isOpen_ = true;
    const auto header = wav::makeHeader(sampleRate_, channels_, bitsPerSample_);
    if (const int error = writeFully(io_, fd_.get(), header.data(), header.size()); error != 0) {
        throw WriterError::writeFailed(url_.string(), error);
    }
}

WavWriter::~WavWriter() = default;

void WavWriter::append(const std::int16_t* samples, std::int64_t count) {
    if (!isOpen_ || failedErrno_ != 0 || samples == nullptr || count <= 0) return;
    const std::int64_t bytes = 2 * count;
    if (const int error = writeFully(io_, fd_.get(), samples, static_cast<std::size_t>(bytes));
        error != 0) {
        failedErrno_ = error;
        // A partial write would misalign every later sample and is audio no header counts;
        // cutting it off also gives a full disk back the room for the closing sidecar.
        const std::int64_t counted = kHeaderBytes + audioBytesWritten_.load();
        if (io_.ftruncate(fd_.get(), static_cast<off_t>(counted)) != 0) {
            log_.error("Could not cut {} back to its last whole write ({})",
                       url_.filename().string(), std::strerror(errno));
        }
        const auto failure = WriterError::writeFailed(url_.string(), error);
        log_.error("Audio append failed: {}", failure.what());
        if (onFailure_) onFailure_(failure);
        return;
    }
    audioBytesWritten_ += bytes;
    bytesSinceSync_ += bytes;
    if (bytesSinceSync_ >= kSyncIntervalBytes) {
        bytesSinceSync_ = 0;
        if (io_.fsync(fd_.get()) != 0) {
            const int error = errno;
            log_.error("Audio sync of {} failed ({})", url_.filename().string(),
                       std::strerror(error));
        }
    }
}

std::int64_t WavWriter::close() {
    const std::int64_t written = audioBytesWritten_.load();
    if (!isOpen_) return written;
    const bool fits = written <= kMaxAudioBytes;
    if (fits) {
        const auto riff = wav::littleEndian32(static_cast<std::uint32_t>(written + 36));
        const auto data = wav::littleEndian32(static_cast<std::uint32_t>(written));
        io_.pwrite(fd_.get(), riff.data(), riff.size(), wav::kRiffSizeOffset);
        io_.pwrite(fd_.get(), data.data(), data.size(), wav::kDataSizeOffset);
    }
    io_.fsync(fd_.get());
    fd_.reset();
    isOpen_ = false;
    if (!fits) {
        auto error = WriterError::tooLong(url_.string(), written);
        log_.error("Close left the sizes unset: {}", error.what());
        throw error;
    }
    log_.info("Closed {}: {} audio bytes", url_.filename().string(), written);
    return written;
}

}  // namespace kavo
