#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"

namespace kavo::testing {

// One dev stack for a whole suite, its switches and data reset before each test.
class StackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        curl_.emplace();
        transport_ = std::make_shared<linux_platform::CurlTransport>(*curl_);
        stack_ = std::make_unique<DevStack>(transport_);
    }
    static void TearDownTestSuite() {
        stack_.reset();
        transport_.reset();
        curl_.reset();
    }
    void SetUp() override { stack_->adminPost("/reset", {{"data", true}}); }

    std::string defaultUser(const char* key) const {
        return stack_->endpoints().at("defaultUser").at(key);
    }

    static inline std::optional<linux_platform::CurlGlobal> curl_;
    static inline std::shared_ptr<HTTPTransport> transport_;
    static inline std::unique_ptr<DevStack> stack_;
};

}  // namespace kavo::testing
