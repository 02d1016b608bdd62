// The command line as a person meets it: each command run as its own process against a
// private audio server and the dev stack, judged by what it prints and its exit code.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "AppHarness.h"
#include "capture/files/CaptureSidecar.h"
#include "platform/linux/CurlGlobal.h"
#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"
#include "support/PulseDaemon.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kAccountLine = "Contoso Meetings Lab \u2014 avery.quinn@contoso.test";
constexpr const char* kNotSignedIn = "Not signed in. Run: kavo-meetings sign-in";

std::string shown(const e2e::CommandResult& result) {
    return "exit " + std::to_string(result.status) + "\n--- stdout\n" + result.out + "--- stderr\n" + result.err;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

TEST(CommandLineHelp, EveryCommandSaysWhatItDoesAndExitsZero) {
    const e2e::AppHome home;
    const auto top = home.run({"--help"}, 20s);
    EXPECT_EQ(top.status, 0) << shown(top);
    EXPECT_NE(top.out.find("records meetings and delivers them to your Kavo server"), std::string::npos)
        << shown(top);

    struct Command {
        std::string name;
        std::vector<std::string> describedBy;  // the description and its options
    };
    const std::vector<Command> commands = {
        {"tray", {"Run in the system tray", "--print-menu", "--save-menu"}},
        {"record", {"Record the microphone and the computer's audio", "--seconds"}},
        {"captures", {"List the captures on this computer with their upload state"}},
        {"upload", {"Upload one capture to your Kavo server", "CAPTURE", ".wav or .json"}},
        {"sign-in", {"Sign in with your work account", "--device-code"}},
        {"sign-out", {"Sign out and forget the account"}},
        {"status", {"Show the account, the upload in progress and the recent captures"}},
        {"doctor", {"Check the audio server, the default devices, the servers and the captures folder"}},
    };
    for (const Command& command : commands) {
        // The overview names every command.
        EXPECT_NE(top.out.find(command.name), std::string::npos) << command.name << "\n" << top.out;
        const auto help = home.run({command.name, "--help"}, 20s);
        EXPECT_EQ(help.status, 0) << command.name << "\n" << shown(help);
        for (const std::string& text : command.describedBy) {
            EXPECT_NE(help.out.find(text), std::string::npos) << command.name << " --help lacks " << text << "\n"
                                                              << help.out;
        }
    }

    // A mistake is a usage error, not a run.
    const auto wrong = home.run({"upload"}, 20s);
    EXPECT_NE(wrong.status, 0) << shown(wrong);
    EXPECT_NE((wrong.out + wrong.err).find("CAPTURE"), std::string::npos) << shown(wrong);
}

// One audio server and one dev stack for the suite; every test has a home of its own.
class CommandLine : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        daemon_ = std::make_unique<testing::PulseDaemon>();
        curl_ = std::make_unique<linux_platform::CurlGlobal>();
        transport_ = std::make_shared<linux_platform::CurlTransport>(*curl_);
        stack_ = std::make_unique<testing::DevStack>(transport_);
    }
    static void TearDownTestSuite() {
        stack_.reset();
        transport_.reset();
        curl_.reset();
        daemon_.reset();
    }

    void SetUp() override {
        stack_->adminPost("/reset", nlohmann::json::object());
        // Codes are polled every second and recordings delivered at the first status read,
        // to keep each run short.
        stack_->adminPatch("/settings", {{"identity", {{"deviceCode", {{"intervalSeconds", 1}}}}},
                                         {"api", {{"deliverAfterReads", 0}}}});
    }

    void signIn() const {
        const auto result = home_.run({"sign-in", "--device-code"});
        ASSERT_EQ(result.status, 0) << shown(result);
    }

    static std::unique_ptr<testing::PulseDaemon> daemon_;
    static std::unique_ptr<linux_platform::CurlGlobal> curl_;
    static std::shared_ptr<linux_platform::CurlTransport> transport_;
    static std::unique_ptr<testing::DevStack> stack_;

    e2e::AppHome home_{stack_->endpoints().dump()};
};

std::unique_ptr<testing::PulseDaemon> CommandLine::daemon_;
std::unique_ptr<linux_platform::CurlGlobal> CommandLine::curl_;
std::shared_ptr<linux_platform::CurlTransport> CommandLine::transport_;
std::unique_ptr<testing::DevStack> CommandLine::stack_;

