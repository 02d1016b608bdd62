#pragma once

#include <string>
#include <vector>

#include "base/Base64.h"
#include "net/UrlText.h"
#include "support/RecordingTransport.h"

namespace kavo::testing {

// The decoded block id a Put Block URL names (eight characters), or "" when it names none.
inline std::string blockNameOf(const std::string& url) {
    const auto parsed = UrlText::parse(url);
    if (!parsed || parsed->queryValue("comp") != "block") return {};
    const auto id = parsed->queryValue("blockid");
    const auto decoded = id ? base64UrlDecode(*id) : std::nullopt;
    return decoded && decoded->size() == 8 ? *decoded : "?";
}

// The storage account in process: 201 to every request unless a test answers otherwise.
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
