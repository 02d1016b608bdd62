#pragma once

#include <ostream>

#include "app/LinuxServices.h"

namespace kavo::shell {

// Checks what recording and delivering need: the audio server and its default devices,
// the configured endpoints and whether they answer, a writable captures folder, and
// whether an account is remembered. Exit status 1 when something needed is missing.
class DoctorCommand {
public:
    explicit DoctorCommand(LinuxServices& services);
    int run(std::ostream& out) const;

private:
    LinuxServices& services_;
};

}  // namespace kavo::shell
