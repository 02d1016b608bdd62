// The command line as a person meets it: each command run as its own process, judged by
// what it prints and its exit code.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "AppHarness.h"
#include "capture/files/CaptureSidecar.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/PulseDaemon.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNotSignedIn = "Not signed in. Run: kavo-meetings sign-in";

std::string shown(const e2e::CommandResult& result) {
    return "exit " + std::to_string(result.status) + "\n--- stdout\n" + result.out +
           "--- stderr\n" + result.err;
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Before any sign-in, a file that is no capture of ours is refused and nothing beside it changes.
TEST(CommandLineUpload, AFileThatIsNoCaptureIsRefusedAndNothingInItsFolderChanges) {
    const e2e::AppHome home;
    const auto folder = home.path() / "Desktop";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "capture-T.wav") << "Minutes of the meeting\n";
    CaptureSidecar sidecar;
    sidecar.captureId = "T";
    sidecar.audioFileName = "capture-T.wav";
    sidecar.startedAt = "2026-03-02T09:15:00.000Z";
    sidecar.write(folder / "capture-T.json");
    const auto contents = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            files[entry.path().filename().string()] = e2e::readBytes(entry.path());
        return files;
    };
    const auto before = contents();
    const auto file = folder / "capture-T.wav";
    const auto refused = home.run({"upload", file.string()}, 30s);
    EXPECT_EQ(refused.status, 1) << shown(refused);
    EXPECT_EQ(refused.err,
              "Cannot upload " + file.string() + ": capture-T.wav is not a WAVE recording.\n")
        << shown(refused);
    EXPECT_EQ(contents(), before);
}

// From the first recording to its upload; sign-in and upload stopped by Ctrl-C and SIGTERM.
TEST(CommandLine, ARecordingIsListedAndUploadedOnceAfterSignIn) {
    testing::PulseDaemon daemon;
    linux_platform::CurlGlobal curl;
    testing::DevStack stack(std::make_shared<linux_platform::CurlTransport>(curl));
    // Codes polled every second and left waiting; recordings delivered at the first read.
    stack.adminPatch(
        "/settings",
        {{"identity",
          {{"deviceCode", {{"intervalSeconds", 1}, {"autoApproveAfterPolls", nullptr}}}}},
         {"api", {{"deliverAfterReads", 0}}}});
    const e2e::AppHome home(stack.endpoints().dump());
    const auto record = home.run({"record", "--seconds", "1"});
    ASSERT_EQ(record.status, 0) << shown(record);
    const auto rows = linesOf(home.run({"captures"}).out);
    ASSERT_EQ(rows.size(), 2u) << "the recording and the line of those waiting";
    const std::string captureId = rows[0].substr(0, rows[0].find(' '));

    // Recording needs no account; uploading does.
    const auto signedOut = home.run({"upload", captureId}, 30s);
    EXPECT_TRUE(signedOut.status == 1 && has(signedOut.out, kNotSignedIn)) << shown(signedOut);
    auto waiting = home.start("sign-in", {"sign-in", "--device-code"});
    ASSERT_TRUE(e2e::waitUntil([&] { return has(waiting.out(), "To sign in"); }, 30s))
        << waiting.out() << waiting.err();
    waiting.signal(SIGINT);
    EXPECT_EQ(waiting.wait(5s), 128 + SIGINT) << waiting.out() << waiting.err();
    EXPECT_TRUE(has(waiting.err(), "Sign-in stopped.")) << waiting.err();
    stack.adminPatch("/settings", {{"identity", {{"deviceCode", {{"autoApproveAfterPolls", 0}}}}}});
    const auto signIn = home.run({"sign-in", "--device-code"});
    ASSERT_EQ(signIn.status, 0) << shown(signIn);

    // A server that never answers: SIGTERM ends the wait, and the upload can run again.
    stack.adminPost("/faults", {{"endpoint", "init"}, {"stall", true}, {"times", "always"}});
    auto stalled = home.start("upload", {"upload", captureId});
    ASSERT_TRUE(e2e::waitUntil([&] { return has(stalled.out(), "Preparing upload"); }, 30s))
        << stalled.out() << stalled.err();
    stalled.signal(SIGTERM);
    EXPECT_EQ(stalled.wait(5s), 128 + SIGTERM) << stalled.out() << stalled.err();
    EXPECT_TRUE(has(stalled.err(), "Upload stopped.")) << stalled.err();
    stack.adminDelete("/faults");

    // Named by its audio file, as a file manager would hand it over.
    const auto wav = home.capturesDirectory() / ("capture-" + captureId + ".wav");
    const auto upload = home.run({"upload", wav.string()}, 90s);
    ASSERT_EQ(upload.status, 0) << shown(upload);
    const auto lines = linesOf(upload.out);
    ASSERT_TRUE(lines.size() >= 2 && lines[lines.size() - 2] == "Uploaded" &&
                lines.back().starts_with("Recording "))
        << shown(upload);
    const std::string recordingId = lines.back().substr(std::string("Recording ").size());
    EXPECT_EQ(stack.adminGet("/recordings/" + recordingId).at("state"), "DELIVERED");

    const auto sent = stack.adminGet("/recordings").at("recordings").size();
    // Again, by its id: nothing is sent twice.
    const auto again = home.run({"upload", captureId}, 30s);
    EXPECT_TRUE(again.status == 0 && has(again.out, "Already uploaded as recording " + recordingId))
        << shown(again);
    EXPECT_EQ(stack.adminGet("/recordings").at("recordings").size(), sent);
}

}  // namespace
}  // namespace kavo
