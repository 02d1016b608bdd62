#include "audio/conference/ConferenceAudioMonitor.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace kavo {

namespace {

std::string lowercased(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

}  // namespace

bool ConferenceAudioMonitor::isConferencingBundle(std::string_view bundleIdentifier) {
    const std::string identifier = lowercased(bundleIdentifier);
    for (const auto entry : kConferencingBundles) {
        const std::string known = lowercased(entry);
        if (identifier == known) return true;
        if (identifier.size() > known.size() && identifier.compare(0, known.size(), known) == 0 &&
            identifier[known.size()] == '.') {
            return true;
        }
    }
    return false;
}

std::string ConferenceAudioMonitor::describe(const ConferenceActivity& activity) {
    if (activity.apps.empty()) return "none";
    // std::set keeps its texts in ascending order already.
    return fmt::format("{}", fmt::join(activity.apps, ", "));
}

void ConferenceAudioMonitor::ListenerRegistry::add(Registration registration) {
    std::lock_guard lock(lock_);
    installed_.push_back(std::move(registration));
}

std::vector<AudioObjectID> ConferenceAudioMonitor::ListenerRegistry::objects(Kind kind) const {
    std::lock_guard lock(lock_);
    std::vector<AudioObjectID> result;
    for (const auto& registration : installed_) {
        if (registration.kind == kind) result.push_back(registration.object);
    }
    return result;
}

void ConferenceAudioMonitor::ListenerRegistry::remove(Kind kind) {
    std::vector<Registration> removed;
    {
        std::lock_guard lock(lock_);
        auto kept = std::stable_partition(installed_.begin(), installed_.end(),
                                          [kind](const Registration& r) { return r.kind != kind; });
        std::move(kept, installed_.end(), std::back_inserter(removed));
        installed_.erase(kept, installed_.end());
    }
    // Dropping the registrations removes their listeners, outside the lock.
}

void ConferenceAudioMonitor::ListenerRegistry::removeAll() {
    std::vector<Registration> removed;
    {
        std::lock_guard lock(lock_);
        removed.swap(installed_);
    }
}

std::size_t ConferenceAudioMonitor::ListenerRegistry::size() const {
    std::lock_guard lock(lock_);
    return installed_.size();
}

ConferenceAudioMonitor::ConferenceAudioMonitor(AudioProcessList& processes, Scheduler& queue,
                                               Scheduler& main, std::int32_t ownProcessID)
    : processes_(processes), queue_(queue), main_(main), ownProcessID_(ownProcessID) {
    lifeline_->owner = this;
}

ConferenceAudioMonitor::~ConferenceAudioMonitor() {
    {
        // Waits for an evaluation under way; later ones find no owner.
        std::lock_guard lock(lifeline_->mutex);
        lifeline_->owner = nullptr;
    }
    listeners_.removeAll();
}

void ConferenceAudioMonitor::start() {
    if (observing_.exchange(true)) return;
    std::weak_ptr<Lifeline> weak = lifeline_;
    auto installation = processes_.addPropertyListener(
        kAudioObjectSystemObject, audio_property::kProcessObjectList, queue_, [weak] {
            if (auto lifeline = weak.lock()) evaluateIfAlive(lifeline, true);
        });
    if (installation.status == kAudioNoError) {
        listeners_.add({ListenerRegistry::Kind::processList, kAudioObjectSystemObject,
                        audio_property::kProcessObjectList, std::move(installation.registration)});
    } else {
        log_.notice(
            "Could not observe the audio process list; automatic capture will miss apps launched "
            "later");
    }
    queue_.post([weak] {
        if (auto lifeline = weak.lock()) evaluateIfAlive(lifeline, true);
    });
}

void ConferenceAudioMonitor::stop() {
    observing_ = false;
    listeners_.removeAll();
}

void ConferenceAudioMonitor::evaluateIfAlive(const std::shared_ptr<Lifeline>& lifeline,
                                             bool refreshListeners) {
    std::lock_guard lock(lifeline->mutex);
    if (lifeline->owner != nullptr && lifeline->owner->isObserving()) {
        lifeline->owner->evaluate(refreshListeners);
    }
}

std::vector<ConferenceAudioMonitor::Candidate> ConferenceAudioMonitor::candidates() {
    if (!ownProcess_) {
        const auto read = processes_.readProcessObject(ownProcessID_);
        ownProcess_ = read.ok() && read.value != kAudioObjectUnknown
                          ? std::optional<AudioObjectID>(read.value)
                          : std::nullopt;
    }
    std::vector<Candidate> result;
    const auto list = processes_.readProcessObjects();
    if (!list.ok()) return result;
    for (const AudioObjectID process : list.value) {
        if (*ownProcess_ && process == **ownProcess_) continue;
        auto bundle = processes_.readBundleIdentifier(process);
        if (bundle.ok() && !bundle.value.empty() && isConferencingBundle(bundle.value)) {
            result.push_back({process, std::move(bundle.value)});
        }
    }
    return result;
}

void ConferenceAudioMonitor::refreshProcessListeners(const std::vector<Candidate>& candidates) {
    using Kind = ListenerRegistry::Kind;
    std::vector<AudioObjectID> wanted;
    for (const auto& candidate : candidates) wanted.push_back(candidate.process);
    if (wanted == listeners_.objects(Kind::process)) return;

    listeners_.remove(Kind::process);
    std::weak_ptr<Lifeline> weak = lifeline_;
    for (const AudioObjectID process : wanted) {
        if (process == kAudioObjectUnknown) continue;
        auto installation = processes_.addPropertyListener(
            process, audio_property::kProcessIsRunningInput, queue_, [weak] {
                if (auto lifeline = weak.lock()) evaluateIfAlive(lifeline, false);
            });
        if (installation.status != kAudioNoError) continue;
        listeners_.add({Kind::process, process, audio_property::kProcessIsRunningInput,
                        std::move(installation.registration)});
    }
}

void ConferenceAudioMonitor::evaluate(bool refreshListeners) {
    const auto found = candidates();
    if (refreshListeners) refreshProcessListeners(found);

    ConferenceActivity activity;
    for (const auto& candidate : found) {
        const auto running = processes_.readIsRunningInput(candidate.process);
        if (running.ok() && running.value != 0) activity.apps.insert(candidate.bundleIdentifier);
    }

    std::weak_ptr<Lifeline> weak = lifeline_;
    main_.post([weak, activity = std::move(activity)] {
        auto lifeline = weak.lock();
        if (!lifeline) return;
        std::lock_guard lock(lifeline->mutex);
        if (lifeline->owner != nullptr && lifeline->owner->isObserving()) {
            lifeline->owner->apply(activity);
        }
    });
}

void ConferenceAudioMonitor::apply(const ConferenceActivity& activity) {
    if (activity.apps == current_.apps) return;
    current_ = activity;
    log_.notice("Conferencing apps holding the microphone: {}", describe(activity));
    if (onChange_) onChange_(activity);
}

}  // namespace kavo
