// Any bytes as a 200 answer from the Kavo server: every decoder returns a value or throws
// the client's error; nothing else escapes and nothing crashes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/KavoAPIClient.h"
#include "net/KavoAPIError.h"

namespace {

class CannedTransport final : public kavo::HTTPTransport {
public:
    std::string body;
    kavo::HTTPResponse data(const kavo::HTTPRequest&, std::stop_token) override {
        return {200, {}, body};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto transport = std::make_shared<CannedTransport>();
    transport->body.assign(reinterpret_cast<const char*>(data), size);
    const kavo::KavoAPIClient client("https://kavo.example.com", transport,
                                     [](std::stop_token) { return std::string("token"); });
    auto attempt = [](auto&& call) {
        try {
            call();
        } catch (const kavo::KavoAPIError&) {
        }
    };
    attempt([&] { client.recordingStatus("rec-1"); });
    attempt([&] { client.currentUser(); });
    attempt([&] { client.branding(); });
    return 0;
}
