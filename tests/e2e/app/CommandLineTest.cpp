// The command line as a person meets it: each command run as its own process against a
// private audio server and the dev stack, judged by what it prints and its exit code.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <memory>

#include "AppHarness.h"
#include "capture/files/CaptureSidecar.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/PulseDaemon.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAccountLine = "Contoso Meetings Lab \u2014 avery.quinn@contoso.test";
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

// Before anything is sent and before any sign-in: what `upload` is given must be a capture
// of this program. Neither the file named nor anything beside it is changed.
TEST(CommandLineUpload, AFileThatIsNoCaptureIsRefusedAndNothingInItsFolderChanges) {
    const e2e::AppHome home;
    const auto folder = home.path() / "Desktop";
    std::filesystem::create_directories(folder);
    const auto write = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(folder / name, std::ios::binary) << bytes;
    };
    // A song of someone else's beside them, its sizes left 0: metadata before the audio.
    write("song.wav", std::string("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0"
                                  "\x10\xb1\x02\0\x04\0\x10\0LIST\x04\0\0\0INFOdata\0\0\0\0",
                                  56) +
                          std::string(400, '\x05'));
    write("capture-T.wav", "Minutes of the meeting\n");
    write("capture-P.wav", "\x89PNG\r\n\x1a\n" + std::string(100, '\0'));
    const auto contents = [&] {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            files[entry.path().filename().string()] = e2e::readBytes(entry.path());
        return files;
    };
    for (const std::string id : {"T", "P"}) {
        CaptureSidecar sidecar;
        sidecar.captureId = id;
        sidecar.audioFileName = "capture-" + id + ".wav";
        sidecar.startedAt = "2026-03-02T09:15:00.000Z";
        sidecar.write(folder / ("capture-" + id + ".json"));
    }
    const auto before = contents();
    for (const std::string id : {"T", "P"}) {
        const auto file = folder / ("capture-" + id + ".wav");
        const auto refused = home.run({"upload", file.string()}, 30s);
        EXPECT_EQ(refused.status, 1) << shown(refused);
        EXPECT_EQ(refused.err, "Cannot upload " + file.string() + ": capture-" + id +
                                   ".wav is not a WAVE recording.\n")
            << shown(refused);
    }
    EXPECT_EQ(contents(), before);
}

// One audio server and one dev stack for the suite; every test has a home of its own. A
// server that does not start fails every test (gtest would skip them on a throw here).
class CommandLine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            daemon_ = std::make_unique<testing::PulseDaemon>();
            stack_ = std::make_unique<testing::DevStack>(transport_);
        } catch (const std::exception& error) {
            startError_ = error.what();
        }
    }
    static void TearDownTestSuite() {
        stack_.reset();
        daemon_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(daemon_ && stack_) << startError_;
        stack_->adminPost("/reset", nlohmann::json::object());
        // Codes polled every second, recordings delivered at the first status read.
        stack_->adminPatch("/settings", {{"identity", {{"deviceCode", {{"intervalSeconds", 1}}}}},
                                         {"api", {{"deliverAfterReads", 0}}}});
    }

    static inline std::unique_ptr<testing::PulseDaemon> daemon_;
    static inline linux_platform::CurlGlobal curl_;
    static inline std::shared_ptr<HTTPTransport> transport_ =
        std::make_shared<linux_platform::CurlTransport>(curl_);
    static inline std::unique_ptr<testing::DevStack> stack_;
    static inline std::string startError_;
    e2e::AppHome home_{stack_ ? stack_->endpoints().dump() : ""};
};

