#include <gtest/gtest.h>

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

std::string withBlockAlign(std::string bytes, char align) {
    bytes[32] = align;
    return bytes;
}

TEST(WavRepair, RewritesTheSizesFromTheLengthCutToWholeBlocks) {
    const std::string audio = testing::sampleBytes(0, 100);
    const std::string fixed = withSizes(crashed(audio), 36 + 200, 200);
    struct Case {
        const char* name;
        std::string before;
        Result result;
        std::string after;
        Result again;
    };
    const std::vector<Case> cases = {
        {"torn sample", crashed(audio + "\x7f"), Result::repaired(200), fixed,
         Result::alreadyValid()},
        // A close after failed appends declares less than the file holds.
        {"sizes too small", withSizes(crashed(audio), 36 + 150, 150), Result::repaired(200), fixed,
         Result::alreadyValid()},
        {"riff size only", withSizes(crashed(audio), 0, 200), Result::repaired(200), fixed,
         Result::alreadyValid()},
        // A data size of 0 is never "already valid".
        {"header only", crashed(""), Result::repaired(0), withSizes(crashed(""), 36, 0),
         Result::repaired(0)},
        {"torn stereo frame", withBlockAlign(crashed(audio + "abc"), 4), Result::repaired(200),
         withBlockAlign(fixed, 4), Result::alreadyValid()},
        {"block align 0", withBlockAlign(crashed("xyz"), 0), Result::repaired(3),
         withBlockAlign(withSizes(crashed("xyz"), 39, 3), 0), Result::alreadyValid()},
    };
    testing::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::writeBytes(dir / "a.wav", c.before);
        EXPECT_EQ(repairWavFile(dir / "a.wav"), c.result);
        EXPECT_EQ(testing::readBytes(dir / "a.wav"), c.after);
        EXPECT_EQ(repairWavFile(dir / "a.wav"), c.again);
    }
}

// Giving a crashed capture's sidecar its repaired length is shown end to end by
// CrashSafetyTest; here, the sidecars that must be left alone.
TEST(WavRepair, AnEndedCapturesSidecarAndAnUnreadableOneAreLeftAsTheyAre) {
    testing::TempDir dir;
    auto ended = testing::sidecarAtStart("A", "2026-03-02T09:15:00.000Z");
    ended.endedAt = "2026-03-02T09:15:09.000Z";
    ended.durationSeconds = 9;
    ended.write(dir / "capture-A.json");
    testing::writeBytes(dir / "capture-B.json", "{not json");
    for (const char* wav : {"capture-A.wav", "capture-B.wav"})
        testing::writeBytes(dir / wav, crashed(testing::sampleBytes(0, 8'000)));
    LogCapture logs;

    EXPECT_EQ(repairIncompleteCaptures(dir.path()).size(), 2u);
    EXPECT_EQ(CaptureSidecar::read(dir / "capture-A.json"), ended);
    EXPECT_EQ(testing::readBytes(dir / "capture-B.json"), "{not json");
    EXPECT_TRUE(logs.contains("WavWriter",
                              "Could not give the sidecar of capture-B.wav its repaired length: "));
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

TEST(WavRepair, FailedOpenReadAndWriteCarryTheirCause) {
    testing::TempDir dir;
    const auto file = dir / "capture-B.wav";
    const std::string bytes = crashed(testing::sampleBytes(0, 10));
    testing::writeBytes(file, bytes);
    ScriptedFileIO denied, badDisk, readOnlyDisk;
    denied.openErrno = EACCES;
    badDisk.preadErrno = EIO;
    readOnlyDisk.pwriteErrno = EROFS;
    EXPECT_EQ(repairWavFile(file, denied), Result::failed("open failed (errno 13)"));
    EXPECT_EQ(repairWavFile(file, badDisk), Result::failed("header read failed (errno 5)"));
    EXPECT_EQ(testing::readBytes(file), bytes);
    EXPECT_THROW(repairWavFile(file, readOnlyDisk), WavRepairError);

    LogCapture logs;
    EXPECT_TRUE(repairIncompleteCaptures(dir.path(), readOnlyDisk).empty());
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Cannot repair capture-B.wav: unreadable"});
}

TEST(WavRepair, OnlyWavFilesOfAnyCaseInAnExistingFolderAreExamined) {
    testing::TempDir dir;
    const std::string incomplete = crashed(testing::sampleBytes(0, 4));
    for (const char* name : {"LOUD.WAV", "capture-X.json", "notes.wav.txt", "wav"})
        testing::writeBytes(dir / name, incomplete);
    LogCapture logs;
    EXPECT_EQ(repairIncompleteCaptures(dir.path()),
              std::vector<std::filesystem::path>{dir / "LOUD.WAV"});
    for (const char* name : {"capture-X.json", "notes.wav.txt", "wav"})
        EXPECT_EQ(testing::readBytes(dir / name), incomplete) << name;
    EXPECT_EQ(logs.messages("WavWriter"),
              std::vector<std::string>{"Repaired LOUD.WAV: data=8 bytes"});
    EXPECT_TRUE(repairIncompleteCaptures(dir / "Captures").empty());
}

// The repair runs while the user may already be recording: the writer's lock keeps it
// off the live file, which is repaired at a later launch once the lock is gone.
TEST(WavRepair, AFileARunningCaptureIsWritingIsSkippedUntilItsWriterIsGone) {
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
    EXPECT_EQ(testing::readBytes(file).substr(0, 44), testing::openCaptureHeader());
    EXPECT_EQ(repairIncompleteCaptures(dir.path()), std::vector<std::filesystem::path>{file});
    EXPECT_EQ(testing::readBytes(file),
              withSizes(crashed(testing::sampleBytes(0, 1'600) + testing::sampleBytes(0, 1'600)),
                        36 + 6'400, 6'400));
}

// Sparse files stand in for captures of about 37 hours.
TEST(WavRepair, AFileTooLongForThe32BitSizesIsReportedNotWrapped) {
    testing::TempDir dir;
    const std::int64_t largestDescribable = 4'294'967'259;  // audio + 36 is 0xFFFFFFFF
    const auto header = [](const std::filesystem::path& file) {
        std::string bytes(44, '\0');
        std::ifstream(file, std::ios::binary).read(bytes.data(), 44);
        return bytes;
    };

    const auto fits = dir / "fits.wav";
    testing::writeBytes(fits, crashed(""));
    std::filesystem::resize_file(fits, 44 + largestDescribable);  // odd: one torn byte
    EXPECT_EQ(repairWavFile(fits), Result::repaired(largestDescribable - 1));
    EXPECT_EQ(std::filesystem::file_size(fits), 44U + largestDescribable - 1);
    EXPECT_EQ(header(fits), withSizes(crashed(""), 0xFFFF'FFFE, 0xFFFF'FFDA));

    const auto tooLong = dir / "long.wav";
    testing::writeBytes(tooLong, crashed(""));
    std::filesystem::resize_file(tooLong, 44 + largestDescribable + 1);
    EXPECT_EQ(repairWavFile(tooLong),
              Result::failed("4294967260 audio bytes are more than a WAVE header can describe"));
    EXPECT_EQ(std::filesystem::file_size(tooLong), 44U + largestDescribable + 1);
    EXPECT_EQ(header(tooLong), testing::openCaptureHeader());
}

}  // namespace
}  // namespace kavo
