#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "net/KavoAPIError.h"
#include "platform/linux/CurlTransport.h"
#include "support/LoopbackHttpServer.h"
#include "support/TempDir.h"

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;
using Server = testing::LoopbackHttpServer;

// Bounds a wait so that a hang fails the test instead of stalling the run.
constexpr auto kHangGuard = 20s;

class CurlTransportTest : public ::testing::Test {
protected:
    CurlGlobal curl;
    CurlTransport transport{curl};

    static HTTPRequest request(std::string method, std::string url, std::string body = {}) {
        HTTPRequest r;
        r.method = std::move(method);
        r.url = std::move(url);
        r.body = std::move(body);
        r.timeout = 10s;
        return r;
    }

    template <typename Call>
    static TransportError transportErrorOf(Call&& call) {
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
};

// A port on 127.0.0.1 that nobody listens on.
int unusedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

TEST_F(CurlTransportTest, StatusHeadersAndBodyRoundTrip) {
    Server server([](const Server::Request& r) {
        Server::Response response;
        response.status = 201;
        response.headers = {{"X-Ms-Request-Id", "req-42"}, {"ETag", "\"0x1\""}};
        response.body = "echo:" + r.body;
        return response;
    });
    HTTPRequest put = request("PUT", server.url("/c/blob?comp=block&blockid=QUFB"), std::string("bin\0ary\xFF", 8));
    put.headers.set("x-ms-blob-type", "BlockBlob");
    put.headers.set("Content-Type", "application/octet-stream");
    put.headers.set("X-Empty", "");

    const HTTPResponse response = transport.data(put);

    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.headers.get("x-ms-request-id"), "req-42");
    EXPECT_EQ(response.headers.get("etag"), "\"0x1\"");
    EXPECT_EQ(response.body, "echo:" + std::string("bin\0ary\xFF", 8));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    const Server::Request& received = requests[0];
    EXPECT_EQ(received.method, "PUT");
    EXPECT_EQ(received.path(), "/c/blob");
    EXPECT_EQ(received.query(), "comp=block&blockid=QUFB");
    EXPECT_EQ(received.header("X-MS-BLOB-TYPE"), "BlockBlob");
    EXPECT_EQ(received.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(received.header("Content-Length"), "8");
    EXPECT_EQ(received.header("X-Empty"), "");
    EXPECT_FALSE(received.header("Expect").has_value());
    EXPECT_EQ(received.body, std::string("bin\0ary\xFF", 8));
}

TEST_F(CurlTransportTest, EveryMethodSendsExactlyItsBody) {
    Server server([](const Server::Request&) { return Server::Response::text(200, "ok"); });

    EXPECT_EQ(transport.data(request("GET", server.url("/get"))).body, "ok");
    EXPECT_EQ(transport.data(request("POST", server.url("/post"), "{\"a\":1}")).status, 200);
    EXPECT_EQ(transport.data(request("PUT", server.url("/empty"))).status, 200);
    EXPECT_EQ(transport.data(request("DELETE", server.url("/delete"))).status, 200);
    const HTTPResponse head = transport.data(request("HEAD", server.url("/head")));
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5U);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_FALSE(requests[0].header("Content-Length").has_value());
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "{\"a\":1}");
    // No body of libcurl's own choosing and no form content type.
    EXPECT_FALSE(requests[1].header("Content-Type").has_value());
    EXPECT_EQ(requests[2].method, "PUT");
    EXPECT_EQ(requests[2].header("Content-Length"), "0");
    EXPECT_EQ(requests[3].method, "DELETE");
    EXPECT_EQ(requests[4].method, "HEAD");
}

TEST_F(CurlTransportTest, RedirectsAreFollowedAndOnlyTheFinalHeadersKept) {
    Server server([](const Server::Request& r) {
        if (r.path() == "/old") {
            Server::Response moved;
            moved.status = 302;
            moved.headers = {{"Location", "/new"}, {"X-Hop", "first"}};
            return moved;
        }
        return Server::Response::text(200, "arrived");
    });

    const HTTPResponse response = transport.data(request("GET", server.url("/old")));

    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "arrived");
    EXPECT_FALSE(response.headers.contains("X-Hop"));
    EXPECT_EQ(server.requestCount(), 2U);
}

TEST_F(CurlTransportTest, SequentialRequestsReuseOneConnection) {
    Server server([](const Server::Request&) { return Server::Response::text(200, "ok"); });

    for (int i = 0; i < 3; ++i) transport.data(request("GET", server.url("/again")));

    EXPECT_EQ(server.connectionCount(), 1U);
    EXPECT_EQ(transport.idleChannelCount(), 1U);
}

TEST_F(CurlTransportTest, SlowAnswerRunsIntoTheTimeOut) {
    Server server([](const Server::Request&) {
        Server::Response late = Server::Response::text(200, "too late");
        late.delay = 5s;
        return late;
    });
    HTTPRequest slow = request("GET", server.url("/slow"));
    slow.timeout = 300ms;

    const TransportError error = transportErrorOf([&] { transport.data(slow); });

    EXPECT_EQ(error.kind(), TransportError::Kind::timedOut);
    EXPECT_EQ(error.code(), 28);
    EXPECT_STREQ(error.what(), "The request timed out.");
    // A failed exchange does not hand its channel back.
    EXPECT_EQ(transport.idleChannelCount(), 0U);
}

