#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Log.h"
#include "capture/files/WavWriter.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using testing::ScriptedFileIO;
using WriteStep = ScriptedFileIO::WriteStep;

TEST(WavWriter, OpenReplacesAnyFileWithMode0644AndTheHeaderOfItsFormat) {
    testing::TempDir dir;
    const auto file = dir / "capture-A.wav";
    testing::writeBytes(file, std::string(1000, 'x'));
    const mode_t previousMask = ::umask(022);
    WavWriter writer(file, 16'000, 1, 16);
    ::umask(previousMask);
    EXPECT_TRUE(writer.isOpen());
    EXPECT_EQ(testing::readBytes(file), testing::openCaptureHeader());
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644U);

    WavWriter stereo(dir / "stereo.wav", 48'000, 2, 24);
    const auto bytes = testing::readBytes(dir / "stereo.wav");
    ASSERT_EQ(bytes.size(), 44U);
    EXPECT_EQ(bytes[22], 2);                         // channels
    EXPECT_EQ(testing::u32At(bytes, 24), 48'000U);   // sample rate
    EXPECT_EQ(testing::u32At(bytes, 28), 288'000U);  // byte rate = rate x block align 6
    EXPECT_EQ(bytes[32], 6);
    EXPECT_EQ(bytes[34], 24);
}

TEST(WavWriter, CleanCloseDeclaresExactlyTheAppendedAudio) {
    testing::TempDir dir;
    const auto file = dir / "capture-B.wav";
    LogCapture logs;
    WavWriter writer(file, 16'000, 1, 16);
    const auto first = testing::samples(0, 1'600);
    const auto second = testing::samples(1'600, 333);
    writer.append(first.data(), 1'600);
    writer.append(second.data(), 333);
    EXPECT_EQ(writer.close(), 2 * 1'933);
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(writer.fileDescriptor(), -1);

    const auto bytes = testing::readBytes(file);
    ASSERT_EQ(bytes.size(), 44U + 2 * 1'933);
    EXPECT_EQ(testing::u32At(bytes, 4), 36U + 2 * 1'933);
    EXPECT_EQ(testing::u32At(bytes, 40), 2U * 1'933);
    EXPECT_EQ(bytes.substr(44), testing::sampleBytes(0, 1'933));
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Closed capture-B.wav: 3866 audio bytes"});

    // Closing again, appending after close, and empty or null appends change nothing.
    EXPECT_EQ(writer.close(), 2 * 1'933);
    writer.append(first.data(), 1'600);
    EXPECT_EQ(testing::readBytes(file), bytes);
    EXPECT_EQ(logs.messages("WavWriter").size(), 1U);
}

TEST(WavWriter, EmptyAndNullAppendsWriteNothing) {
    testing::TempDir dir;
    ScriptedFileIO io;
    WavWriter writer(dir / "a.wav", 16'000, 1, 16, io);
    const auto block = testing::samples(0, 10);
    writer.append(block.data(), 0);
    writer.append(nullptr, 10);
    EXPECT_EQ(io.writeSizes.size(), 1U);  // the header only
    EXPECT_EQ(writer.audioBytesWritten(), 0);
}

TEST(WavWriter, ReleasingAnOpenWriterLeavesTheHeaderAsOpened) {
    testing::TempDir dir;
    const auto file = dir / "crashed.wav";
    {
        WavWriter writer(file, 16'000, 1, 16);
        const auto block = testing::samples(0, 100);
        writer.append(block.data(), 100);
    }
    const auto bytes = testing::readBytes(file);
    EXPECT_EQ(bytes.substr(0, 44), testing::openCaptureHeader());
    EXPECT_EQ(bytes.size(), 244U);
}

TEST(WavWriter, SyncsOnceEvery163840BytesCountedFromTheLastSyncAndAtClose) {
    testing::TempDir dir;
    ScriptedFileIO io;
    WavWriter writer(dir / "a.wav", 16'000, 1, 16, io);
    const auto tick = testing::samples(0, 1'600);  // one mixer tick, 3 200 bytes

    // 51 ticks are 163 200 bytes: not yet. The 52nd reaches 166 400 and syncs, and the
    // count restarts from zero, so the next sync is again 52 ticks later.
    for (int i = 0; i < 51; ++i) writer.append(tick.data(), 1'600);
    EXPECT_TRUE(io.fileSizeAtSync.empty());
    EXPECT_EQ(writer.bytesSinceSync(), 163'200);
    for (int i = 0; i < 53; ++i) writer.append(tick.data(), 1'600);
    EXPECT_EQ(io.fileSizeAtSync, (std::vector<std::int64_t>{44 + 52 * 3'200, 44 + 104 * 3'200}));
    EXPECT_EQ(writer.bytesSinceSync(), 0);

    writer.close();
    EXPECT_EQ(io.fileSizeAtSync.size(), 3U);

    // Reaching the threshold exactly is enough.
    ScriptedFileIO exactIO;
    WavWriter exact(dir / "b.wav", 16'000, 1, 16, exactIO);
    const auto block = testing::samples(0, 81'920);
    exact.append(block.data(), 81'919);
    EXPECT_TRUE(exactIO.fileSizeAtSync.empty());
    exact.append(block.data(), 1);
    EXPECT_EQ(exactIO.fileSizeAtSync.size(), 1U);
}

TEST(WavWriter, InterruptedAndPartialWritesStillDeliverEveryByteInOrder) {
    testing::TempDir dir;
    const auto file = dir / "a.wav";
    ScriptedFileIO io;
    io.writeSteps = {WriteStep::interrupted, WriteStep::partial, WriteStep::interrupted,
                     WriteStep::partial};
    WavWriter writer(file, 16'000, 1, 16, io);
    const auto block = testing::samples(0, 500);
    io.writeSteps = {WriteStep::partial, WriteStep::interrupted, WriteStep::interrupted,
                     WriteStep::partial};
    writer.append(block.data(), 500);
    EXPECT_EQ(writer.audioBytesWritten(), 1'000);
    writer.close();
    const auto bytes = testing::readBytes(file);
    ASSERT_EQ(bytes.size(), 1'044U);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(bytes.substr(44), testing::sampleBytes(0, 500));
}

TEST(WavWriter, AFailedAppendIsLoggedNotCountedAndTheCaptureGoesOn) {
    testing::TempDir dir;
    const auto file = dir / "capture-C.wav";
    ScriptedFileIO io;
    WavWriter writer(file, 16'000, 1, 16, io);
    LogCapture logs;
    const auto block = testing::samples(0, 100);
    writer.append(block.data(), 100);
    io.writeSteps = {WriteStep::partial, WriteStep::fail};
    writer.append(block.data(), 100);
    EXPECT_EQ(writer.audioBytesWritten(), 200);
    EXPECT_EQ(writer.bytesSinceSync(), 200);
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Audio append failed: write to " + file.string() +
                                       " failed (errno 28)"});

    writer.append(block.data(), 100);
    EXPECT_EQ(writer.close(), 400);
    // The torn block's first bytes stay in the file; the header declares only what counted.
    const auto bytes = testing::readBytes(file);
    EXPECT_EQ(bytes.size(), 44U + 200 + 3 + 200);
    EXPECT_EQ(testing::u32At(bytes, 40), 400U);
}

TEST(WavWriter, OpenFailuresCarryThePathAndErrno) {
    testing::TempDir dir;
    const auto missing = dir / "no-such-folder" / "a.wav";
    try {
        WavWriter writer(missing, 16'000, 1, 16);
        FAIL() << "opened a file in a missing folder";
    } catch (const WavWriter::WriterError& error) {
        EXPECT_EQ(error.code(), WavWriter::WriterError::Code::openFailed);
        EXPECT_EQ(error.errnoValue(), ENOENT);
        EXPECT_EQ(std::string(error.what()),
                  "could not open " + missing.string() + " for writing (errno 2)");
    }

    ScriptedFileIO io;
    io.writeSteps = {WriteStep::partial, WriteStep::fail};
    io.failErrno = EIO;
    try {
        WavWriter writer(dir / "b.wav", 16'000, 1, 16, io);
        FAIL() << "a failed header write went unnoticed";
    } catch (const WavWriter::WriterError& error) {
        EXPECT_EQ(error.code(), WavWriter::WriterError::Code::writeFailed);
        EXPECT_EQ(std::string(error.what()),
                  "write to " + (dir / "b.wav").string() + " failed (errno 5)");
    }
    // The half-made writer's descriptor is closed: its lock is gone.
    const int fd = ::open((dir / "b.wav").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST(WavWriter, HoldsAnExclusiveLockUntilClosed) {
    testing::TempDir dir;
    const auto file = dir / "a.wav";
    WavWriter writer(file, 16'000, 1, 16);
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    writer.close();
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

// Audio beyond what the 32-bit size fields hold (about 37 hours) must not be declared
// with wrapped sizes; the writes are simulated so no gigabytes reach the disk.
TEST(WavWriter, AudioBeyondThe32BitSizesIsReportedAtCloseNotWrapped) {
    testing::TempDir dir;
    const auto block = testing::samples(0, 1 << 20);
    const std::int64_t blockBytes = 2 << 20;
    const std::int64_t largestEven = 4'294'967'258;  // largest even count whose RIFF size fits

    auto fill = [&](WavWriter& writer, std::int64_t bytes) {
        for (; bytes >= blockBytes; bytes -= blockBytes) writer.append(block.data(), 1 << 20);
        writer.append(block.data(), bytes / 2);
    };

    ScriptedFileIO fitsIO;
    fitsIO.afterScript = WriteStep::pretend;
    fitsIO.syncToDisk = false;
    fitsIO.writeSteps = {WriteStep::real};
    WavWriter fits(dir / "fits.wav", 16'000, 1, 16, fitsIO);
    fill(fits, largestEven);
    EXPECT_EQ(fits.close(), largestEven);
    const auto fitsHeader = testing::readBytes(dir / "fits.wav");
    EXPECT_EQ(testing::u32At(fitsHeader, 4), 0xFFFF'FFFEU);
    EXPECT_EQ(testing::u32At(fitsHeader, 40), 0xFFFF'FFDAU);

    ScriptedFileIO longIO;
    longIO.afterScript = WriteStep::pretend;
    longIO.syncToDisk = false;
    longIO.writeSteps = {WriteStep::real};
    const auto file = dir / "long.wav";
    WavWriter tooLong(file, 16'000, 1, 16, longIO);
    fill(tooLong, largestEven + 2);
    LogCapture logs;
    const auto syncsBeforeClose = longIO.fileSizeAtSync.size();
    try {
        tooLong.close();
        FAIL() << "a capture too long for its header closed quietly";
    } catch (const WavWriter::WriterError& error) {
        EXPECT_EQ(error.code(), WavWriter::WriterError::Code::tooLong);
        EXPECT_EQ(
            std::string(error.what()),
            file.string() + " holds 4294967260 audio bytes, more than a WAVE header can describe");
    }
    EXPECT_FALSE(tooLong.isOpen());
    EXPECT_EQ(testing::readBytes(file), testing::openCaptureHeader());
    EXPECT_EQ(longIO.fileSizeAtSync.size(), syncsBeforeClose + 1);
    EXPECT_TRUE(logs.contains("WavWriter", "more than a WAVE header can describe"));
}

}  // namespace
}  // namespace kavo
