#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/files/WavWriter.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using testing::ScriptedFileIO;
using WriteStep = ScriptedFileIO::WriteStep;
using WriterError = WavWriter::WriterError;

// Whether another open file description could take the writer's exclusive lock now.
bool lockable(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) ::close(fd);
    return free;
}

// Interrupted and partial writes are carried on until every byte is written.
TEST(WavWriter, WritesTheHeaderThenTheAudioAndAtCloseItsSizesAndReleasesTheLock) {
    testing::TempDir dir;
    const auto file = dir / "capture-B.wav";
    testing::writeBytes(file, std::string(1000, 'x'));
    ScriptedFileIO io;
    io.writeSteps = {WriteStep::interrupted, WriteStep::partial, WriteStep::partial};
    const mode_t previousMask = ::umask(022);
    WavWriter writer(file, 16'000, 1, 16, io);
    ::umask(previousMask);
    // Any file of that name is replaced by the header of a 16 kHz mono capture, mode 0644.
    EXPECT_EQ(testing::readBytes(file), testing::openCaptureHeader());
    struct stat info {};
    EXPECT_TRUE(::stat(file.c_str(), &info) == 0 && (info.st_mode & 0777) == 0644);
    const auto block = testing::samples(0, 1'933);
    writer.append(nullptr, 10);
    writer.append(block.data(), 0);
    io.writeSteps = {WriteStep::partial, WriteStep::interrupted, WriteStep::partial};
    writer.append(block.data(), 1'600);
    writer.append(block.data() + 1'600, 333);
    EXPECT_FALSE(lockable(file));
    EXPECT_EQ(writer.close(), 2 * 1'933);
    EXPECT_FALSE(writer.isOpen());
    EXPECT_TRUE(lockable(file));

    const auto bytes = testing::readBytes(file);
    EXPECT_EQ(bytes.size(), 44U + 2 * 1'933);
    EXPECT_EQ(testing::u32At(bytes, 4), 36U + 2 * 1'933);
    EXPECT_EQ(testing::u32At(bytes, 40), 2U * 1'933);
    EXPECT_EQ(bytes.substr(44), testing::sampleBytes(0, 1'933));
    // Closing again and appending after close change nothing.
    EXPECT_EQ(writer.close(), 2 * 1'933);
    writer.append(block.data(), 1'600);
    EXPECT_EQ(testing::readBytes(file), bytes);
}

TEST(WavWriter, SyncsOnceEvery163840BytesCountedFromTheLastSyncAndAtClose) {
    testing::TempDir dir;
    ScriptedFileIO io;
    WavWriter writer(dir / "a.wav", 16'000, 1, 16, io);
    const auto tick = testing::samples(0, 1'600);  // one mixer tick, 3 200 bytes
    // The 52nd tick passes 163 840 bytes; the count restarts there, not at the threshold.
    for (int i = 0; i < 51; ++i) writer.append(tick.data(), 1'600);
    EXPECT_TRUE(io.fileSizeAtSync.empty());
    for (int i = 0; i < 53; ++i) writer.append(tick.data(), 1'600);
    EXPECT_EQ(io.fileSizeAtSync, (std::vector<std::int64_t>{44 + 52 * 3'200, 44 + 104 * 3'200}));
    writer.close();
    EXPECT_EQ(io.fileSizeAtSync.size(), 3U);

    // Reaching the threshold exactly is enough.
    ScriptedFileIO exactIO;
    WavWriter exact(dir / "b.wav", 16'000, 1, 16, exactIO);
    const auto block = testing::samples(0, 81'920);
    exact.append(block.data(), 81'919);
    exact.append(block.data(), 1);
    EXPECT_EQ(exactIO.fileSizeAtSync, std::vector<std::int64_t>{44 + 163'840});
}

// A full disk: the torn write is cut off again, the handler hears of it once, and the
// file holds exactly what the header declares, however long the mixer goes on.
TEST(WavWriter, AFailedAppendEndsTheAudioWithExactlyWhatWasWritten) {
    testing::TempDir dir;
    const auto file = dir / "capture-C.wav";
    ScriptedFileIO io;
    std::vector<std::string> told;
    WavWriter writer(file, 16'000, 1, 16, io,
                     [&told](const WriterError& error) { told.push_back(error.what()); });
    const auto block = testing::samples(0, 100);
    writer.append(block.data(), 100);
    io.writeSteps = {WriteStep::partial, WriteStep::fail};
    writer.append(block.data(), 100);
    writer.append(block.data(), 100);
    EXPECT_EQ(told, std::vector<std::string>{"write to " + file.string() +
                                             " failed (No space left on device)"});
    EXPECT_EQ(writer.failedErrno(), ENOSPC);
    EXPECT_EQ(writer.close(), 200);
    const auto bytes = testing::readBytes(file);
    EXPECT_EQ(bytes.size(), 44U + 200);
    EXPECT_EQ(testing::u32At(bytes, 40), 200U);
    EXPECT_EQ(bytes.substr(44), testing::sampleBytes(0, 100));
}

TEST(WavWriter, OpenFailuresCarryThePathAndErrnoAndLeaveNoLock) {
    testing::TempDir dir;
    const auto missing = dir / "no-such-folder" / "a.wav";
    try {
        WavWriter writer(missing, 16'000, 1, 16);
        FAIL() << "opened a file in a missing folder";
    } catch (const WriterError& error) {
        EXPECT_EQ(error.code(), WriterError::Code::openFailed);
        EXPECT_EQ(error.errnoValue(), ENOENT);
        EXPECT_EQ(std::string(error.what()), "could not open " + missing.string() +
                                                 " for writing (No such file or directory)");
    }

    ScriptedFileIO io;
    io.writeSteps = {WriteStep::partial, WriteStep::fail};
    io.failErrno = EIO;
    try {
        WavWriter writer(dir / "b.wav", 16'000, 1, 16, io);
        FAIL() << "a failed header write went unnoticed";
    } catch (const WriterError& error) {
        EXPECT_EQ(error.code(), WriterError::Code::writeFailed);
        EXPECT_EQ(std::string(error.what()),
                  "write to " + (dir / "b.wav").string() + " failed (Input/output error)");
    }
    EXPECT_TRUE(lockable(dir / "b.wav"));
}

// About 37 hours of audio must not be declared with wrapped 32-bit sizes; the writes are
// simulated so no gigabytes reach the disk.
TEST(WavWriter, AudioBeyondThe32BitSizesIsReportedAtCloseNotWrapped) {
    testing::TempDir dir;
    const auto block = testing::samples(0, 1 << 20);
    const std::int64_t largestEven = 4'294'967'258;  // largest even count whose RIFF size fits
    ScriptedFileIO fitsIO, longIO;
    auto write = [&](ScriptedFileIO& io, const std::filesystem::path& file, std::int64_t bytes) {
        io.writeSteps = {WriteStep::real};  // the header
        io.afterScript = WriteStep::pretend;
        io.syncToDisk = false;
        auto writer = std::make_unique<WavWriter>(file, 16'000, 1, 16, io);
        for (; bytes >= (2 << 20); bytes -= 2 << 20) writer->append(block.data(), 1 << 20);
        writer->append(block.data(), bytes / 2);
        return writer;
    };

    EXPECT_EQ(write(fitsIO, dir / "fits.wav", largestEven)->close(), largestEven);
    const auto fitsHeader = testing::readBytes(dir / "fits.wav");
    EXPECT_EQ(testing::u32At(fitsHeader, 4), 0xFFFF'FFFEU);
    EXPECT_EQ(testing::u32At(fitsHeader, 40), 0xFFFF'FFDAU);

    const auto file = dir / "long.wav";
    auto tooLong = write(longIO, file, largestEven + 2);
    const auto syncsBeforeClose = longIO.fileSizeAtSync.size();
    try {
        tooLong->close();
        FAIL() << "a capture too long for its header closed quietly";
    } catch (const WriterError& error) {
        EXPECT_EQ(error.code(), WriterError::Code::tooLong);
        EXPECT_EQ(
            std::string(error.what()),
            file.string() + " holds 4294967260 audio bytes, more than a WAVE header can describe");
    }
    EXPECT_FALSE(tooLong->isOpen());
    EXPECT_EQ(testing::readBytes(file), testing::openCaptureHeader());
    EXPECT_EQ(longIO.fileSizeAtSync.size(), syncsBeforeClose + 1);
}

}  // namespace
}  // namespace kavo