TEST_F(CurlTransportTest, StopRequestAbortsAnExchangeInFlight) {
    Server server([](const Server::Request&) {
        Server::Response never = Server::Response::text(200, "never");
        never.delay = 60s;
        return never;
    });
    std::stop_source stop;
    auto pending = std::async(std::launch::async, [&] {
        return transportErrorOf([&] { transport.data(request("GET", server.url("/hang")), stop.get_token()); });
    });
    ASSERT_TRUE(server.waitForRequests(1, kHangGuard));

    stop.request_stop();

    ASSERT_EQ(pending.wait_for(kHangGuard), std::future_status::ready);
    const TransportError error = pending.get();
    EXPECT_EQ(error.kind(), TransportError::Kind::cancelled);
    EXPECT_TRUE(error.isCancellation());
}

TEST_F(CurlTransportTest, StoppedTokenSendsNothing) {
    Server server;
    std::stop_source stop;
    stop.request_stop();

    EXPECT_EQ(transportErrorOf([&] { transport.data(request("GET", server.url("/")), stop.get_token()); }).kind(),
              TransportError::Kind::cancelled);
    EXPECT_EQ(server.connectionCount(), 0U);
}

TEST_F(CurlTransportTest, FailuresWithoutAnAnswerAreClassified) {
    const auto kindFor = [&](HTTPRequest r) { return transportErrorOf([&] { transport.data(r); }).kind(); };

    EXPECT_EQ(kindFor(request("GET", "http://127.0.0.1:" + std::to_string(unusedPort()) + "/")),
              TransportError::Kind::cannotConnect);
    EXPECT_EQ(kindFor(request("GET", "ftp://127.0.0.1/file")), TransportError::Kind::badURL);
    EXPECT_EQ(kindFor(request("GET", "kavo.example.com/api")), TransportError::Kind::badURL);
    EXPECT_EQ(kindFor(request("GET", "http://[::1/")), TransportError::Kind::badURL);

    Server server([](const Server::Request& r) {
        Server::Response response = Server::Response::text(200, std::string(5000, 'x'));
        response.dropConnection = r.path() == "/drop";
        return response;
    });
    EXPECT_EQ(kindFor(request("GET", server.url("/drop"))), TransportError::Kind::connectionLost);
    HTTPRequest limited = request("GET", server.url("/big"));
    limited.maxResponseBytes = 1000;
    EXPECT_EQ(kindFor(limited), TransportError::Kind::responseTooLarge);
}

TEST_F(CurlTransportTest, AnswerThatIsNotHTTPIsAnInvalidResponse) {
    Server server([](const Server::Request&) {
        Server::Response garbage;
        garbage.raw = "SSH-2.0-OpenSSH_9.2\r\nnot http at all\r\n\r\n";
        return garbage;
    });

    EXPECT_THROW(
        {
            try {
                transport.data(request("GET", server.url("/")));
            } catch (const KavoAPIError& error) {
                EXPECT_EQ(error, KavoAPIError::invalidResponse());
                throw;
            }
        },
        KavoAPIError);
}

TEST_F(CurlTransportTest, ConcurrentCallsRunInParallelAndGetTheirOwnAnswers) {
    std::atomic<int> inFlight{0};
    std::atomic<int> mostInFlight{0};
    Server server([&](const Server::Request& r) {
        const int now = ++inFlight;
        int seen = mostInFlight.load();
        while (now > seen && !mostInFlight.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(100ms);
        --inFlight;
        return Server::Response::text(201, r.header("X-Caller").value_or("?") + ":" + r.body);
    });

    constexpr int kThreads = 6;
    constexpr int kEach = 4;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                HTTPRequest r = request("PUT", server.url("/c/b?comp=block"), "block-" + std::to_string(i));
                r.headers.set("X-Caller", std::to_string(t));
                const HTTPResponse response = transport.data(r);
                if (response.status != 201 || response.body != std::to_string(t) + ":block-" + std::to_string(i)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(server.requestCount(), static_cast<std::size_t>(kThreads * kEach));
    EXPECT_GE(mostInFlight.load(), 2);
    // Each thread's channel went back to the pool and was reused.
    EXPECT_LE(server.connectionCount(), static_cast<std::size_t>(kThreads));
}

// `openssl s_server` with a self-signed certificate, for as long as the object lives.
class SelfSignedTLSServer {
public:
    SelfSignedTLSServer() : port_(unusedPort()) {
        const auto key = (directory_ / "key.pem").string();
        const auto certificate = (directory_ / "cert.pem").string();
        const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -days 1 -keyout " + key +
                                 " -out " + certificate + " 2>/dev/null";
        if (std::system(make.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string accept = "127.0.0.1:" + std::to_string(port_);
            ::freopen("/dev/null", "w", stdout);
            ::freopen("/dev/null", "w", stderr);
            ::execlp("openssl", "openssl", "s_server", "-accept", accept.c_str(), "-cert", certificate.c_str(), "-key",
                     key.c_str(), "-www", "-quiet", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Ready once it accepts a connection.
        for (int attempt = 0; attempt < 200; ++attempt) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(port_));
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (up) return;
            std::this_thread::sleep_for(50ms);
        }
        throw std::runtime_error("openssl s_server did not start");
    }
    SelfSignedTLSServer(const SelfSignedTLSServer&) = delete;
    SelfSignedTLSServer& operator=(const SelfSignedTLSServer&) = delete;
    ~SelfSignedTLSServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    std::string url() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    testing::TempDir directory_;
    int port_;
    pid_t pid_ = -1;
};

TEST_F(CurlTransportTest, UntrustedCertificateIsRefused) {
    SelfSignedTLSServer server;

    const TransportError error = transportErrorOf([&] { transport.data(request("GET", server.url())); });

    EXPECT_EQ(error.kind(), TransportError::Kind::secureConnectionFailed) << error.detail();
    EXPECT_EQ(error.code(), 60) << error.detail();  // the peer certificate failed verification
    EXPECT_STREQ(error.what(), "A secure connection to the server could not be made.");
}

}  // namespace
}  // namespace kavo::linux_platform
