#include "account/Endpoints.h"

#include <arpa/inet.h>

#include <nlohmann/json.hpp>

#include "account/Tenant.h"
#include "base/AtomicFile.h"

namespace kavo {

namespace {

constexpr std::string_view kApiApplicationId = "5d2a8f3e-61c4-4b7a-9e0f-8c1d2b3a4e5f";

// The host part of an http(s) URL, without brackets or port.
std::string hostOf(std::string_view url) {
    const auto schemeEnd = url.find("://");
    auto rest = url.substr(schemeEnd + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        rest = rest.substr(at + 1);
    }
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        return std::string(
            rest.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

bool isLoopbackAddress(const std::string& host) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return false;
}

std::vector<std::string> stringList(const nlohmann::json& value, const char* key) {
    if (!value.is_array() || value.empty()) {
        throw EndpointsError(std::string("The endpoints file's \"") + key +
                             "\" must be a list of scopes.");
    }
    std::vector<std::string> list;
    for (const auto& item : value) {
        if (!item.is_string() || item.get<std::string>().empty()) {
            throw EndpointsError(std::string("The endpoints file's \"") + key +
                                 "\" must be a list of scopes.");
        }
        list.push_back(item.get<std::string>());
    }
    return list;
}

}  // namespace

bool isAllowedEndpointURL(std::string_view url) {
    if (!isAbsoluteWebURL(std::string(url))) {
        return false;
    }
    if (url.starts_with("https://")) {
        return true;
    }
    return isLoopbackAddress(hostOf(url));
}

Endpoints Endpoints::production() {
    return Endpoints{
        .discoveryURL = "https://discovery.kavo.example/api/kavo/discover",
        .authority = "https://login.microsoftonline.com/organizations",
        .clientId = "a7c3e9b1-2d4f-4e6a-8b0c-9d1e2f3a4b5c",
        .apiApplicationId = std::string(kApiApplicationId),
        .graphScopes = {"User.Read"},
        .kavoScopes = {"api://" + std::string(kApiApplicationId) + "/KavoMeetings.Use"},
        .updateManifestURL = "https://downloads.kavo.example/meetings/latest.json",
    };
}

Endpoints Endpoints::fromOverride(std::string_view json) {
    nlohmann::json object;
    try {
        object = nlohmann::json::parse(json);
    } catch (const nlohmann::json::exception&) {
        throw EndpointsError("The endpoints file is not valid JSON.");
    }
    if (!object.is_object()) {
        throw EndpointsError("The endpoints file must hold one JSON object.");
    }
    auto endpoints = production();
    const auto text = [&](const char* key, std::string& field) {
        if (!object.contains(key)) {
            return;
        }
        const auto& value = object.at(key);
        if (!value.is_string() || value.get<std::string>().empty()) {
            throw EndpointsError(std::string("The endpoints file's \"") + key +
                                 "\" must be a text.");
        }
        field = value.get<std::string>();
    };
    text("discoveryURL", endpoints.discoveryURL);
    text("authority", endpoints.authority);
    text("clientId", endpoints.clientId);
    text("apiApplicationId", endpoints.apiApplicationId);
    text("updateManifestURL", endpoints.updateManifestURL);
    if (object.contains("graphScopes")) {
        endpoints.graphScopes = stringList(object.at("graphScopes"), "graphScopes");
    }
    if (object.contains("kavoScopes")) {
        endpoints.kavoScopes = stringList(object.at("kavoScopes"), "kavoScopes");
    } else if (object.contains("apiApplicationId")) {
        endpoints.kavoScopes = {"api://" + endpoints.apiApplicationId + "/KavoMeetings.Use"};
    }
    endpoints.validate();
    return endpoints;
}

Endpoints Endpoints::load(const std::optional<std::string>& overrideFile) {
    if (!overrideFile || overrideFile->empty()) {
        return production();
    }
    std::optional<std::string> bytes;
    try {
        bytes = readFileIfExists(*overrideFile);
    } catch (const std::exception& error) {
        throw EndpointsError("Could not read the endpoints file " + *overrideFile + ": " +
                             error.what());
    }
    if (!bytes) {
        throw EndpointsError("The endpoints file " + *overrideFile + " does not exist.");
    }
    return fromOverride(*bytes);
}

void Endpoints::validate() const {
    const std::pair<const char*, const std::string*> urls[] = {
        {"discoveryURL", &discoveryURL},
        {"authority", &authority},
        {"updateManifestURL", &updateManifestURL}};
    for (const auto& [key, url] : urls) {
        if (!isAllowedEndpointURL(*url)) {
            throw EndpointsError(
                std::string("The endpoint \"") + key + "\" (" + *url +
                ") must be an https URL; plain http is allowed only on a loopback address.");
        }
    }
}

}  // namespace kavo
