#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace kavo {

// Base of every component's error: what() is the text the user is shown.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    std::string description() const { return what(); }
};

// The text of a caught exception: what() of a standard one, "Unknown error." otherwise.
std::string describe(const std::exception_ptr& error);

}  // namespace kavo
