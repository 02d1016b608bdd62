#pragma once

#include <memory>

#include "audio/conference/ConferenceActivitySource.h"

namespace kavo {

// A conferencing watch whose underlying source can be exchanged while the program runs,
// as when the audio system it watches goes away and comes back: its users keep the one
// source and hear of the change as an ordinary change of activity. Main thread only.
class SwitchableConferenceActivitySource final : public ConferenceActivitySource {
public:
    explicit SwitchableConferenceActivitySource(std::unique_ptr<ConferenceActivitySource> inner);
    SwitchableConferenceActivitySource(const SwitchableConferenceActivitySource&) = delete;
    SwitchableConferenceActivitySource& operator=(const SwitchableConferenceActivitySource&) =
        delete;
    ~SwitchableConferenceActivitySource() override;

    // Stops and destroys the current source, then reports through `inner`, started if this
    // is. Its activity is reported at once when it differs from the last one reported.
    void replace(std::unique_ptr<ConferenceActivitySource> inner);

    ConferenceActivity current() const override { return current_; }
    ChangeHandler onChange() const override { return onChange_; }
    void setOnChange(ChangeHandler handler) override { onChange_ = std::move(handler); }
    void start() override;
    void stop() override;

private:
    void adopt(std::unique_ptr<ConferenceActivitySource> inner);
    void report(const ConferenceActivity& activity);

    std::unique_ptr<ConferenceActivitySource> inner_;
    ConferenceActivity current_;
    ChangeHandler onChange_;
    bool started_ = false;
};

}  // namespace kavo
