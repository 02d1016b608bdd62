#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "audio/PCMSink.h"
#include "base/Error.h"
#include "base/Log.h"
#include "base/PosixFileIO.h"

namespace kavo {

// Streams 16-bit PCM into a RIFF/WAVE file while it is produced. The 44-byte header is
// written at open with both size fields 0 and patched only by a clean close, so a file
// left behind by a crash is recognisable and the launch repair (WavRepair.h) can fix it.
// While open, the writer holds an exclusive advisory lock (flock) on the file, which
// keeps the repair away from a capture that is still being written.
class WavWriter final : public PCMSink {
public:
    class WriterError : public Error {
    public:
        enum class Code { openFailed, writeFailed, tooLong };

        // "could not open {path} for writing ({errno in words})"
        static WriterError openFailed(const std::string& path, std::int32_t errnoValue);
        // "write to {path} failed ({errno in words})"
        static WriterError writeFailed(const std::string& path, std::int32_t errnoValue);
        // More audio than the 32-bit size fields can describe; the header is left unpatched.
        static WriterError tooLong(const std::string& path, std::int64_t audioBytes);

        Code code() const { return code_; }
        const std::string& path() const { return path_; }
        // The errno of openFailed and writeFailed, 0 otherwise.
        std::int32_t errnoValue() const { return errno_; }

    private:
        WriterError(Code code, std::string path, std::int32_t errnoValue, const std::string& text);
        Code code_;
        std::string path_;
        std::int32_t errno_;
    };

    static constexpr std::int64_t kHeaderBytes = 44;
    // 5.12 s of 16 kHz mono 16-bit audio between flushes to disk.
    static constexpr std::int64_t kSyncIntervalBytes = 163'840;
    // The most audio a header can declare: the RIFF size (audio + 36) must fit 32 bits.
    static constexpr std::int64_t kMaxAudioBytes = 0xFFFF'FFFFLL - 36;

    // Told once, on the thread that appends, when an append fails.
    using FailureHandler = std::function<void(const WriterError&)>;

    // Creates (mode 0644) or truncates the file, locks it and writes the header.
    // Throws WriterError (openFailed, writeFailed).
    WavWriter(std::filesystem::path url, int sampleRate, int channels, int bitsPerSample,
              PosixFileIO& io = PosixFileIO::system(), FailureHandler onFailure = {});
    // An open writer closes its descriptor without touching the header.
    ~WavWriter() override;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends `count` samples; ignored when closed, null or empty. A failed write (a full
    // disk, a vanished device) ends the audio: its torn bytes are cut off again, it is
    // logged and handed to the failure handler, and later appends are ignored, so the
    // file holds exactly the audio counted. It never reaches the caller.
    void append(const std::int16_t* samples, std::int64_t count) override;

    // Patches the sizes, syncs and closes; returns the audio bytes the header declares.
    // Does nothing (and returns the same count) once closed. When the audio is longer
    // than kMaxAudioBytes the file is synced and closed with its sizes left at 0, and
    // WriterError::tooLong is thrown instead of storing wrapped sizes.
    std::int64_t close();

    const std::filesystem::path& url() const { return url_; }
    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    int bitsPerSample() const { return bitsPerSample_; }
    // The open descriptor, -1 when none.
    int fileDescriptor() const { return fd_.get(); }
    // Readable from any thread.
    std::int64_t audioBytesWritten() const { return audioBytesWritten_.load(); }
    std::int64_t bytesSinceSync() const { return bytesSinceSync_; }
    bool isOpen() const { return isOpen_; }
    // The errno of the append that failed, 0 while none has. Readable from any thread.
    int failedErrno() const { return failedErrno_.load(); }

private:
    std::filesystem::path url_;
    int sampleRate_;
    int channels_;
    int bitsPerSample_;
    PosixFileIO& io_;
    FileDescriptor fd_;
    FailureHandler onFailure_;
    std::atomic<std::int64_t> audioBytesWritten_{0};
    std::atomic<int> failedErrno_{0};
    std::int64_t bytesSinceSync_ = 0;
    bool isOpen_ = false;
    Logger log_{"WavWriter"};
};

}  // namespace kavo
