#include <gtest/gtest.h>

#include "capture/files/WavRepair.h"
#include "capture/files/WavWriter.h"
#include "support/TempDir.h"
#include "unit/files/FileTestSupport.h"

namespace kavo {
namespace {

using Result = WavRepairResult;
using testing::ScriptedFileIO;
using testing::withSizes;

// A capture as a crash leaves it: the header as opened, then `audio` bytes.
std::string crashed(const std::string& audio) {
    return testing::openCaptureHeader() + audio;
}

void writeSidecar(const std::filesystem::path& dir, const std::string& id) {
    testing::sidecarAtStart(id).write(dir / ("capture-" + id + ".json"));
}

TEST(WavRepair, RewritesTheSizesFromTheLength) {
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
        // A close after failed appends declares less than the file holds.
        {"sizes too small", withSizes(crashed(audio), 36 + 150, 150), Result::repaired(200), fixed,
         Result::alreadyValid()},
        {"riff size only", withSizes(crashed(audio), 0, 200), Result::repaired(200), fixed,
         Result::alreadyValid()},
        // A data size of 0 is never "already valid".
        {"header only", crashed(""), Result::repaired(0), withSizes(crashed(""), 36, 0),
         Result::repaired(0)},
    };
    testing::TempDir dir;
    writeSidecar(dir.path(), "A");
    const auto file = dir / "capture-A.wav";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::writeBytes(file, c.before);
        EXPECT_EQ(repairWavFile(file), c.result);
        EXPECT_EQ(testing::readBytes(file), c.after);
        EXPECT_EQ(repairWavFile(file), c.again);
    }

