// A stand-in for a conferencing app: one recording stream on a source, with such an app's
// client properties, started corked (a call app holds its stream paused between calls).
// SIGUSR1 uncorks it, SIGUSR2 corks it again, SIGTERM ends the program.
//
//   pulse-test-recorder DEVICE BINARY APPLICATION-NAME

#include <pulse/pulseaudio.h>

#include <csignal>
#include <memory>
#include <string>

namespace {

template <typename T, auto Free>
struct Deleter {
    void operator()(T* object) const { Free(object); }
};
void disconnect(pa_context* context) {
    pa_context_disconnect(context);
    pa_context_unref(context);
}

struct Program {
    pa_mainloop_api* api = nullptr;
    std::string device;
    std::unique_ptr<pa_stream, Deleter<pa_stream, pa_stream_unref>> stream;
};

void onContextState(pa_context* context, void* self) {
    auto& program = *static_cast<Program*>(self);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
        return program.api->quit(program.api, 1);
    if (state != PA_CONTEXT_READY) return;
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 1};
    program.stream.reset(pa_stream_new(context, "Voice capture", &spec, nullptr));
    if (!program.stream || pa_stream_connect_record(program.stream.get(), program.device.c_str(),
                                                    nullptr, PA_STREAM_START_CORKED) < 0)
        program.api->quit(program.api, 1);
}

void onSignal(pa_mainloop_api* api, pa_signal_event*, int signal, void* self) {
    auto& program = *static_cast<Program*>(self);
    if (signal == SIGTERM) return api->quit(api, 0);
    if (!program.stream || pa_stream_get_state(program.stream.get()) != PA_STREAM_READY) return;
    if (pa_operation* operation =
            pa_stream_cork(program.stream.get(), signal == SIGUSR2 ? 1 : 0, nullptr, nullptr))
        pa_operation_unref(operation);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::unique_ptr<pa_mainloop, Deleter<pa_mainloop, pa_mainloop_free>> mainloop(
        pa_mainloop_new());
    Program program{pa_mainloop_get_api(mainloop.get()), argv[1], nullptr};
    if (pa_signal_init(program.api) < 0) return 1;
    for (const int signal : {SIGTERM, SIGUSR1, SIGUSR2}) pa_signal_new(signal, onSignal, &program);

    const std::unique_ptr<pa_proplist, Deleter<pa_proplist, pa_proplist_free>> properties(
        pa_proplist_new());
    pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_PROCESS_BINARY, argv[2]);
    pa_proplist_sets(properties.get(), PA_PROP_APPLICATION_NAME, argv[3]);
    const std::unique_ptr<pa_context, Deleter<pa_context, disconnect>> context(
        pa_context_new_with_proplist(program.api, argv[3], properties.get()));
    if (!context) return 1;
    pa_context_set_state_callback(context.get(), onContextState, &program);
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return 1;
    int status = 1;
    pa_mainloop_run(mainloop.get(), &status);
    program.stream.reset();
    return status;
}
