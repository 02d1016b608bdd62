#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "net/UrlText.h"
#include "support/RecordingTransport.h"

namespace kavo::testing {

// The decoded block id a Put Block URL names (eight characters), or "" when it names none.
inline std::string blockNameOf(const std::string& url) {
    const auto parsed = UrlText::parse(url);
    if (!parsed || parsed->queryValue("comp") != "block") return {};
    const auto id = parsed->queryValue("blockid");
    unsigned char decoded[16] = {};
    if (!id || id->size() != 12 ||
        EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(id->data()), 12) < 8)
        return "?";
    return std::string(reinterpret_cast<const char*>(decoded), 8);
}

// The storage account in process: every request is answered 201 unless a test responds
// otherwise.
class FakeBlobStorage final : public RecordingTransport {
public:
    FakeBlobStorage() {
        setResponder([](const HTTPRequest&) { return created(); });
    }

    // Decoded ids of the Put Block requests, in the order they arrived.
    std::vector<std::string> putBlocks() const {
        std::vector<std::string> names;
        for (const auto& request : requests())
            if (auto name = blockNameOf(request.url); !name.empty()) names.push_back(name);
        return names;
    }

    static HTTPResponse created() { return {201, {}, {}}; }
};

}  // namespace kavo::testing
