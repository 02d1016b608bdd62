#include "platform/linux/CurlTransport.h"

#include <curl/curl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/KavoAPIError.h"

namespace kavo::linux_platform {

namespace {

constexpr std::size_t kLargeBody = 256 * 1024;
constexpr long kUploadBuffer = 1024 * 1024;

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ShareCleanup {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
struct ListCleanup {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using ShareHandle = std::unique_ptr<CURLSH, ShareCleanup>;
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           HTTPHeaders::namesEqual(text.substr(0, prefix.size()), prefix);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' ||
                             text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// The sockets of one channel's connections, made and closed through these callbacks so
// that the bytes still waiting in them can be read.
struct ChannelSockets {
    std::vector<curl_socket_t> open;

    static curl_socket_t openSocket(void* context, curlsocktype, curl_sockaddr* address) {
        const curl_socket_t socket =
            ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
        if (socket != CURL_SOCKET_BAD)
            static_cast<ChannelSockets*>(context)->open.push_back(socket);
        return socket;
    }
    static int closeSocket(void* context, curl_socket_t socket) {
        auto& open = static_cast<ChannelSockets*>(context)->open;
        open.erase(std::remove(open.begin(), open.end(), socket), open.end());
        return ::close(socket);
    }

    // Bytes written but not yet taken by the peer. The kernel accepts megabytes at once
    // (on loopback especially), so a count of written bytes alone runs ahead and then
    // stands still for minutes on a slow link. Idle connections hold none.
    curl_off_t unacknowledged() const {
        curl_off_t total = 0;
        for (const curl_socket_t socket : open) {
            int queued = 0;
            if (::ioctl(socket, SIOCOUTQ, &queued) == 0 && queued > 0) total += queued;
        }
        return total;
    }
};

// What one exchange collects from libcurl's callbacks.
struct Transfer {
    HTTPResponse response;
    std::vector<HTTPHeaders::Field> headerFields;
    std::size_t maxResponseBytes = 0;
    bool tooLarge = false;
    std::stop_token stop;
    const ChannelSockets* sockets = nullptr;
    const std::function<void(std::int64_t, std::int64_t)>* onProgress = nullptr;
    std::optional<std::chrono::milliseconds> stallTimeout;
    // What reached the peer so far, and when either count last grew.
    curl_off_t sent = 0;
    curl_off_t received = 0;
    std::chrono::steady_clock::time_point lastMoved = std::chrono::steady_clock::now();
    bool stalled = false;
    std::array<char, CURL_ERROR_SIZE> errorText{};
};

size_t receiveBody(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    if (transfer.response.body.size() + length > transfer.maxResponseBytes) {
        transfer.tooLarge = true;
        return 0;
    }
    transfer.response.body.append(data, length);
    return length;
}

size_t receiveHeader(char* data, size_t size, size_t count, void* context) {
    auto& fields = static_cast<Transfer*>(context)->headerFields;
    const size_t length = size * count;
    const std::string_view line(data, length);
    if (startsWithIgnoringCase(line, "HTTP/")) {
        // A new status line: an interim answer or a redirect came before this one.
        fields.clear();
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !fields.empty()) {
        // A folded continuation of the previous field.
        fields.back().second += ' ';
        fields.back().second += trimmed(line);
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        fields.emplace_back(std::string(trimmed(line.substr(0, colon))),
                            std::string(trimmed(line.substr(colon + 1))));
    }
    return length;
}

// libcurl's transfer progress: passes on the bytes that reached the peer, ends an exchange
// where none moved for the request's stall time-out, and aborts on a stop request.
int onTransferProgress(void* context, curl_off_t, curl_off_t received, curl_off_t,
                       curl_off_t written) {
    auto& transfer = *static_cast<Transfer*>(context);
    if (transfer.stop.stop_requested()) return 1;
    const curl_off_t sent = std::max(transfer.sent, written - transfer.sockets->unacknowledged());
    const auto now = std::chrono::steady_clock::now();
    if (sent != transfer.sent || received != transfer.received) {
        transfer.sent = sent;
        transfer.received = received;
        transfer.lastMoved = now;
        if (transfer.onProgress && *transfer.onProgress)
            (*transfer.onProgress)(static_cast<std::int64_t>(sent),
                                   static_cast<std::int64_t>(received));
    } else if (transfer.stallTimeout && now - transfer.lastMoved >= *transfer.stallTimeout) {
        transfer.stalled = true;
        return 1;
    }
    return 0;
}

TransportError::Kind kindOf(CURLcode code) {
    using Kind = TransportError::Kind;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return Kind::cannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return Kind::timedOut;
        case CURLE_ABORTED_BY_CALLBACK:
            return Kind::cancelled;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CLIENTCERT:
            return Kind::secureConnectionFailed;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
        case CURLE_HTTP3:
            return Kind::connectionLost;
        case CURLE_URL_MALFORMAT:
            return Kind::badURL;
        default:
            return Kind::other;
    }
}

// Removes the easy handle from its multi handle however the exchange ends.
class Attachment {
public:
    Attachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        curl_multi_add_handle(multi_, easy_);
    }
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;
    ~Attachment() { curl_multi_remove_handle(multi_, easy_); }

private:
    CURLM* multi_;
    CURL* easy_;
};

}  // namespace

// Name lookups and TLS sessions, shared by every channel under a lock per kind of data.
// (Connections are not shared this way: libcurl does not support using one connection
// cache from several threads at once, hence the channel pool.)
struct CurlTransport::Share {
    ShareHandle handle{curl_share_init()};
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;

