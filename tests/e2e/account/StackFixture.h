#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/linux/CurlTransport.h"
#include "support/DevStack.h"

namespace kavo::testing {

// One dev stack for a whole suite, its switches reset before each test.
class StackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        curl_ = new linux_platform::CurlGlobal();
        transport_ = std::make_shared<linux_platform::CurlTransport>(*curl_);
        stack_ = new DevStack(transport_);
    }
    static void TearDownTestSuite() {
        delete stack_;
        transport_.reset();
        delete curl_;
    }
    void SetUp() override { stack_->adminPost("/reset", {{"data", true}}); }

    std::string defaultUser(const char* key) const {
        return stack_->endpoints().at("defaultUser").at(key);
    }

    static inline linux_platform::CurlGlobal* curl_ = nullptr;
    static inline std::shared_ptr<HTTPTransport> transport_;
    static inline DevStack* stack_ = nullptr;
};

}  // namespace kavo::testing
