#include <gtest/gtest.h>

#include <memory>

#include "base/Log.h"
#include "net/RetryingTransport.h"
#include "net/TransportError.h"
#include "support/ManualClock.h"
#include "support/RecordingTransport.h"

namespace kavo {
namespace {

using std::chrono::milliseconds;
using Kind = TransportError::Kind;

class RetryingTransportTest : public ::testing::Test {
protected:
    std::shared_ptr<testing::RecordingTransport> inner =
        std::make_shared<testing::RecordingTransport>();
    ManualClock clock;
    RetryingTransport transport{inner, clock, RetryingTransport::Policy{}, 7};

    static HTTPRequest put(bool idempotent = true) {
        HTTPRequest request;
        request.method = "PUT";
        request.url = "https://acct.blob.core.windows.net/c/rec.wav?comp=block&sig=secret";
        request.idempotent = idempotent;
        return request;
    }
};

TEST_F(RetryingTransportTest, PassingTroubleIsRetriedWithGrowingJitteredWaitsUntilItClears) {
    inner->enqueueError(TransportError(Kind::connectionLost, 55, "Connection reset by peer"));
    inner->enqueue(503, "busy");
    inner->enqueue(500, "oops");
    inner->enqueue(201, "");
    LogCapture logs;
    EXPECT_EQ(transport.data(put()).status, 201);
    EXPECT_EQ(inner->requests().size(), 4U);
    EXPECT_EQ(transport.retriesMade(), 3);

    // A broken connection is replaced at once; then waits of half to all of 0.4 s and 0.8 s.
    const auto sleeps = clock.sleeps();
    ASSERT_EQ(sleeps.size(), 2U);
    for (std::size_t i = 0; i < sleeps.size(); ++i) {
        const auto ceiling = milliseconds(400 << i);
        EXPECT_GE(sleeps[i], ceiling / 2) << i;
        EXPECT_LE(sleeps[i], ceiling) << i;
    }
    EXPECT_FALSE(logs.contains("RetryingTransport", "secret")) << "the signature is logged";
}

TEST_F(RetryingTransportTest, AfterTheLastRetryOrForOtherRequestsAnswersAndErrorsPassThrough) {
    for (int i = 0; i < 4; ++i) inner->enqueue(504, "gateway");
    EXPECT_EQ(transport.data(put()).status, 504);
    for (int i = 0; i < 4; ++i) inner->enqueueError(TransportError(Kind::timedOut));
    EXPECT_THROW(transport.data(put()), TransportError);
    EXPECT_EQ(inner->requests().size(), 8U);
    const auto sleeps = clock.sleeps().size();

    inner->enqueue(503, "busy");
    EXPECT_EQ(transport.data(put(false)).status, 503);  // a POST that may not be repeated
    inner->enqueue(404, "gone");
    EXPECT_EQ(transport.data(put()).status, 404);
    for (const Kind kind : {Kind::cancelled, Kind::secureConnectionFailed}) {
        inner->enqueueError(TransportError(kind));
        EXPECT_THROW(transport.data(put()), TransportError);
    }
    EXPECT_EQ(inner->requests().size(), 12U);
    EXPECT_EQ(clock.sleeps().size(), sleeps);
}

}  // namespace
}  // namespace kavo
