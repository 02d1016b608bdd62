#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "net/KavoAPIClient.h"
#include "support/RecordingTransport.h"

namespace kavo {

// A client of "https://kavo.example.com/tenant" over a recording transport; each token
// it hands out is numbered so a test can tell the calls apart.
class ClientTest : public ::testing::Test {
protected:
    std::shared_ptr<testing::RecordingTransport> transport =
        std::make_shared<testing::RecordingTransport>();
    int tokenCalls = 0;
    KavoAPIClient client{"https://kavo.example.com/tenant", transport, [this](std::stop_token) {
                             ++tokenCalls;
                             return "token-" + std::to_string(tokenCalls);
                         }};

    HTTPRequest onlyRequest() const {
        const auto requests = transport->requests();
        EXPECT_EQ(requests.size(), 1U);
        return requests.empty() ? HTTPRequest{} : requests.front();
    }

    static nlohmann::json bodyOf(const HTTPRequest& request) {
        return nlohmann::json::parse(request.body);
    }
};

inline KavoAPIClient::FeedbackRequest validFeedback() {
    KavoAPIClient::FeedbackRequest request;
    request.category = KavoAPIClient::FeedbackCategory::bug;
    request.subject = "Upload stuck";
    request.description = "The upload never finished.";
    request.diagnostics = {{"client", "linux-desktop"}};
    return request;
}

// The KavoAPIError `call` throws; anything else fails the test.
template <typename Call>
KavoAPIError apiErrorOf(Call&& call) {
    try {
        call();
    } catch (const KavoAPIError& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw something else: " << other.what();
        return KavoAPIError::invalidResponse();
    }
    ADD_FAILURE() << "did not throw";
    return KavoAPIError::invalidResponse();
}

}  // namespace kavo