// Two recordings: the newer, listed first, sent by hand, the other by `upload --pending`;
// the account shown by sign-in and status until sign-out.
TEST_F(CommandLine, RecordingsAreListedUploadedStageByStageAndThenListedAsUploaded) {
    const auto captures = home_.capturesDirectory();
    const auto none = home_.run({"captures"});
    EXPECT_EQ(none.status, 0) << shown(none);
    EXPECT_TRUE(has(none.out, "No captures in " + captures.string())) << shown(none);
    for (const char* seconds : {"1", "2"}) {
        const auto record = home_.run({"record", "--seconds", seconds});
        ASSERT_EQ(record.status, 0) << shown(record);
    }

    // A row each, with the length the sidecar holds in whole seconds, and what waits.
    const auto rows = linesOf(home_.run({"captures"}).out);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2], "2 recordings waiting to upload. Run: kavo-meetings upload --pending");
    const std::string captureId = rows[0].substr(0, rows[0].find(' '));
    const auto wav = captures / ("capture-" + captureId + ".wav");
    const auto sidecar = CaptureSidecar::read(captures / ("capture-" + captureId + ".json"));
    EXPECT_NEAR(sidecar.durationSeconds, 2.0, 0.5);
    EXPECT_TRUE(has(rows[0], "\u2014 0:0" + std::to_string(int(sidecar.durationSeconds)) +
                                 " \u2014 Not uploaded"))
        << rows[0];

    // Recording needs no account; uploading does.
    const auto signedOut = home_.run({"upload", captureId}, 30s);
    EXPECT_EQ(signedOut.status, 1) << shown(signedOut);
    EXPECT_TRUE(has(signedOut.out, kNotSignedIn)) << shown(signedOut);
    EXPECT_TRUE(has(home_.run({"status"}).out, kNotSignedIn));
    EXPECT_TRUE(stack_->adminGet("/recordings").at("recordings").empty());
    const auto signIn = home_.run({"sign-in", "--device-code"});
    ASSERT_EQ(signIn.status, 0) << shown(signIn);
    const auto code = signIn.out.find("To sign in, use a web browser to open the page ");
    EXPECT_TRUE(code < signIn.out.find(kAccountLine) && has(signIn.out, kAccountLine))
        << "the account is shown once the code was used\n"
        << shown(signIn);
    EXPECT_TRUE(has(home_.run({"status"}).out, kAccountLine));

    // Named by its audio file, as a file manager would hand it over. Standard output is a
    // file here, so each stage is a line of its own, in order, and nothing else is printed
    // but the account and the recording.
    const auto upload = home_.run({"upload", wav.string()}, 90s);
    ASSERT_EQ(upload.status, 0) << shown(upload);
    const auto lines = linesOf(upload.out);
    std::vector<std::string> stages;
    for (const auto& line : lines) {
        EXPECT_EQ(line.find('\r'), std::string::npos) << "terminal control in a log: " << line;
        if (!line.starts_with("Preparing upload") && !line.starts_with("Uploading") &&
            !line.starts_with("Finishing upload") && line != "Uploaded") {
            EXPECT_TRUE(line == kAccountLine || line.starts_with("Recording ")) << line;
            continue;
        }
        if (stages.empty() || !line.starts_with(stages.back().substr(0, 9))) stages.push_back(line);
    }
    ASSERT_GE(stages.size(), 4u) << shown(upload);
    EXPECT_EQ(stages[0], "Preparing upload");
    EXPECT_TRUE(stages[1].starts_with("Uploading")) << stages[1];
    EXPECT_EQ(stages[stages.size() - 2], "Finishing upload");
    EXPECT_EQ(stages.back(), "Uploaded");
    ASSERT_TRUE(lines.back().starts_with("Recording ")) << shown(upload);
    const std::string recordingId = lines.back().substr(std::string("Recording ").size());
    EXPECT_EQ(stack_->adminGet("/recordings/" + recordingId).at("state"), "DELIVERED");

    const auto pending = home_.run({"upload", "--pending"}, 120s);
    ASSERT_EQ(pending.status, 0) << shown(pending);
    EXPECT_TRUE(has(pending.out, "Every recording is uploaded.")) << shown(pending);
    EXPECT_EQ(stack_->adminGet("/recordings").at("recordings").size(), 2u);
    EXPECT_EQ(home_.run({"upload", "--pending"}, 60s).out,
              std::string(kAccountLine) + "\nNothing is waiting to upload.\n");

    const auto uploaded = home_.run({"captures"});
    EXPECT_TRUE(has(uploaded.out, captureId) && has(uploaded.out, "\u2014 Uploaded") &&
                !has(uploaded.out, "Not uploaded") && !has(uploaded.out, "waiting") &&
                has(uploaded.out, "recording " + recordingId))
        << shown(uploaded);
    // Again, by its id: nothing is sent twice. One that is not there says where it looked.
    const auto again = home_.run({"upload", captureId}, 30s);
    EXPECT_TRUE(again.status == 0 && has(again.out, "Already uploaded as recording " + recordingId))
        << shown(again);
    EXPECT_EQ(stack_->adminGet("/recordings").at("recordings").size(), 2u);
    const auto unknown = home_.run({"upload", "no-such-capture"}, 30s);
    EXPECT_TRUE(unknown.status == 1 && has(unknown.err, captures.string())) << shown(unknown);

    const auto signOut = home_.run({"sign-out"});
    EXPECT_EQ(signOut.status, 0) << shown(signOut);
    const auto after = home_.run({"status"});
    EXPECT_TRUE(has(after.out, kNotSignedIn) && !has(after.out, kAccountLine)) << shown(after);
}

