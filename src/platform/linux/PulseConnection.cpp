#include "platform/linux/PulseConnection.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/PulseContext.h"

namespace kavo::linux_platform {

PulseConnection::PulseConnection(const std::string& applicationName, EventCallback onEvent,
                                 void* userdata, pa_subscription_mask_t events,
                                 bool raisedPriority) {
    mainloop_ = pa_threaded_mainloop_new();
    if (mainloop_ == nullptr)
        throw PulseError("Could not create the audio server connection's main loop");
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, applicationName.c_str());
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "brindle.meetings.desktop");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop_),
                                            applicationName.c_str(), properties);
    pa_proplist_free(properties);
    if (context_ == nullptr) {
        pa_threaded_mainloop_free(mainloop_);
        throw PulseError("Could not create the audio server connection");
    }
    pa_context_set_state_callback(context_, onState, this);
    if (onEvent != nullptr) pa_context_set_subscribe_callback(context_, onEvent, userdata);

    std::string failure;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        failure = pa_strerror(pa_context_errno(context_));
    } else if (pa_threaded_mainloop_start(mainloop_) < 0) {
        failure = "the main loop did not start";
    } else {
        const Lock lock(*this);
        // Under the lock: it adds to the loop's events.
        if (raisedPriority) pa_threaded_mainloop_once_unlocked(mainloop_, raisePriority, this);
        while (true) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY) break;
            if (!PA_CONTEXT_IS_GOOD(state)) {
                failure = pa_strerror(pa_context_errno(context_));
                break;
            }
            pa_threaded_mainloop_wait(mainloop_);
        }
        if (failure.empty() && onEvent != nullptr) {
            if (pa_operation* operation = pa_context_subscribe(context_, events, nullptr, nullptr))
                pa_operation_unref(operation);
        }
    }
    if (!failure.empty()) {
        pa_threaded_mainloop_stop(mainloop_);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_threaded_mainloop_free(mainloop_);
        throw PulseError("No audio server is running (" + failure + ")");
    }
}

PulseConnection::~PulseConnection() {
    {
        const Lock lock(*this);
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(mainloop_);
}

bool PulseConnection::isReady() const {
    return pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::inMainLoopThread() const {
    return pa_threaded_mainloop_in_thread(mainloop_) != 0;
}

void PulseConnection::signal() const {
    pa_threaded_mainloop_signal(mainloop_, 0);
}

bool PulseConnection::waitUntil(const std::function<bool()>& done) const {
    while (!done()) {
        if (!isReady()) return false;
        pa_threaded_mainloop_wait(mainloop_);
    }
    return true;
}

std::uint32_t PulseConnection::clientIndex() const {
    const Lock lock(*this);
    return pa_context_get_index(context_);
}

void PulseConnection::onState(pa_context* /*context*/, void* self) {
    static_cast<PulseConnection*>(self)->signal();
}

void PulseConnection::raisePriority(pa_threaded_mainloop* /*mainloop*/, void* self) {
    // The niceness of this thread alone: Linux keeps one per thread. Raised, the thread
    // still goes ahead of ordinary work when the server hands something over. A real-time
    // thread went further: it ran on another processor at once for each block the server
    // sent, waking half as often again and costing an eighth more processor time.
    auto& log = static_cast<PulseConnection*>(self)->log_;
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kRaisedNiceness) == 0) {
        log.info("Reading audio at raised priority (niceness {})", kRaisedNiceness);
    } else {
        log.notice("Reading audio at normal priority: a raised priority was refused ({})",
                   std::strerror(errno));
    }
}

}  // namespace kavo::linux_platform
