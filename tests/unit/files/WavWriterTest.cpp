#include <gtest/gtest.h>

#include "capture/files/WavWriter.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using testing::ScriptedFileIO;
using WriteStep = ScriptedFileIO::WriteStep;
using WriterError = WavWriter::WriterError;

// Interrupted and partial writes are carried on until every byte is written.
TEST(WavWriter, WritesTheHeaderThenTheAudioAndAtCloseItsSizes) {
    testing::TempDir dir;
    const auto file = dir / "capture-B.wav";
    testing::writeBytes(file, std::string(1000, 'x'));
    ScriptedFileIO io;
    io.writeSteps = {WriteStep::interrupted, WriteStep::partial, WriteStep::partial};
    WavWriter writer(file, 16'000, 1, 16, io);
    // Any file of that name is replaced by the header of a 16 kHz mono capture.
    EXPECT_EQ(testing::readBytes(file), testing::openCaptureHeader());
    const auto block = testing::samples(0, 1'933);
    writer.append(nullptr, 10);
    writer.append(block.data(), 0);
    io.writeSteps = {WriteStep::partial, WriteStep::interrupted, WriteStep::partial};
    writer.append(block.data(), 1'600);
    writer.append(block.data() + 1'600, 333);
    EXPECT_EQ(writer.close(), 2 * 1'933);
    EXPECT_FALSE(writer.isOpen());

    const auto bytes = testing::readBytes(file);
    EXPECT_EQ(testing::u32At(bytes, 4), 36U + 2 * 1'933);
    EXPECT_EQ(testing::u32At(bytes, 40), 2U * 1'933);
    EXPECT_EQ(bytes.substr(44), testing::sampleBytes(0, 1'933));
}

// The count restarts at each sync, not at the threshold.
TEST(WavWriter, SyncsOnceEvery163840BytesCountedFromTheLastSyncAndAtClose) {
    testing::TempDir dir;
    ScriptedFileIO io;
    WavWriter writer(dir / "a.wav", 16'000, 1, 16, io);
    const auto tick = testing::samples(0, 1'600);  // one mixer tick, 3 200 bytes
    for (int i = 0; i < 104; ++i) writer.append(tick.data(), 1'600);
    EXPECT_EQ(io.fileSizeAtSync, (std::vector<std::int64_t>{44 + 52 * 3'200, 44 + 104 * 3'200}));
    writer.close();
    EXPECT_EQ(io.fileSizeAtSync.size(), 3U);
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

}  // namespace
}  // namespace kavo