    // An ended capture's sidecar keeps its length (a started one's takes the audio's).
    auto ended = testing::sidecarAtStart("A");
    ended.endedAt = "2026-03-02T09:15:09.000Z";
    ended.durationSeconds = 9;
    ended.write(dir / "capture-A.json");
    testing::writeBytes(file, crashed(testing::sampleBytes(0, 8'000)));
    EXPECT_EQ(repairIncompleteCaptures(dir.path()).size(), 1U);
    EXPECT_EQ(CaptureSidecar::read(dir / "capture-A.json"), ended);
    // Before the first recording there is no folder to repair.
    EXPECT_TRUE(repairIncompleteCaptures(dir / "Captures").empty());
}

// A file is this program's capture only with its exact header and its sidecar beside it,
// and only a regular file is opened. Everything else, however much like a capture it
// looks, keeps every byte, and so does everything beside it.
TEST(WavRepair, FilesThisProgramDidNotWriteAreLeftByteForByte) {
    const std::string audio = testing::sampleBytes(0, 50);
    // Another program's tags between the format and the audio.
    const std::string tagged = crashed("").substr(0, 36) + std::string("LIST\x04\0\0\0INFO", 12) +
                               crashed("").substr(36) + audio;
    auto otherFile = testing::sidecarAtStart("A");
    otherFile.audioFileName = "capture-B.wav";
    const auto layout = Result::notOurs("not this program's audio layout");
    const auto otherAudio = Result::notOurs("its sidecar describes other audio");
    const auto notRegular = Result::notOurs("not a regular file");
    const auto own = testing::sidecarAtStart("A").encode();
    using Place = std::function<void(const std::filesystem::path&)>;
    const auto bytes = [](std::string content) -> Place {
        return [content](const auto& file) { testing::writeBytes(file, content); };
    };
    struct Case {
        const char* name;
        Place place;
        std::string sidecar;  // none when empty
        Result result;
    };
    const std::vector<Case> cases = {
        {"metadata before the audio", bytes(tagged), own, layout},
        {"own header, no sidecar", bytes(crashed(audio + "\x7f")), "",
         Result::notOurs("no capture sidecar beside it")},
        {"sidecar of another file", bytes(crashed(audio)), otherFile.encode(), otherAudio},
        {"unreadable sidecar", bytes(crashed(audio)), "[]",
         Result::notOurs("its sidecar cannot be read (The capture sidecar is not valid: \"top "
                         "level\" is not an object)")},
        {"a link to a crashed capture",
         [&](const auto& file) {
             testing::writeBytes(file.parent_path() / "elsewhere.bin", crashed(audio + "\x7f"));
             std::filesystem::create_symlink(file.parent_path() / "elsewhere.bin", file);
         },
         own, notRegular},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TempDir dir;
        const auto file = dir / "capture-A.wav";
        c.place(file);
        if (!c.sidecar.empty()) testing::writeBytes(dir / "capture-A.json", c.sidecar);
        const auto before = testing::snapshot(dir.path());
        EXPECT_EQ(repairWavFile(file), c.result);
        EXPECT_TRUE(repairIncompleteCaptures(dir.path()).empty());
        EXPECT_EQ(repairCapture(file), c.result);
        EXPECT_EQ(testing::snapshot(dir.path()), before);
    }
}

// The causes are told in words, not numbers.
TEST(WavRepair, ACaptureThatCannotBeRepairedSaysWhyAndIsUntouched) {
    testing::TempDir dir;
    writeSidecar(dir.path(), "B");
    const auto file = dir / "capture-B.wav";
    const std::string bytes = crashed(testing::sampleBytes(0, 10));
    testing::writeBytes(file, bytes);
    ScriptedFileIO denied, readOnlyDisk;
    denied.openErrno = EACCES;
    readOnlyDisk.pwriteErrno = EROFS;
    EXPECT_EQ(repairWavFile(file, denied), Result::failed("open failed (Permission denied)"));
    EXPECT_THROW(repairWavFile(file, readOnlyDisk), WavRepairError);
    EXPECT_TRUE(repairIncompleteCaptures(dir.path(), readOnlyDisk).empty());
    EXPECT_EQ(testing::readBytes(file), bytes);
}

// The repair runs while the user may already be recording: the writer's lock keeps it
// off the live file, which is repaired at a later launch once the lock is gone.
TEST(WavRepair, AFileARunningCaptureIsWritingIsSkippedUntilItsWriterIsGone) {
    testing::TempDir dir;
    writeSidecar(dir.path(), "L");
    const auto file = dir / "capture-L.wav";
    auto writer = std::make_unique<WavWriter>(file, 16'000, 1, 16);
    const auto block = testing::samples(0, 1'600);
    writer->append(block.data(), 1'600);
    const std::string live = testing::readBytes(file);

    EXPECT_EQ(repairWavFile(file), Result::inUse());
    EXPECT_TRUE(repairIncompleteCaptures(dir.path()).empty());
    EXPECT_EQ(testing::readBytes(file), live);

    writer->append(block.data(), 1'600);
    writer.reset();  // as a crash would: the header still says 0
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
    for (const char* id : {"fits", "long"}) {
        writeSidecar(dir.path(), id);
        testing::writeBytes(dir / ("capture-" + std::string(id) + ".wav"), crashed(""));
    }
    const auto fits = dir / "capture-fits.wav";
    std::filesystem::resize_file(fits, 44 + largestDescribable);  // odd: one torn byte
    EXPECT_EQ(repairWavFile(fits), Result::repaired(largestDescribable - 1));
    EXPECT_EQ(header(fits), withSizes(crashed(""), 0xFFFF'FFFE, 0xFFFF'FFDA));

    const auto tooLong = dir / "capture-long.wav";
    std::filesystem::resize_file(tooLong, 44 + largestDescribable + 1);
    EXPECT_EQ(repairWavFile(tooLong).kind, WavRepairResult::Kind::failed);
    EXPECT_EQ(std::filesystem::file_size(tooLong), 44U + largestDescribable + 1);
    EXPECT_EQ(header(tooLong), testing::openCaptureHeader());
}

}  // namespace
}  // namespace kavo
