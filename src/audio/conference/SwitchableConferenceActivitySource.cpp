#include "audio/conference/SwitchableConferenceActivitySource.h"

namespace kavo {

SwitchableConferenceActivitySource::SwitchableConferenceActivitySource(
    std::unique_ptr<ConferenceActivitySource> inner) {
    adopt(std::move(inner));
    current_ = inner_->current();
}

SwitchableConferenceActivitySource::~SwitchableConferenceActivitySource() {
    inner_->stop();
}

void SwitchableConferenceActivitySource::replace(std::unique_ptr<ConferenceActivitySource> inner) {
    inner_->stop();
    inner_.reset();
    adopt(std::move(inner));
    if (started_) inner_->start();
    report(inner_->current());
}

void SwitchableConferenceActivitySource::start() {
    started_ = true;
    inner_->start();
}

void SwitchableConferenceActivitySource::stop() {
    started_ = false;
    inner_->stop();
}

void SwitchableConferenceActivitySource::adopt(std::unique_ptr<ConferenceActivitySource> inner) {
    inner_ = std::move(inner);
    // The inner source is owned here and stopped before it goes, so `this` outlives it.
    inner_->setOnChange([this](const ConferenceActivity& activity) { report(activity); });
}

void SwitchableConferenceActivitySource::report(const ConferenceActivity& activity) {
    if (activity == current_) return;
    current_ = activity;
    if (onChange_) onChange_(activity);
}

}  // namespace kavo