TEST_F(CommandLine, SignInShowsTheCodeThenTheAccountWhichStatusShowsUntilSignOut) {
    const auto before = home_.run({"status"});
    EXPECT_EQ(before.status, 0) << shown(before);
    EXPECT_NE(before.out.find(kNotSignedIn), std::string::npos) << shown(before);

    const auto signIn = home_.run({"sign-in", "--device-code"});
    ASSERT_EQ(signIn.status, 0) << shown(signIn);
    const auto message = signIn.out.find("To sign in, use a web browser to open the page ");
    const auto account = signIn.out.find(kAccountLine);
    ASSERT_NE(message, std::string::npos) << shown(signIn);
    EXPECT_TRUE(std::regex_search(signIn.out, std::regex("and enter the code [A-Z0-9-]+ to authenticate")))
        << shown(signIn);
    ASSERT_NE(account, std::string::npos) << shown(signIn);
    EXPECT_LT(message, account) << "the account is shown once the code was used";

    const auto signedIn = home_.run({"status"});
    EXPECT_EQ(signedIn.status, 0) << shown(signedIn);
    EXPECT_NE(signedIn.out.find(kAccountLine), std::string::npos) << shown(signedIn);
    EXPECT_EQ(signedIn.out.find("Not signed in"), std::string::npos) << shown(signedIn);

    const auto signOut = home_.run({"sign-out"});
    EXPECT_EQ(signOut.status, 0) << shown(signOut);
    EXPECT_NE(signOut.out.find("Signed out."), std::string::npos) << shown(signOut);

    const auto after = home_.run({"status"});
    EXPECT_EQ(after.status, 0) << shown(after);
    EXPECT_NE(after.out.find(kNotSignedIn), std::string::npos) << shown(after);
    EXPECT_EQ(after.out.find(kAccountLine), std::string::npos) << shown(after);
}

TEST_F(CommandLine, ARecordingIsListedUploadedStageByStageAndThenListedAsUploaded) {
    const auto none = home_.run({"captures"});
    EXPECT_EQ(none.status, 0) << shown(none);
    EXPECT_NE(none.out.find("No captures in " + home_.capturesDirectory().string()), std::string::npos)
        << shown(none);

    const auto record = home_.run({"record", "--seconds", "2"});
    ASSERT_EQ(record.status, 0) << shown(record);

    const auto listed = home_.run({"captures"});
    EXPECT_EQ(listed.status, 0) << shown(listed);
    const auto rows = linesOf(listed.out);
    ASSERT_EQ(rows.size(), 1u) << shown(listed);
    const std::string captureId = rows[0].substr(0, rows[0].find(' '));
    ASSERT_FALSE(captureId.empty());
    EXPECT_TRUE(fs::exists(home_.capturesDirectory() / ("capture-" + captureId + ".wav"))) << rows[0];
    EXPECT_NE(rows[0].find("Not uploaded"), std::string::npos) << rows[0];
    // The row gives the length the sidecar holds, in whole seconds.
    const auto sidecar = CaptureSidecar::read(home_.capturesDirectory() / ("capture-" + captureId + ".json"));
    EXPECT_NEAR(sidecar.durationSeconds, 2.0, 0.5);
    const auto length = "\u2014 0:0" + std::to_string(static_cast<int>(sidecar.durationSeconds)) + " \u2014";
    EXPECT_NE(rows[0].find(length), std::string::npos) << rows[0];

    // Recording needs no account; uploading does.
    const auto signedOut = home_.run({"upload", captureId}, 30s);
    EXPECT_EQ(signedOut.status, 1) << shown(signedOut);
    EXPECT_NE(signedOut.out.find(kNotSignedIn), std::string::npos) << shown(signedOut);
    EXPECT_TRUE(stack_->adminGet("/recordings").at("recordings").empty());

    // The capture named by its audio file, as a file manager would hand it over.
    ASSERT_NO_FATAL_FAILURE(signIn());
    const auto upload =
        home_.run({"upload", (home_.capturesDirectory() / ("capture-" + captureId + ".wav")).string()}, 90s);
    ASSERT_EQ(upload.status, 0) << shown(upload);
    // Standard output is a file here, so each stage is a line of its own, in order, and
    // nothing but the account, the stages and the recording is printed.
    const auto lines = linesOf(upload.out);
    std::vector<std::string> stages;
    for (const auto& line : lines) {
        if (line.starts_with("Preparing upload") || line.starts_with("Uploading") ||
            line.starts_with("Finishing upload") || line == "Uploaded") {
            if (stages.empty() || !line.starts_with(stages.back().substr(0, 9))) stages.push_back(line);
        } else {
            EXPECT_TRUE(line == kAccountLine || line.starts_with("Recording ")) << "not a stage: " << line;
        }
        EXPECT_EQ(line.find('\r'), std::string::npos) << "terminal control in a log: " << line;
    }
    ASSERT_GE(stages.size(), 4u) << shown(upload);
    EXPECT_EQ(stages[0], "Preparing upload") << shown(upload);
    EXPECT_TRUE(stages[1].starts_with("Uploading")) << shown(upload);
    EXPECT_EQ(stages[stages.size() - 2], "Finishing upload") << shown(upload);
    EXPECT_EQ(stages.back(), "Uploaded") << shown(upload);
    ASSERT_FALSE(lines.empty());
    ASSERT_TRUE(lines.back().starts_with("Recording ")) << shown(upload);
    const std::string recordingId = lines.back().substr(std::string("Recording ").size());
    EXPECT_EQ(stack_->adminGet("/recordings/" + recordingId).at("state"), "DELIVERED");

    const auto uploaded = home_.run({"captures"});
    EXPECT_EQ(uploaded.status, 0) << shown(uploaded);
    EXPECT_NE(uploaded.out.find(captureId), std::string::npos) << shown(uploaded);
    EXPECT_NE(uploaded.out.find("\u2014 Uploaded"), std::string::npos) << shown(uploaded);
    EXPECT_EQ(uploaded.out.find("Not uploaded"), std::string::npos) << shown(uploaded);
    EXPECT_NE(uploaded.out.find("recording " + recordingId), std::string::npos) << shown(uploaded);

    // Again, by its id: nothing is sent twice.
    const auto again = home_.run({"upload", captureId}, 30s);
    EXPECT_EQ(again.status, 0) << shown(again);
    EXPECT_NE(again.out.find("Already uploaded as recording " + recordingId), std::string::npos) << shown(again);
    EXPECT_EQ(stack_->adminGet("/recordings").at("recordings").size(), 1u);

    // A capture that is not there.
    const auto unknown = home_.run({"upload", "no-such-capture"}, 30s);
    EXPECT_EQ(unknown.status, 1) << shown(unknown);
    EXPECT_NE(unknown.err.find("No capture \"no-such-capture\""), std::string::npos) << shown(unknown);
    EXPECT_NE(unknown.err.find(home_.capturesDirectory().string()), std::string::npos) << shown(unknown);
    // A file elsewhere is looked for where it was said to be, and the message says so.
    const auto elsewhere = home_.path() / "Desktop" / "capture-gone.wav";
    const auto missing = home_.run({"upload", elsewhere.string()}, 30s);
    EXPECT_EQ(missing.status, 1) << shown(missing);
    EXPECT_NE(missing.err.find("are not in " + elsewhere.parent_path().string() + "."), std::string::npos)
        << shown(missing);
}

