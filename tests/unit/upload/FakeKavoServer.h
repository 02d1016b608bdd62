#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "FakeBlobStorage.h"
#include "net/HTTPTransport.h"

namespace kavo::testing {

// One in-process transport for both peers of an upload, as the application shares one:
// requests to the storage host go to a FakeBlobStorage, everything else to a scripted
// Kavo API. Every API request is recorded.
class FakeKavoServer final : public HTTPTransport {
public:
    static constexpr const char* kBaseURL = "https://kavo.test";
    static constexpr const char* kStorageBase = "https://storage.test/recordings/";

    using Handler = std::function<HTTPResponse(const HTTPRequest&, const std::string& path)>;

    HTTPResponse data(const HTTPRequest& request, std::stop_token stop) override;

    void setHandler(Handler handler);
    std::vector<HTTPRequest> apiRequests() const;
    int count(const std::string& method, const std::string& path) const;

    static HTTPResponse json(int status, std::string body);

    FakeBlobStorage storage;

private:
    mutable std::mutex mutex_;
    Handler handler_;
    std::vector<HTTPRequest> apiRequests_;
};

}  // namespace kavo::testing
