#pragma once

#include <filesystem>
#include <ostream>

namespace kavo::shell {

// `kavo-meetings record`: one capture from the default microphone and the default
// output, for `seconds` of recording or until SIGINT/SIGTERM, into `capturesDirectory`,
// with the far side's echo cancelled in the microphone when `echoCancellation` says so.
// "p" on the terminal, or SIGUSR1, pauses the recording and resumes it.
class RecordCommand {
public:
    RecordCommand(std::filesystem::path capturesDirectory, double seconds, bool echoCancellation);

    // Returns the process exit status; says what it wrote, or why it could not, on `out`
    // and `err`. SIGINT, SIGTERM and SIGUSR1 must be blocked in every thread before it runs.
    int run(std::ostream& out, std::ostream& err) const;

private:
    std::filesystem::path capturesDirectory_;
    double seconds_;
    bool echoCancellation_;
};

}  // namespace kavo::shell
