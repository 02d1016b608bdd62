#pragma once

#include <filesystem>
#include <ostream>

namespace kavo::shell {

// Lists every capture in the captures folder, newest first, with its upload state.
class CapturesCommand {
public:
    explicit CapturesCommand(std::filesystem::path capturesDirectory);
    int run(std::ostream& out) const;

private:
    std::filesystem::path capturesDirectory_;
};

}  // namespace kavo::shell
