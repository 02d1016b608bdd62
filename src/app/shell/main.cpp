// kavo-meetings: the command line of the meeting recorder.
#include <signal.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include "app/shell/RecordCommand.h"
#include "base/Log.h"
#include "platform/linux/XdgPaths.h"

int main(int argc, char** argv) {
    // Stop signals are taken by the command that waits for them, never by a worker thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CLI::App app{"Kavo Meetings: records meetings and delivers them to your Kavo server."};
    app.require_subcommand(1);
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Log debug messages to standard error");

    auto* record = app.add_subcommand(
        "record", "Record the microphone and the computer's audio into the captures folder");
    double seconds = 60;
    record->add_option("--seconds", seconds, "How long to record; Ctrl-C stops early")
        ->check(CLI::Range(0.1, 24.0 * 3600.0));

    CLI11_PARSE(app, argc, argv);

    kavo::logging::addConsole(verbose ? kavo::LogLevel::debug : kavo::LogLevel::notice);
    const auto paths = kavo::linux_platform::xdgAppPaths();
    if (record->parsed()) {
        return kavo::shell::RecordCommand(paths.capturesDirectory(), seconds).run(std::cout, std::cerr);
    }
    return 0;
}
