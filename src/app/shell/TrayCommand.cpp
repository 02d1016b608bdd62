#include "app/shell/TrayCommand.h"

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <signal.h>

#include <QApplication>
#include <cerrno>
#include <iostream>
#include <thread>

#include "app/shell/TrayApplication.h"

namespace kavo::shell {

TrayCommand::TrayCommand(LinuxServices& services, const Clock& clock, Options options)
    : services_(services), clock_(clock), options_(std::move(options)) {}

int TrayCommand::run(int argc, char** argv) {
    QApplication qt(argc, argv);
    QApplication::setApplicationName("Kavo Meetings");
    QApplication::setDesktopFileName("kavo-meetings");
    // The menu is the application; closing a window (the report) does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    TrayApplication::Options options;
    if (options_.printMenu) {
        options.printMenu = [](const std::string& menu) {
            fmt::print(std::cout, "Menu:\n{}\n", menu);
            std::cout.flush();
        };
    }
    options.menuImage = options_.menuImage;
    TrayApplication tray(services_, clock_, std::move(options));

    // SIGINT and SIGTERM are blocked in every thread; this one takes them and asks the
    // event loop to quit, so the application ends as through "Quit".
    std::jthread stopSignalWatcher([&tray](std::stop_token stop) {
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        const timespec poll{0, 200'000'000};
        while (!stop.stop_requested()) {
            if (sigtimedwait(&stopSignals, nullptr, &poll) >= 0) {
                tray.main().post([] { QApplication::quit(); });
                return;
            }
        }
    });
    return QApplication::exec();
}

}  // namespace kavo::shell
