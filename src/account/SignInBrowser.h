#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

namespace kavo {

// Where an interactive sign-in happens: the user's browser, and a redirect target on this
// computer that receives the identity platform's answer.
class SignInBrowser {
public:
    // The target of one authorization answer.
    class Redirect {
    public:
        virtual ~Redirect() = default;
        // The redirect URI the authorization request names.
        virtual std::string uri() const = 0;
        // The answer's query, percent-encoded; nothing when `stop` is requested or
        // `timeout` runs out first.
        virtual std::optional<std::string> wait(std::stop_token stop,
                                                std::chrono::milliseconds timeout) = 0;
    };

    virtual ~SignInBrowser() = default;
    // Throws AuthError::underlying when no target can be made.
    virtual std::unique_ptr<Redirect> listen() = 0;
    // Opens `url` in the user's browser; false when none could be opened.
    virtual bool open(const std::string& url) = 0;
};

}  // namespace kavo
