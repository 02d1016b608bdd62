#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "net/KavoAPIError.h"
#include "platform/linux/CurlTransport.h"
#include "support/ChildProcess.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;
using Server = testing::LoopbackHttpServer;

// Bounds a wait so that a hang fails the test instead of stalling the run.
constexpr auto kHangGuard = 20s;

HTTPRequest request(std::string method, std::string url, std::string body = {}) {
    HTTPRequest r;
    r.method = std::move(method);
    r.url = std::move(url);
    r.body = std::move(body);
    r.timeout = 10s;
    return r;
}

template <typename Call>
TransportError transportErrorOf(Call&& call) {
    try {
        call();
    } catch (const TransportError& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "threw something else: " << other.what();
        return TransportError(TransportError::Kind::other);
    }
    ADD_FAILURE() << "did not throw";
    return TransportError(TransportError::Kind::other);
}

class CurlTransportTest : public ::testing::Test {
protected:
    CurlGlobal curl;
    CurlTransport transport{curl};
};

TEST_F(CurlTransportTest, ReportsBytesAsTheyMoveAndTimesOutASlowOrSilentExchange) {
    Server server([](const Server::Request& r) {
        Server::Response response = Server::Response::text(201, "ok");
        if (r.path() != "/moving") response.delay = 5s;
        return response;
    });
    const std::string body(3 << 20, 'x');
    HTTPRequest put = request("PUT", server.url("/moving"), body);
    std::vector<std::pair<std::int64_t, std::int64_t>> seen;
    put.onProgress = [&](std::int64_t sent, std::int64_t received) {
        seen.emplace_back(sent, received);
    };
    EXPECT_EQ(transport.data(put).status, 201);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::make_pair(static_cast<std::int64_t>(body.size()), std::int64_t{2}));
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));

    HTTPRequest slow = request("GET", server.url("/slow"));
    slow.timeout = 300ms;
    EXPECT_EQ(transportErrorOf([&] { transport.data(slow); }).kind(),
              TransportError::Kind::timedOut);
    // Well inside the total time-out, but a whole second without a byte.
    HTTPRequest silent = request("GET", server.url("/silent"));
    silent.stallTimeout = 1s;
    EXPECT_EQ(transportErrorOf([&] { transport.data(silent); }).kind(),
              TransportError::Kind::timedOut);
}

TEST_F(CurlTransportTest, AStopAbortsAnExchangeInFlightAndAStoppedTokenSendsNothing) {
    Server server([](const Server::Request&) {
        Server::Response never = Server::Response::text(200, "never");
        never.delay = 60s;
        return never;
    });
    std::stop_source stop;
    auto pending = std::async(std::launch::async, [&] {
        return transportErrorOf(
            [&] { transport.data(request("GET", server.url("/hang")), stop.get_token()); });
    });
    ASSERT_TRUE(server.waitForRequests(1, kHangGuard));
    stop.request_stop();
    ASSERT_EQ(pending.wait_for(kHangGuard), std::future_status::ready);
    EXPECT_TRUE(pending.get().isCancellation());

    const auto connections = server.connectionCount();
    const TransportError error = transportErrorOf(
        [&] { transport.data(request("GET", server.url("/")), stop.get_token()); });
    EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    EXPECT_EQ(server.connectionCount(), connections);
}

TEST_F(CurlTransportTest, FailuresWithoutAnAnswerAreClassified) {
    const auto kindFor = [&](HTTPRequest r) {
        return transportErrorOf([&] { transport.data(r); }).kind();
    };
    EXPECT_EQ(kindFor(request(
                  "GET", "http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()) + "/")),
              TransportError::Kind::cannotConnect);
    EXPECT_EQ(kindFor(request("GET", "ftp://127.0.0.1/file")), TransportError::Kind::badURL);

    Server server([](const Server::Request& r) {
        Server::Response response = Server::Response::text(200, std::string(5000, 'x'));
        response.dropConnection = r.path() == "/drop";
        if (r.path() == "/ssh") response.raw = "SSH-2.0-OpenSSH_9.2\r\nnot http at all\r\n\r\n";
        return response;
    });
    EXPECT_EQ(kindFor(request("GET", server.url("/drop"))), TransportError::Kind::connectionLost);
    HTTPRequest limited = request("GET", server.url("/big"));
    limited.maxResponseBytes = 1000;
    EXPECT_EQ(kindFor(limited), TransportError::Kind::responseTooLarge);
    try {
        transport.data(request("GET", server.url("/ssh")));
        ADD_FAILURE() << "an answer that is not HTTP was accepted";
    } catch (const KavoAPIError& error) {
        EXPECT_EQ(error, KavoAPIError::invalidResponse());
    }
}

TEST_F(CurlTransportTest, UntrustedCertificateIsRefused) {
    testing::TempDir directory;
    const std::string port = std::to_string(testing::freeLoopbackPort());
    testing::ChildProcess::Options options;
    options.command = {"sh", "-c",
                       "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 "
                       "-keyout k.pem -out c.pem 2>/dev/null && exec openssl s_server -accept "
                       "127.0.0.1:" +
                           port + " -cert c.pem -key k.pem -www -quiet"};
    options.directory = directory.path();
    options.stopSignal = SIGKILL;
    const testing::ChildProcess server(std::move(options));
    TransportError error(TransportError::Kind::cannotConnect);
    for (int attempt = 0; attempt < 400 && error.kind() == TransportError::Kind::cannotConnect;
         ++attempt) {
        std::this_thread::sleep_for(50ms);
        error = transportErrorOf(
            [&] { transport.data(request("GET", "https://127.0.0.1:" + port + "/")); });
    }
    EXPECT_EQ(error.kind(), TransportError::Kind::secureConnectionFailed) << error.detail();
    EXPECT_EQ(error.code(), 60) << error.detail();  // the peer certificate failed verification
}

}  // namespace
}  // namespace kavo::linux_platform