    Share() {
        if (!handle) {
            throw TransportError(TransportError::Kind::other, 0, "curl_share_init failed");
        }
        curl_share_setopt(handle.get(), CURLSHOPT_LOCKFUNC, &Share::lock);
        curl_share_setopt(handle.get(), CURLSHOPT_UNLOCKFUNC, &Share::unlock);
        curl_share_setopt(handle.get(), CURLSHOPT_USERDATA, this);
        curl_share_setopt(handle.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(handle.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* context) {
        static_cast<Share*>(context)->locks[static_cast<std::size_t>(data)].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* context) {
        static_cast<Share*>(context)->locks[static_cast<std::size_t>(data)].unlock();
    }
};

// One easy handle and the multi handle it runs in. The multi handle keeps the channel's
// connections open between exchanges and can be woken from another thread.
struct CurlTransport::Channel {
    // First, so that it outlives the handles whose connections close through it.
    ChannelSockets sockets;
    EasyHandle easy{curl_easy_init()};
    MultiHandle multi{curl_multi_init()};
};

CurlTransport::CurlTransport(const CurlGlobal&, std::size_t maxIdleChannels)
    : share_(std::make_unique<Share>()), maxIdleChannels_(maxIdleChannels) {}

CurlTransport::~CurlTransport() = default;

std::size_t CurlTransport::idleChannelCount() const {
    const std::lock_guard guard(poolLock_);
    return idle_.size();
}

std::unique_ptr<CurlTransport::Channel> CurlTransport::takeChannel() {
    {
        const std::lock_guard guard(poolLock_);
        if (!idle_.empty()) {
            auto channel = std::move(idle_.back());
            idle_.pop_back();
            return channel;
        }
    }
    auto channel = std::make_unique<Channel>();
    if (!channel->easy || !channel->multi) {
        throw TransportError(TransportError::Kind::other, 0, "libcurl could not create a handle");
    }
    return channel;
}

void CurlTransport::putBack(std::unique_ptr<Channel> channel) {
    const std::lock_guard guard(poolLock_);
    if (idle_.size() < maxIdleChannels_) {
        idle_.push_back(std::move(channel));
    }
}

HTTPResponse CurlTransport::data(const HTTPRequest& request, std::stop_token stop) {
    using Kind = TransportError::Kind;
    if (!startsWithIgnoringCase(request.url, "http://") &&
        !startsWithIgnoringCase(request.url, "https://")) {
        throw TransportError(Kind::badURL, 0, "not an http or https URL");
    }
    if (stop.stop_requested()) {
        throw TransportError(Kind::cancelled);
    }

    auto channel = takeChannel();
    CURL* easy = channel->easy.get();
    curl_easy_reset(easy);

    Transfer transfer;
    transfer.maxResponseBytes = request.maxResponseBytes;
    transfer.stop = stop;
    transfer.sockets = &channel->sockets;
    transfer.onProgress = &request.onProgress;
    transfer.stallTimeout = request.stallTimeout;

    HeaderList headers;
    const auto addHeader = [&](const std::string& line) {
        curl_slist* extended = curl_slist_append(headers.get(), line.c_str());
        if (extended == nullptr) {
            throw TransportError(Kind::other, 0, "out of memory for request headers");
        }
        // The list's head stays the same once it exists; ownership moves to the result.
        static_cast<void>(headers.release());
        headers.reset(extended);
    };
    for (const auto& [name, value] : request.headers) {
        // "Name;" is libcurl's way of sending a field with an empty value.
        addHeader(value.empty() ? name + ";" : name + ": " + value);
    }
    // Otherwise libcurl makes large bodies wait for "100 Continue": a round trip per block.
    if (!request.headers.contains("Expect")) addHeader("Expect:");

    const std::string& method = request.method;
    if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (method == "GET" && request.body.empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        // Otherwise libcurl labels the body as a submitted form.
        if (!request.headers.contains("Content-Type")) addHeader("Content-Type:");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        // Blocks of megabytes go out in fewer, larger writes than the 64 KiB default.
        if (request.body.size() > kLargeBody)
            curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBuffer);
        if (method != "POST") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    }

    const long timeoutMs = std::max<long>(1, static_cast<long>(request.timeout.count()));
    const long connectTimeoutMs =
        std::clamp<long>(static_cast<long>(request.connectTimeout.count()), 1, timeoutMs);

    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_SHARE, share_->handle.get());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "KavoMeetings/" KAVO_VERSION " (Linux)");
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &receiveBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &receiveHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &onTransferProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &ChannelSockets::openSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &channel->sockets);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &ChannelSockets::closeSocket);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, &channel->sockets);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.errorText.data());

    CURLcode result = CURLE_OK;
    {
        CURLM* multi = channel->multi.get();
        const Attachment attachment(multi, easy);
        const std::stop_callback wake(stop, [multi] { curl_multi_wakeup(multi); });
        bool done = false;
        while (!done) {
            int running = 0;
            if (const CURLMcode code = curl_multi_perform(multi, &running); code != CURLM_OK) {
                throw TransportError(Kind::other, static_cast<int>(code),
                                     curl_multi_strerror(code));
            }
            int queued = 0;
            while (const CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                    result = message->data.result;
                    done = true;
                }
            }
            if (done) {
                break;
            }
            if (stop.stop_requested()) {
                result = CURLE_ABORTED_BY_CALLBACK;
                break;
            }
            // Sleeps until the socket is ready, libcurl's next deadline, or a wake-up.
            if (const CURLMcode code = curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
                code != CURLM_OK) {
                throw TransportError(Kind::other, static_cast<int>(code),
                                     curl_multi_strerror(code));
            }
        }
    }

    if (result != CURLE_OK) {
        // A failed exchange may leave its connection in any state; the channel is not reused.
        std::string detail = transfer.errorText[0] != '\0'
                                 ? std::string(transfer.errorText.data())
                                 : std::string(curl_easy_strerror(result));
        if (stop.stop_requested()) {
            throw TransportError(Kind::cancelled, static_cast<int>(result), std::move(detail));
        }
        if (transfer.stalled) {
            throw TransportError(Kind::timedOut, static_cast<int>(CURLE_OPERATION_TIMEDOUT),
                                 "no byte moved for the stall time-out");
        }
        if (transfer.tooLarge) {
            throw TransportError(Kind::responseTooLarge, static_cast<int>(result),
                                 std::move(detail));
        }
        // The peer answered, but not in HTTP (the scheme was checked above, so an
        // "unsupported protocol" here is an HTTP/0.9-style answer without a status line).
        if (result == CURLE_WEIRD_SERVER_REPLY || result == CURLE_UNSUPPORTED_PROTOCOL) {
            throw KavoAPIError::invalidResponse();
        }
        throw TransportError(kindOf(result), static_cast<int>(result), std::move(detail));
    }

    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status < 100) {
        throw KavoAPIError::invalidResponse();
    }
    transfer.response.status = static_cast<int>(status);
    for (auto& [name, value] : transfer.headerFields) {
        transfer.response.headers.add(std::move(name), std::move(value));
    }
    putBack(std::move(channel));
    return std::move(transfer.response);
}

}  // namespace kavo::linux_platform
