#pragma once

// Header-only: it implements a core interface, so only tests that link the core include it.

#include <set>
#include <string>
#include <utility>

#include "audio/conference/ConferenceActivitySource.h"

namespace kavo::testing {

// Conferencing apps as the test says they are, reported the way the real source does:
// the new activity to whoever set a change handler.
class FakeConferenceActivitySource final : public ConferenceActivitySource {
public:
    ConferenceActivity current() const override { return current_; }
    ChangeHandler onChange() const override { return handler_; }
    void setOnChange(ChangeHandler handler) override { handler_ = std::move(handler); }
    void start() override {}
    void stop() override {}

    void emit(std::set<std::string> apps) {
        current_.apps = std::move(apps);
        if (handler_) handler_(current_);
    }

private:
    ConferenceActivity current_;
    ChangeHandler handler_;
};

}  // namespace kavo::testing
