#include "account/TenantDiscoveryService.h"

#include <nlohmann/json.hpp>

#include "account/TenantDiscoveryError.h"
#include "net/KavoAPIError.h"
#include "net/UrlText.h"

namespace kavo {

namespace {

// Lengths of the code points of valid UTF-8 `text`, or nothing when it is not valid.
std::optional<std::vector<std::size_t>> codePointLengths(std::string_view text) {
    std::vector<std::size_t> lengths;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t value = 0;
        if (lead < 0x80) {
            length = 1;
            value = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + length > text.size()) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            value = (value << 6) | (next & 0x3F);
        }
        static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
            return std::nullopt;
        }
        lengths.push_back(length);
        i += length;
    }
    return lengths;
}

}  // namespace

std::string bodyExcerpt(std::string_view text, std::size_t limit) {
    const auto lengths = codePointLengths(text);
    if (!lengths) {
        return {};
    }
    if (lengths->size() <= limit) {
        return std::string(text);
    }
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < limit; ++k) {
        bytes += (*lengths)[k];
    }
    return std::string(text.substr(0, bytes)) + "...";
}

TenantDiscoveryService::TenantDiscoveryService(std::string routerURL,
                                               std::shared_ptr<HTTPTransport> transport)
    : routerURL_(std::move(routerURL)), transport_(std::move(transport)) {}

Tenant TenantDiscoveryService::discover(const std::string& tid, std::stop_token stop) const {
    HTTPRequest request;
    request.method = "GET";
    request.url = routerURL_;
    if (request.url.empty() || request.url.back() != '/') {
        request.url += '/';
    }
    request.url += UrlText::percentEncodeUnreserved(tid);
    request.timeout = kRequestTimeout;
    request.connectTimeout = kRequestTimeout;
    request.headers.set("Accept", "application/json");

    HTTPResponse response;
    try {
        response = transport_->data(request, stop);
    } catch (const TransportError& error) {
        log_.error("Discovery transport failure for tid={}: {}", tid, error.what());
        throw TenantDiscoveryError::transport(error.what());
    } catch (const KavoAPIError& error) {
        log_.error("Discovery transport failure for tid={}: {}", tid, error.what());
        throw TenantDiscoveryError::transport(error.what());
    }

    if (response.status >= 200 && response.status <= 299) {
        Tenant tenant;
        try {
            const auto body = nlohmann::json::parse(response.body);
            tenant.tenantId = body.at("tenantId").get<std::string>();
            tenant.clientName = body.at("clientName").get<std::string>();
            tenant.initials = body.at("initials").get<std::string>();
            tenant.kavoBaseUrl = body.at("kavoBaseUrl").get<std::string>();
            tenant.region = body.at("region").get<std::string>();
        } catch (const nlohmann::json::exception&) {
            throw TenantDiscoveryError::invalidResponse();
        }
        if (!isAbsoluteWebURL(tenant.kavoBaseUrl)) {
            throw TenantDiscoveryError::invalidResponse();
        }
        tenant.status = "active";
        return tenant;
    }
    if (response.status == 404) {
        log_.notice("Tenant not provisioned: tid={}", tid);
        throw TenantDiscoveryError::notProvisioned();
    }
    if (response.status == 400) {
        throw TenantDiscoveryError::malformedTid();
    }
    log_.error("Discovery HTTP {}: {}", response.status, bodyExcerpt(response.body));
    throw TenantDiscoveryError::http(response.status);
}

}  // namespace kavo
