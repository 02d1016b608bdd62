#include "account/Tenant.h"

#include <nlohmann/json.hpp>

#include "net/UrlText.h"

namespace kavo {

nlohmann::json Tenant::toJson() const {
    return nlohmann::json{{"tenantId", tenantId}, {"clientName", clientName},
                          {"initials", initials}, {"kavoBaseUrl", kavoBaseUrl},
                          {"region", region},     {"status", status}};
}

Tenant Tenant::fromJson(const nlohmann::json& json) {
    return Tenant{json.at("tenantId").get<std::string>(), json.at("clientName").get<std::string>(),
                  json.at("initials").get<std::string>(), json.at("kavoBaseUrl").get<std::string>(),
                  json.at("region").get<std::string>(),   json.at("status").get<std::string>()};
}

bool isAbsoluteWebURL(const std::string& text) {
    const auto url = UrlText::parse(text);
    if (!url) {
        return false;
    }
    const auto& head = url->beforeQuery;
    std::string_view rest;
    if (head.rfind("https://", 0) == 0) {
        rest = std::string_view(head).substr(8);
    } else if (head.rfind("http://", 0) == 0) {
        rest = std::string_view(head).substr(7);
    } else {
        return false;
    }
    const auto host = rest.substr(0, rest.find('/'));
    return !host.empty() && host.front() != ':' && host.front() != '@';
}

}  // namespace kavo
