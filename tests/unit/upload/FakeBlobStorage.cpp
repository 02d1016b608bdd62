#include "FakeBlobStorage.h"

#include <openssl/evp.h>

#include <algorithm>

#include "net/TransportError.h"
#include "upload/UrlText.h"

namespace kavo::testing {

int blockIndexOf(const std::string& url) {
    const auto parsed = UrlText::parse(url);
    if (!parsed || parsed->queryValue("comp") != "block") return -1;
    const auto id = parsed->queryValue("blockid");
    // Ids are the base64 of the index as eight decimal digits.
    unsigned char decoded[16] = {};
    if (!id || id->size() != 12 ||
        EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(id->data()), 12) < 8)
        return -2;
    const std::string digits(reinterpret_cast<const char*>(decoded), 8);
    return std::stoi(digits);
}

HTTPResponse FakeBlobStorage::data(const HTTPRequest& request, std::stop_token stop) {
    Responder responder;
    {
        std::unique_lock lock(mutex_);
        requests_.push_back(request);
        ++inFlight_;
        maxInFlight_ = std::max(maxInFlight_, inFlight_);
        ++held_;
        changed_.notify_all();
        const bool released = changed_.wait(lock, stop, [this] { return !holding_; });
        --held_;
        if (!released) {
            --inFlight_;
            ++cancelled_;
            changed_.notify_all();
            throw TransportError(TransportError::Kind::cancelled);
        }
        responder = responder_;
    }
    HTTPResponse response = responder ? responder(request) : created();
    std::lock_guard lock(mutex_);
    --inFlight_;
    changed_.notify_all();
    return response;
}

void FakeBlobStorage::respondWith(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void FakeBlobStorage::hold() {
    std::lock_guard lock(mutex_);
    holding_ = true;
}

void FakeBlobStorage::release() {
    std::lock_guard lock(mutex_);
    holding_ = false;
    changed_.notify_all();
}

void FakeBlobStorage::waitForHeld(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return held_ >= count; });
}

std::vector<HTTPRequest> FakeBlobStorage::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<int> FakeBlobStorage::putBlockIndexes() const {
    std::vector<int> indexes;
    for (const auto& request : requests())
        if (const int index = blockIndexOf(request.url); index >= 0) indexes.push_back(index);
    return indexes;
}

int FakeBlobStorage::maxInFlight() const {
    std::lock_guard lock(mutex_);
    return maxInFlight_;
}

int FakeBlobStorage::cancelledRequests() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

}  // namespace kavo::testing
