#pragma once

#include "audio/conference/ConferenceActivitySource.h"

namespace kavo {

// Reports that no conferencing application holds the microphone, ever: the source when
// the audio system cannot be reached, so that automatic capture simply never fires.
class IdleConferenceActivitySource final : public ConferenceActivitySource {
public:
    ConferenceActivity current() const override { return {}; }
    ChangeHandler onChange() const override { return onChange_; }
    void setOnChange(ChangeHandler handler) override { onChange_ = std::move(handler); }
    void start() override {}
    void stop() override {}

private:
    ChangeHandler onChange_;
};

}  // namespace kavo
