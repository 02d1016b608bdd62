#include "FakeKavoServer.h"

namespace kavo::testing {

HTTPResponse FakeKavoServer::data(const HTTPRequest& request, std::stop_token stop) {
    if (request.url.starts_with(kStorageBase)) return storage.data(request, stop);
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        apiRequests_.push_back(request);
        handler = handler_;
    }
    const std::string path = request.url.substr(std::string(kBaseURL).size());
    return handler ? handler(request, path) : json(404, "{}");
}

void FakeKavoServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<HTTPRequest> FakeKavoServer::apiRequests() const {
    std::lock_guard lock(mutex_);
    return apiRequests_;
}

int FakeKavoServer::count(const std::string& method, const std::string& path) const {
    int found = 0;
    for (const auto& request : apiRequests())
        if (request.method == method && request.url == std::string(kBaseURL) + path) ++found;
    return found;
}

HTTPResponse FakeKavoServer::json(int status, std::string body) {
    return {status, {{"Content-Type", "application/json"}}, std::move(body)};
}

}  // namespace kavo::testing