// Ctrl-C and SIGTERM end a command that waits for a person or a server at once; what
// it leaves lets the same command run again.
TEST_F(CommandLine, SignInAndUploadStopPromptlyOnCtrlCAndSigterm) {
    stack_->adminPatch("/settings",
                       {{"identity", {{"deviceCode", {{"autoApproveAfterPolls", nullptr}}}}}});
    auto waiting = home_.start("sign-in", {"sign-in", "--device-code"});
    ASSERT_TRUE(e2e::waitUntil([&] { return has(waiting.out(), "To sign in"); }, 30s))
        << waiting.out() << waiting.err();
    waiting.signal(SIGINT);
    EXPECT_EQ(waiting.wait(5s), 128 + SIGINT) << waiting.out() << waiting.err();
    EXPECT_TRUE(has(waiting.err(), "Sign-in stopped.")) << waiting.err();

    stack_->adminPatch("/settings",
                       {{"identity", {{"deviceCode", {{"autoApproveAfterPolls", 0}}}}}});
    ASSERT_EQ(home_.run({"sign-in", "--device-code"}).status, 0);
    ASSERT_EQ(home_.run({"record", "--seconds", "1"}).status, 0);
    const auto rows = linesOf(home_.run({"captures"}).out);
    ASSERT_EQ(rows.size(), 2u) << "the capture and the line on what waits";
    const std::string captureId = rows[0].substr(0, rows[0].find(' '));
    stack_->adminPost("/faults", {{"endpoint", "init"}, {"stall", true}, {"times", "always"}});
    auto stalled = home_.start("upload", {"upload", captureId});
    ASSERT_TRUE(e2e::waitUntil([&] { return has(stalled.out(), "Preparing upload"); }, 30s))
        << stalled.out() << stalled.err();
    stalled.signal(SIGTERM);
    EXPECT_EQ(stalled.wait(5s), 128 + SIGTERM) << stalled.out() << stalled.err();
    EXPECT_TRUE(has(stalled.err(), "Upload stopped.")) << stalled.err();

    stack_->adminDelete("/faults");
    const auto again = home_.run({"upload", captureId}, 90s);
    EXPECT_EQ(again.status, 0) << shown(again);
}

// One failing check fails the command; the rest are still checked.
TEST_F(CommandLine, DoctorPassesWithTheAudioServerAndFailsWithoutIt) {
    const auto healthy = home_.run({"doctor"}, 40s);
    EXPECT_EQ(healthy.status, 0) << shown(healthy);
    EXPECT_TRUE(has(healthy.out, "ok    microphone: mic") && !has(healthy.out, "FAIL"))
        << shown(healthy);
    const auto lost = (home_.path() / "gone.json").string();
    using Case = std::tuple<std::string, std::string, std::string, std::string>;
    for (const auto& [variable, value, failure, stillOk] :
         {Case{"PULSE_SERVER", "unix:" + (home_.path() / "no-server").string(),
               "FAIL  audio server", "ok    tenant discovery: "},
          Case{"KAVO_ENDPOINTS", lost,
               "FAIL  endpoints: The endpoints file " + lost + " does not exist.",
               "ok    audio server: connected"}}) {
        const auto result = home_.run({"doctor"}, 40s, {{variable, value}});
        EXPECT_EQ(result.status, 1) << shown(result);
        EXPECT_TRUE(has(result.out, failure) && has(result.out, stillOk) &&
                    has(result.out, "ok    captures folder: "))
            << shown(result);
    }
}

}  // namespace
}  // namespace kavo
