#pragma once

#include <string>

#include "app/LinuxServices.h"
#include "base/Clock.h"

namespace kavo::shell {

// `kavo-meetings` with no command: the tray application until "Quit", SIGINT or SIGTERM.
class TrayCommand {
public:
    struct Options {
        bool printMenu = false;
        std::string menuImage;
    };

    TrayCommand(LinuxServices& services, const Clock& clock, Options options);
    int run(int argc, char** argv);

private:
    LinuxServices& services_;
    const Clock& clock_;
    Options options_;
};

}  // namespace kavo::shell
