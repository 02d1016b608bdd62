// kavo-meetings: the meeting recorder's tray application and its command line.
#include <fmt/format.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "app/LinuxServices.h"
#include "app/shell/CapturesCommand.h"
#include "app/shell/DoctorCommand.h"
#include "app/shell/RecordCommand.h"
#include "app/shell/SessionCommands.h"
#include "app/shell/TrayCommand.h"
#include "base/Clock.h"
#include "base/Log.h"
#include "capture/EchoCancellationSetting.h"
#include "platform/linux/AutostartEntry.h"
#include "platform/linux/XdgPaths.h"

int main(int argc, char** argv) {
    // Stop signals are taken by the command that waits for them, never by a worker thread;
    // so is SIGUSR1, with which `record` pauses and resumes.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    sigset_t pauseSignal;
    sigemptyset(&pauseSignal);
    sigaddset(&pauseSignal, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &pauseSignal, nullptr);

    CLI::App app{
        "Kavo Meetings: records meetings and delivers them to your Kavo server.\n"
        "Without a command it runs in the system tray."};
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Log debug messages to standard error");

    auto* tray = app.add_subcommand("tray", "Run in the system tray (the default)");
    kavo::shell::TrayCommand::Options trayOptions;
    tray->add_flag("--print-menu", trayOptions.printMenu,
                   "Print the menu to standard output whenever it changes");
    tray->add_option("--save-menu", trayOptions.menuImage,
                     "Save the drawn menu as this PNG whenever it changes");

    auto* record = app.add_subcommand(
        "record", "Record the microphone and the computer's audio into the captures folder");
    double seconds = 60;
    record->footer("Press p (or send SIGUSR1) to pause the recording and again to resume it.");
    record->add_option("--seconds", seconds, "How long to record; Ctrl-C stops early")
        ->check(CLI::Range(0.1, 24.0 * 3600.0));
    bool rawMicrophone = false;
    record->add_flag("--no-echo-cancellation", rawMicrophone,
                     "Keep the far side's echo in the microphone, whatever the setting says");

    auto* captures = app.add_subcommand(
        "captures", "List the captures on this computer with their upload state");

    auto* upload = app.add_subcommand(
        "upload", "Upload one capture, or every one still waiting, to your Kavo server");
    std::string capture;
    bool pending = false;
    auto* captureOption = upload->add_option(
        "CAPTURE", capture, "The capture's id, or the path of its .wav or .json file");
    auto* pendingFlag = upload->add_flag(
        "--pending", pending, "Every capture of your account still waiting, oldest first");
    captureOption->excludes(pendingFlag);
    upload->require_option(1);

    auto* signIn = app.add_subcommand("sign-in", "Sign in with your work account");
    bool deviceCode = false;
    signIn->add_flag("--device-code", deviceCode,
                     "Sign in on another device with a code instead of a browser here");

    auto* signOut = app.add_subcommand("sign-out", "Sign out and forget the account");
    auto* status = app.add_subcommand(
        "status", "Show the account, the upload in progress and the recent captures");
    auto* autostart = app.add_subcommand(
        "autostart", "Start Kavo Meetings with your desktop session, or stop doing so");
    std::string autostartChoice = "status";
    autostart->add_option("CHOICE", autostartChoice, "on, off or status (the default)")
        ->check(CLI::IsMember({"on", "off", "status"}));
    auto* doctor = app.add_subcommand(
        "doctor",
        "Check the audio server, the default devices, the servers and the captures folder");

    CLI11_PARSE(app, argc, argv);

    const bool inTray = app.get_subcommands().empty() || tray->parsed();
    kavo::logging::addConsole(verbose  ? kavo::LogLevel::debug
                              : inTray ? kavo::LogLevel::info
                                       : kavo::LogLevel::notice);

    const kavo::SystemClock clock;
    kavo::LinuxServices::Options options;
    options.showDeviceCode = [](const kavo::OAuthSignInService::DeviceCodePrompt& prompt) {
        fmt::print("{}\n", prompt.message);
        std::cout.flush();
    };
    kavo::LinuxServices services(clock, std::move(options));
    kavo::logging::addRotatingFile(services.paths().logFile(), kavo::LogLevel::info);

    if (inTray) return kavo::shell::TrayCommand(services, clock, trayOptions).run(argc, argv);
    if (record->parsed()) {
        const bool echoCancellation =
            !rawMicrophone && kavo::EchoCancellationSetting(services.defaults()).isEnabled();
        return kavo::shell::RecordCommand(services.paths().capturesDirectory(), seconds,
                                          echoCancellation)
            .run(std::cout, std::cerr);
    }
    // Commands that only read end by the signal itself: they leave nothing to finish.
    if (captures->parsed() || doctor->parsed()) pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    if (captures->parsed())
        return kavo::shell::CapturesCommand(services.paths().capturesDirectory()).run(std::cout);
    if (doctor->parsed()) return kavo::shell::DoctorCommand(services).run(std::cout);
    if (autostart->parsed()) {
        const kavo::linux_platform::AutostartEntry entry(
            services.paths().configDirectory.parent_path() / "autostart");
        try {
            if (autostartChoice == "on")
                entry.enable(std::filesystem::read_symlink("/proc/self/exe"));
            if (autostartChoice == "off") entry.disable();
        } catch (const std::exception& error) {
            fmt::print(stderr, "Could not change {}: {}\n", entry.file().string(), error.what());
            return 1;
        }
        fmt::print("Kavo Meetings {} with your desktop session ({}).\n",
                   entry.isEnabled() ? "starts" : "does not start", entry.file().string());
        return 0;
    }

    kavo::shell::SessionCommands commands(services, clock, std::cout, std::cerr);
    if (upload->parsed()) return pending ? commands.uploadPending() : commands.upload(capture);
    if (signIn->parsed()) return commands.signIn(deviceCode);
    if (signOut->parsed()) return commands.signOut();
    if (status->parsed()) return commands.status();
    return 0;
}
