#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/linux/CurlTransport.h"
#include "support/ChildProcess.h"
#include "support/LoopbackListener.h"
#include "support/TempDir.h"

// Progress and stopping in flight are shown by the poor link and the command line's SIGTERM.

namespace kavo::linux_platform {
namespace {

using namespace std::chrono_literals;
using Kind = TransportError::Kind;

// A peer that reads a request's head and, `delay` later, writes `answer` and closes.
std::unique_ptr<testing::LoopbackListener> peer(std::string answer,
                                                std::chrono::milliseconds delay = 0ms) {
    return std::make_unique<testing::LoopbackListener>([answer, delay](int fd) {
        std::string received;
        char chunk[4096];
        for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
            received.append(chunk, static_cast<std::size_t>(got));
            if (received.find("\r\n\r\n") != std::string::npos) {
                std::this_thread::sleep_for(delay);
                testing::LoopbackListener::sendAll(fd, answer);
                return;
            }
        }
    });
}

class CurlTransportTest : public ::testing::Test {
protected:
    CurlGlobal curl;
    CurlTransport transport{curl};

    Kind failureOf(const std::string& url, void (*change)(HTTPRequest&) = nullptr) {
        HTTPRequest request;
        request.url = url;
        request.timeout = 10s;
        if (change) change(request);
        try {
            transport.data(request);
        } catch (const TransportError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no transport error from " << url;
        return Kind::other;
    }
    static std::string urlOf(const testing::LoopbackListener& listener) {
        return "http://127.0.0.1:" + std::to_string(listener.port()) + "/";
    }
};

TEST_F(CurlTransportTest, FailuresWithoutAnAnswerAreClassified) {
    const auto late = peer("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok", 3s);
    EXPECT_EQ(failureOf(urlOf(*late), [](HTTPRequest& r) { r.timeout = 300ms; }), Kind::timedOut);
    // Well inside the total time-out, but a whole second without a byte.
    EXPECT_EQ(failureOf(urlOf(*late), [](HTTPRequest& r) { r.stallTimeout = 1s; }), Kind::timedOut);
    EXPECT_EQ(failureOf("http://127.0.0.1:" + std::to_string(testing::freeLoopbackPort()) + "/"),
              Kind::cannotConnect);
    EXPECT_EQ(failureOf("ftp://127.0.0.1/file"), Kind::badURL);
    EXPECT_EQ(failureOf(urlOf(*peer(""))), Kind::connectionLost);
    const auto big =
        peer("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'x'));
    EXPECT_EQ(failureOf(urlOf(*big), [](HTTPRequest& r) { r.maxResponseBytes = 1000; }),
              Kind::responseTooLarge);
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
    TransportError error(Kind::cannotConnect);
    for (int attempt = 0; attempt < 400 && error.kind() == Kind::cannotConnect; ++attempt) {
        std::this_thread::sleep_for(50ms);
        try {
            HTTPRequest request;
            request.url = "https://127.0.0.1:" + port + "/";
            transport.data(request);
            FAIL() << "an untrusted certificate was accepted";
        } catch (const TransportError& caught) {
            error = caught;
        }
    }
    EXPECT_EQ(error.kind(), Kind::secureConnectionFailed) << error.detail();
    EXPECT_EQ(error.code(), 60) << error.detail();  // the peer certificate failed verification
}

}  // namespace
}  // namespace kavo::linux_platform