TEST_F(CommandLine, DoctorPassesWithTheAudioServerAndFailsWithoutIt) {
    const auto healthy = home_.run({"doctor"}, 40s);
    EXPECT_EQ(healthy.status, 0) << shown(healthy);
    for (const char* line : {"ok    audio server: connected", "ok    microphone: mic", "ok    speakers: speakers",
                             "ok    tenant discovery: ", "ok    sign-in: ", "ok    updates: ",
                             "ok    captures folder: "}) {
        EXPECT_NE(healthy.out.find(line), std::string::npos) << line << "\n" << shown(healthy);
    }
    EXPECT_EQ(healthy.out.find("FAIL"), std::string::npos) << shown(healthy);
    EXPECT_NE(healthy.out.find("info  account: none remembered"), std::string::npos) << shown(healthy);

    const auto silent = home_.run({"doctor"}, 40s, {{"PULSE_SERVER", "unix:" + (home_.path() / "no-server").string()}});
    EXPECT_EQ(silent.status, 1) << shown(silent);
    EXPECT_NE(silent.out.find("FAIL  audio server"), std::string::npos) << shown(silent);
    // The rest is still checked.
    EXPECT_NE(silent.out.find("ok    tenant discovery: "), std::string::npos) << shown(silent);
    EXPECT_NE(silent.out.find("ok    captures folder: "), std::string::npos) << shown(silent);

    const auto lost = (home_.path() / "gone.json").string();
    const auto astray = home_.run({"doctor"}, 40s, {{"KAVO_ENDPOINTS", lost}});
    EXPECT_EQ(astray.status, 1) << shown(astray);
    EXPECT_NE(astray.out.find("FAIL  endpoints: The endpoints file " + lost + " does not exist."), std::string::npos)
        << shown(astray);
    EXPECT_NE(astray.out.find("ok    audio server: connected"), std::string::npos) << shown(astray);
}

}  // namespace
}  // namespace kavo
