#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/Log.h"
#include "capture/files/WavRepair.h"
#include "capture/files/WavWriter.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {

namespace {

using Result = WavRepairResult;
using testing::ScriptedFileIO;

// A capture as a crash leaves it: the header as opened, then `audio` bytes.
std::string crashed(const std::string& audio) {
    return testing::openCaptureHeader() + audio;
}

std::string withSizes(std::string bytes, std::uint32_t riff, std::uint32_t data) {
    for (int i = 0; i < 4; ++i) {
        bytes[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
        bytes[40 + i] = static_cast<char>((data >> (8 * i)) & 0xFF);
    }
    return bytes;
}

std::string headerOf(const std::filesystem::path& file) {
    std::string header(44, '\0');
    const int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0 || ::pread(fd, header.data(), header.size(), 0) != 44) header.clear();
    if (fd >= 0) ::close(fd);
    return header;
}

TEST(WavRepair, RewritesTheSizesOfACrashedCaptureAndDropsATornSample) {
    testing::TempDir dir;
    const auto file = dir / "capture-A.wav";
    const std::string audio = testing::sampleBytes(0, 5'000);
    testing::writeBytes(file, crashed(audio + "\x7f"));
    LogCapture logs;

    EXPECT_EQ(repairIncompleteCaptures(dir.path()), std::vector<std::filesystem::path>{file});
    EXPECT_EQ(testing::readBytes(file), withSizes(crashed(audio), 36 + 10'000, 10'000));
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Repaired capture-A.wav: data=10000 bytes"});

    // Once repaired it is valid, and left alone at the next launch.
    logs.clear();
    EXPECT_EQ(repairWavFile(file), Result::alreadyValid());
    EXPECT_TRUE(repairIncompleteCaptures(dir.path()).empty());
    EXPECT_TRUE(logs.messages("WavWriter").empty());
}

TEST(WavRepair, SizesThatDisagreeWithTheLengthAreRewrittenFromTheLength) {
    testing::TempDir dir;
    const auto file = dir / "a.wav";
    const std::string audio = testing::sampleBytes(0, 100);
    // A close after failed appends declares less than the file holds.
    testing::writeBytes(file, withSizes(crashed(audio), 36 + 150, 150));
    EXPECT_EQ(repairWavFile(file), Result::repaired(200));
    EXPECT_EQ(testing::readBytes(file), withSizes(crashed(audio), 36 + 200, 200));
    // Only the RIFF size wrong is still wrong.
    testing::writeBytes(file, withSizes(crashed(audio), 0, 200));
    EXPECT_EQ(repairWavFile(file), Result::repaired(200));
}

TEST(WavRepair, AHeaderOnlyFileCountsAsIncompleteAndKeepsItsLength) {
    testing::TempDir dir;
    const auto file = dir / "empty.wav";
    testing::writeBytes(file, crashed(""));
    EXPECT_EQ(repairWavFile(file), Result::repaired(0));
    EXPECT_EQ(testing::readBytes(file), withSizes(crashed(""), 36, 0));
    // Its data size stays 0, so it is never "already valid".
    EXPECT_EQ(repairWavFile(file), Result::repaired(0));
}

TEST(WavRepair, AlignsToTheHeadersBlockSize) {
    testing::TempDir dir;
    const auto file = dir / "stereo.wav";
    {
        WavWriter writer(file, 48'000, 2, 16);
        const auto frames = testing::samples(0, 200);
        writer.append(frames.data(), 200);
    }
    // 400 audio bytes and 3 bytes of a torn frame: block align 4 keeps 400.
    testing::writeBytes(file, testing::readBytes(file) + "abc");
    EXPECT_EQ(repairWavFile(file), Result::repaired(400));
    EXPECT_EQ(std::filesystem::file_size(file), 444U);

    const auto zeroBlock = dir / "zero-block.wav";
    std::string header = crashed("xyz");
    header[32] = 0;
    testing::writeBytes(zeroBlock, header);
    EXPECT_EQ(repairWavFile(zeroBlock), Result::repaired(3));
    EXPECT_EQ(std::filesystem::file_size(zeroBlock), 47U);
}

// Bad input is reported with its reason and left byte for byte as it was.
TEST(WavRepair, TruncatedForeignAndUnreadableFilesAreReportedAndUntouched) {
    testing::TempDir dir;
    const std::string shortFile(30, 'R');
    const std::string foreign = "ID3\x04" + std::string(40, '\0') + testing::sampleBytes(0, 10);
    testing::writeBytes(dir / "short.wav", shortFile);
    testing::writeBytes(dir / "foreign.wav", foreign);
    std::filesystem::create_directory(dir / "folder.wav");
    LogCapture logs;

    EXPECT_EQ(repairWavFile(dir / "short.wav"), Result::failed("shorter than a WAVE header"));
    EXPECT_EQ(repairWavFile(dir / "foreign.wav"), Result::failed("not a RIFF file"));
    EXPECT_EQ(repairWavFile(dir / "folder.wav"), Result::failed("open failed (errno 21)"));
    EXPECT_TRUE(repairIncompleteCaptures(dir.path()).empty());

    EXPECT_EQ(testing::readBytes(dir / "short.wav"), shortFile);
    EXPECT_EQ(testing::readBytes(dir / "foreign.wav"), foreign);
    EXPECT_TRUE(logs.contains("WavWriter", "Cannot repair short.wav: shorter than a WAVE header"));
    EXPECT_TRUE(logs.contains("WavWriter", "Cannot repair foreign.wav: not a RIFF file"));
    EXPECT_TRUE(logs.contains("WavWriter", "Cannot repair folder.wav: open failed (errno 21)"));
    for (const auto& entry : logs.entries())
        EXPECT_EQ(entry.level, LogLevel::error) << entry.message;
}

TEST(WavRepair, OpenAndHeaderReadFailuresCarryTheirErrno) {
    testing::TempDir dir;
    const auto file = dir / "a.wav";
    const std::string bytes = crashed(testing::sampleBytes(0, 10));
    testing::writeBytes(file, bytes);

    ScriptedFileIO denied;
    denied.openErrno = EACCES;
    EXPECT_EQ(repairWavFile(file, denied), Result::failed("open failed (errno 13)"));

    ScriptedFileIO badDisk;
    badDisk.preadErrno = EIO;
    EXPECT_EQ(repairWavFile(file, badDisk), Result::failed("header read failed (errno 5)"));
    EXPECT_EQ(testing::readBytes(file), bytes);
}

TEST(WavRepair, AFailureWhileWritingTheRepairIsReportedAsUnreadable) {
    testing::TempDir dir;
    const auto file = dir / "capture-B.wav";
    testing::writeBytes(file, crashed(testing::sampleBytes(0, 10)));
    ScriptedFileIO readOnlyDisk;
    readOnlyDisk.pwriteErrno = EROFS;
    EXPECT_THROW(repairWavFile(file, readOnlyDisk), WavRepairError);

    LogCapture logs;
    EXPECT_TRUE(repairIncompleteCaptures(dir.path(), readOnlyDisk).empty());
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Cannot repair capture-B.wav: unreadable"});
}

TEST(WavRepair, OnlyWavFilesOfAnyCaseAreExamined) {
    testing::TempDir dir;
    const std::string incomplete = crashed(testing::sampleBytes(0, 4));
    testing::writeBytes(dir / "LOUD.WAV", incomplete);
    testing::writeBytes(dir / "capture-X.json", incomplete);
    testing::writeBytes(dir / "notes.wav.txt", incomplete);
    testing::writeBytes(dir / "wav", incomplete);

    EXPECT_EQ(repairIncompleteCaptures(dir.path()),
              std::vector<std::filesystem::path>{dir / "LOUD.WAV"});
    EXPECT_EQ(testing::readBytes(dir / "capture-X.json"), incomplete);
    EXPECT_EQ(testing::readBytes(dir / "notes.wav.txt"), incomplete);
    EXPECT_EQ(testing::readBytes(dir / "wav"), incomplete);
}

TEST(WavRepair, AMissingDirectoryYieldsNothing) {
    testing::TempDir dir;
    EXPECT_TRUE(repairIncompleteCaptures(dir / "Captures").empty());
}

// The repair runs while the user may already be recording: the writer's lock keeps it
// off the live file, and the file is repaired at a later launch once the lock is gone.
TEST(WavRepair, AFileARunningCaptureIsWritingIsSkipped) {
    testing::TempDir dir;
    const auto file = dir / "capture-L.wav";
    auto writer = std::make_unique<WavWriter>(file, 16'000, 1, 16);
    const auto block = testing::samples(0, 1'600);
    writer->append(block.data(), 1'600);
    const std::string live = testing::readBytes(file);
    LogCapture logs;

    EXPECT_EQ(repairWavFile(file), Result::inUse());
    EXPECT_TRUE(repairIncompleteCaptures(dir.path()).empty());
    EXPECT_EQ(testing::readBytes(file), live);
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Skipped capture-L.wav: a running capture is writing it"});

    writer->append(block.data(), 1'600);
    writer.reset();  // as a crash would: the header still says 0
    EXPECT_EQ(repairIncompleteCaptures(dir.path()), std::vector<std::filesystem::path>{file});
    EXPECT_EQ(testing::u32At(testing::readBytes(file), 40), 6'400U);
}

// Sparse files stand in for captures of about 37 hours.
TEST(WavRepair, AFileTooLongForThe32BitSizesIsReportedNotWrapped) {
    testing::TempDir dir;
    const std::int64_t largestDescribable = 4'294'967'259;  // audio + 36 is 0xFFFFFFFF

    const auto fits = dir / "fits.wav";
    testing::writeBytes(fits, crashed(""));
    std::filesystem::resize_file(fits, 44 + largestDescribable);  // odd: one torn byte
    EXPECT_EQ(repairWavFile(fits), Result::repaired(largestDescribable - 1));
    EXPECT_EQ(std::filesystem::file_size(fits), 44U + largestDescribable - 1);
    EXPECT_EQ(headerOf(fits), withSizes(crashed(""), 0xFFFF'FFFE, 0xFFFF'FFDA));

    const auto tooLong = dir / "long.wav";
    testing::writeBytes(tooLong, crashed(""));
    std::filesystem::resize_file(tooLong, 44 + largestDescribable + 1);
    EXPECT_EQ(repairWavFile(tooLong),
              Result::failed("4294967260 audio bytes are more than a WAVE header can describe"));
    EXPECT_EQ(std::filesystem::file_size(tooLong), 44U + largestDescribable + 1);
    EXPECT_EQ(headerOf(tooLong), testing::openCaptureHeader());
}

}  // namespace
}  // namespace kavo
