#include "upload/BlockBlobUploader.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/AtomicFile.h"
#include "capture/files/PosixFileIO.h"
#include "net/TextExcerpt.h"
#include "net/TransportError.h"
#include "upload/Crc64.h"
#include "upload/UrlText.h"

namespace kavo {

// ---- Errors

BlockBlobUploaderError::BlockBlobUploaderError(Kind kind, const std::string& description)
    : Error(description), kind_(kind) {}

BlockBlobUploaderError BlockBlobUploaderError::fileMissing(std::string path) {
    BlockBlobUploaderError error(Kind::fileMissing,
                                 "Recording file is no longer on this computer (" + path + ").");
    error.text_ = std::move(path);
    return error;
}

BlockBlobUploaderError BlockBlobUploaderError::emptyFile(std::string path) {
    BlockBlobUploaderError error(
        Kind::emptyFile, "Recording file is empty (" + path + "); there is nothing to upload.");
    error.text_ = std::move(path);
    return error;
}

BlockBlobUploaderError BlockBlobUploaderError::shortRead(int index, std::int64_t expected) {
    BlockBlobUploaderError error(
        Kind::shortRead, fmt::format("Could not read block {} ({} bytes) from the recording file.",
                                     index, expected));
    error.index_ = index;
    error.expected_ = expected;
    return error;
}

BlockBlobUploaderError BlockBlobUploaderError::invalidSASURL(std::string text) {
    BlockBlobUploaderError error(Kind::invalidSASURL, "Upload URL could not be parsed: " + text);
    error.text_ = std::move(text);
    return error;
}

BlockBlobUploaderError BlockBlobUploaderError::sasExpiryUnparseable(std::string value) {
    BlockBlobUploaderError error(
        Kind::sasExpiryUnparseable,
        "Upload URL expiry '" + value + "' is not a recognised ISO 8601 timestamp.");
    error.text_ = std::move(value);
    return error;
}

BlockBlobUploaderError BlockBlobUploaderError::http(int status, std::string operation,
                                                    std::optional<std::string> azureErrorCode,
                                                    std::string detail) {
    const std::string codePart = azureErrorCode ? " code=" + *azureErrorCode : std::string();
    BlockBlobUploaderError error(Kind::http, fmt::format("Azure {} failed with HTTP {}{}. {}",
                                                         operation, status, codePart, detail));
    error.status_ = status;
    error.operation_ = std::move(operation);
    error.azureErrorCode_ = std::move(azureErrorCode);
    error.detail_ = std::move(detail);
    return error;
}

BlockBlobUploaderError BlockBlobUploaderError::sasExpiryUnavailable() {
    return {
        Kind::sasExpiryUnavailable,
        "Upload URL carries no 'se' expiry parameter, so the upload deadline cannot be enforced."};
}

bool operator==(const BlockBlobUploaderError& a, const BlockBlobUploaderError& b) {
    return a.kind_ == b.kind_ && a.text_ == b.text_ && a.index_ == b.index_ &&
           a.expected_ == b.expected_ && a.status_ == b.status_ && a.operation_ == b.operation_ &&
           a.azureErrorCode_ == b.azureErrorCode_ && a.detail_ == b.detail_;
}

// ---- Values

std::string BlockBlobUploader::DeadlineReport::description() const {
    const auto overrun = std::chrono::duration<double>(projectedFinishAt - deadline).count();
    return fmt::format(
        "staged {}/{} blocks ({} of {} bytes) at ~{} KB/s; projected finish overruns the SAS "
        "deadline by {}s. Nothing was committed.",
        blocksStaged, blocksTotal, bytesStaged, bytesTotal,
        std::llround(observedBytesPerSecond / 1024), std::llround(overrun));
}

BlockBlobUploader::Outcome BlockBlobUploader::Outcome::uploaded(int blocks, std::int64_t bytes) {
    Outcome outcome;
    outcome.kind_ = Kind::uploaded;
    outcome.blocks_ = blocks;
    outcome.bytes_ = bytes;
    return outcome;
}

BlockBlobUploader::Outcome BlockBlobUploader::Outcome::deadlineExceeded(DeadlineReport report) {
    Outcome outcome;
    outcome.kind_ = Kind::deadlineExceeded;
    outcome.report_ = report;
    return outcome;
}

// ---- Helpers

namespace {

std::string base64(std::string_view bytes) {
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    encoded.resize(static_cast<std::size_t>(length));
    return encoded;
}

std::string escapeXML(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

// Remaining bytes over a throughput can be any size; keep the sum inside the clock's range.
WallTime addSeconds(WallTime t, double seconds) {
    constexpr double kCentury = 100.0 * 365 * 24 * 3600;
    return t + std::chrono::duration_cast<WallTime::duration>(
                   std::chrono::duration<double>(std::min(seconds, kCentury)));
}

enum class FractionalSeconds { absent, required };

// ISO 8601 internet date-time (RFC 3339): "2025-03-04T10:00:00Z", or with an offset
// "+01:00"; with `required` the seconds must carry a fraction, otherwise they must not.
std::optional<WallTime> parseInternetDateTime(std::string_view text, FractionalSeconds fraction) {
    std::size_t at = 0;
    const auto number = [&](std::size_t digits) -> std::optional<int> {
        if (at + digits > text.size()) return std::nullopt;
        int value = 0;
        for (std::size_t i = 0; i < digits; ++i) {
            const char c = text[at + i];
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        at += digits;
        return value;
    };
    const auto literal = [&](char c) {
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    };

    const auto year = number(4);
    if (!year || !literal('-')) return std::nullopt;
    const auto month = number(2);
    if (!month || !literal('-')) return std::nullopt;
    const auto day = number(2);
    if (!day || !literal('T')) return std::nullopt;
    const auto hour = number(2);
    if (!hour || !literal(':')) return std::nullopt;
    const auto minute = number(2);
    if (!minute || !literal(':')) return std::nullopt;
    const auto second = number(2);
    if (!second) return std::nullopt;

    std::chrono::nanoseconds subsecond{0};
    if (fraction == FractionalSeconds::required) {
        if (!literal('.')) return std::nullopt;
        std::int64_t scale = 100'000'000;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            subsecond += std::chrono::nanoseconds((text[at] - '0') * scale);
            scale /= 10;
            ++at;
        }
        if (at == first) return std::nullopt;
    }

    std::chrono::minutes offset{0};
    if (!literal('Z')) {
        if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return std::nullopt;
        const int sign = text[at++] == '-' ? -1 : 1;
        const auto offsetHours = number(2);
        if (!offsetHours || !literal(':')) return std::nullopt;
        const auto offsetMinutes = number(2);
        if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) return std::nullopt;
        offset = std::chrono::minutes(sign * (*offsetHours * 60 + *offsetMinutes));
    }
    if (at != text.size()) return std::nullopt;

    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;
    const auto local = std::chrono::sys_days(date) + std::chrono::hours(*hour) +
                       std::chrono::minutes(*minute) + std::chrono::seconds(*second);
    return std::chrono::time_point_cast<WallTime::duration>(local - offset + subsecond);
}

struct Completion {
    int index = 0;
    std::int64_t byteCount = 0;
    std::exception_ptr error;
};

// The Put Block requests in flight. Leaving the scope in any way cancels whatever is
// still running and waits for it, so no request outlives the call.
struct InFlight {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Completion> completions;
    std::stop_source cancel;
    std::map<int, std::thread> threads;

    InFlight() = default;
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    ~InFlight() {
        cancel.request_stop();
        for (auto& [index, thread] : threads) thread.join();
    }

    Completion next() {
        std::unique_lock lock(mutex);
        ready.wait(lock, [this] { return !completions.empty(); });
        Completion done = std::move(completions.front());
        completions.pop_front();
        lock.unlock();
        const auto thread = threads.find(done.index);
        thread->second.join();
        threads.erase(thread);
        return done;
    }

    void finish(Completion done) {
        {
            std::lock_guard lock(mutex);
            completions.push_back(std::move(done));
        }
        ready.notify_one();
    }
};

class RecordingFile {
public:
    explicit RecordingFile(const std::filesystem::path& path)
        : path_(path),
          fd_(PosixFileIO::system(),
              PosixFileIO::system().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0)) {
        if (!fd_.valid())
            throw FileError("Could not open the recording file (" + path_.string() +
                            "): " + std::strerror(errno));
    }

    // Up to `length` bytes from `offset`; fewer only at the end of the file.
    std::string read(std::int64_t offset, std::int64_t length) const {
        std::string bytes(static_cast<std::size_t>(length), '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = PosixFileIO::system().pread(
                fd_.get(), bytes.data() + got, bytes.size() - got,
                static_cast<off_t>(offset + static_cast<std::int64_t>(got)));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                throw FileError("Could not read the recording file (" + path_.string() +
                                "): " + std::strerror(errno));
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

private:
    std::filesystem::path path_;
    FileDescriptor fd_;
};

}  // namespace

// ---- Uploader

BlockBlobUploader::BlockBlobUploader(HTTPTransport& transport, StagedBlockStore& store,
                                     std::int64_t blockSize, int maxConcurrentBlocks,
                                     const Clock& clock)
    : transport_(&transport),
      store_(&store),
      blockSize_(std::max<std::int64_t>(blockSize, 1)),
      maxConcurrentBlocks_(std::max(maxConcurrentBlocks, 1)),
      clock_(&clock) {}

const Clock& BlockBlobUploader::systemClock() {
    static const SystemClock clock;
    return clock;
}

std::string BlockBlobUploader::blockID(int index) {
    return base64(fmt::format("{:08d}", index));
}

std::string BlockBlobUploader::blockListXML(int blockCount) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<BlockList>\n";
    for (int i = 0; i < blockCount; ++i) {
        if (i > 0) xml += '\n';
        xml += "  <Latest>" + escapeXML(blockID(i)) + "</Latest>";
    }
    xml += "\n</BlockList>";
    return xml;
}

std::string BlockBlobUploader::appendingQuery(const std::string& query, const std::string& sasURL) {
    const auto parts = UrlText::parse(sasURL);
    if (!parts) throw BlockBlobUploaderError::invalidSASURL(sasURL);
    auto rebuilt = *parts;
    rebuilt.query = parts->query && !parts->query->empty() ? *parts->query + "&" + query : query;
    return rebuilt.text();
}

WallTime BlockBlobUploader::sasExpiry(const std::string& sasURL) {
    const auto parts = UrlText::parse(sasURL);
    if (!parts) throw BlockBlobUploaderError::sasExpiryUnavailable();
    const auto value = parts->queryValue("se");
    if (!value || value->empty()) throw BlockBlobUploaderError::sasExpiryUnavailable();
    if (auto date = parseInternetDateTime(*value, FractionalSeconds::absent)) return *date;
    if (auto date = parseInternetDateTime(*value, FractionalSeconds::required)) return *date;
    throw BlockBlobUploaderError::sasExpiryUnparseable(*value);
}

HTTPRequest BlockBlobUploader::putRequest(const std::string& url) const {
    HTTPRequest request;
    request.method = "PUT";
    request.url = url;
    request.timeout = kRequestTimeout;
    return request;
}

void BlockBlobUploader::checkCreated(const HTTPResponse& response,
                                     const std::string& operation) const {
    if (response.status == 201) return;
    const auto requestID = response.headers.get("x-ms-request-id");
    std::string detail = textExcerpt(utf8OrEmpty(response.body), 400);
    if (requestID) detail = "x-ms-request-id=" + *requestID + " " + detail;
    auto error = BlockBlobUploaderError::http(
        response.status, operation, response.headers.get("x-ms-error-code"), std::move(detail));
    log_.error("{}", error.description());
    throw error;
}

void BlockBlobUploader::putBlob(std::string data, const std::string& sasURL,
                                const std::string& contentType, std::stop_token stop) const {
    HTTPRequest request = putRequest(sasURL);
    request.headers.set("x-ms-blob-type", "BlockBlob");
    request.headers.set("x-ms-blob-content-type", contentType);
    request.headers.set("x-ms-content-crc64", Crc64::headerValue(Crc64::of(data)));
    request.body = std::move(data);
    checkCreated(transport_->data(request, stop), "Put Blob");
}

BlockBlobUploader::Outcome BlockBlobUploader::upload(
    const std::filesystem::path& fileURL, std::int64_t byteCount, const std::string& sasURL,
    const std::string& contentType, const std::string& key, WallTime deadline,
    const Progress& progress, std::stop_token stop) const {
    const int blockCount =
        static_cast<int>((std::max<std::int64_t>(byteCount, 0) + blockSize_ - 1) / blockSize_);
    const WallTime effectiveDeadline = deadline - kDeadlineMargin;
    const auto blockLength = [&](int index) {
        return std::min(blockSize_, byteCount - static_cast<std::int64_t>(index) * blockSize_);
    };

    std::set<int> staged;
    for (const int index : store_->stagedBlocks(key))
        if (index >= 0 && index < blockCount) staged.insert(index);
    std::vector<int> pending;
    for (int index = 0; index < blockCount; ++index)
        if (!staged.contains(index)) pending.push_back(index);
    if (!staged.empty())
        log_.notice("Resuming staged upload key={}: {} of {} blocks already staged, {} to go", key,
                    staged.size(), blockCount, pending.size());

    int blocksStaged = static_cast<int>(staged.size());
    std::int64_t bytesStaged = 0;
    for (const int index : staged) bytesStaged += blockLength(index);
    if (progress) progress(bytesStaged, byteCount);

    if (!pending.empty()) {
        const WallTime start = clock_->now();
        if (start >= effectiveDeadline) {
            const DeadlineReport report{blocksStaged, blockCount,       bytesStaged, byteCount, 0,
                                        start,        effectiveDeadline};
            log_.error("Staging refused before start: {}", report.description());
            return Outcome::deadlineExceeded(report);
        }

        const RecordingFile file(fileURL);
        InFlight inFlight;
        const std::stop_callback cancelWithCaller(stop,
                                                  [&inFlight] { inFlight.cancel.request_stop(); });
        std::size_t nextPending = 0;

        // Reading happens here, one block at a time, so that memory holds at most the
        // blocks in flight plus the one being read.
        const auto startNext = [&] {
            const int index = pending[nextPending++];
            const std::int64_t length = blockLength(index);
            std::string bytes = file.read(static_cast<std::int64_t>(index) * blockSize_, length);
            if (static_cast<std::int64_t>(bytes.size()) < length)
                throw BlockBlobUploaderError::shortRead(index, length);
            HTTPRequest request = putRequest(appendingQuery(
                "comp=block&blockid=" + UrlText::percentEncodeAlphanumerics(blockID(index)),
                sasURL));
            request.body = std::move(bytes);
            inFlight.threads.emplace(
                index, std::thread([this, &inFlight, index, length,
                                    request = std::move(request)]() mutable {
                    Completion done{index, length, nullptr};
                    try {
                        request.headers.set("x-ms-content-crc64",
                                            Crc64::headerValue(Crc64::of(request.body)));
                        const HTTPResponse response =
                            transport_->data(request, inFlight.cancel.get_token());
                        request = HTTPRequest{};
                        checkCreated(response, fmt::format("Put Block [block {}]", index));
                    } catch (...) {
                        done.error = std::current_exception();
                    }
                    inFlight.finish(std::move(done));
                }));
        };

        const auto window =
            std::min<std::size_t>(static_cast<std::size_t>(maxConcurrentBlocks_), pending.size());
        while (nextPending < window) startNext();

        WallTime windowStart = start;
        std::int64_t windowBytes = 0;
        double observedBytesPerSecond = 0;
        bool hasThroughput = false;
        while (!inFlight.threads.empty()) {
            const Completion done = inFlight.next();
            if (done.error) std::rethrow_exception(done.error);
            if (stop.stop_requested()) throw TransportError(TransportError::Kind::cancelled);

            ++blocksStaged;
            bytesStaged += done.byteCount;
            windowBytes += done.byteCount;
            try {
                store_->markStaged(done.index, key);
            } catch (const std::exception& error) {
                log_.error(
                    "Could not persist staged block {} for key={}: {}. A restart will re-send it.",
                    done.index, key, error.what());
            }
            if (progress) progress(bytesStaged, byteCount);

            const WallTime t = clock_->now();
            const double interval = std::chrono::duration<double>(t - windowStart).count();
            if (interval > 0) {
                const double sample = static_cast<double>(windowBytes) / interval;
                observedBytesPerSecond =
                    hasThroughput ? 0.35 * sample + 0.65 * observedBytesPerSecond : sample;
                hasThroughput = true;
                windowStart = t;
                windowBytes = 0;
            }

            const std::int64_t remaining = byteCount - bytesStaged;
            if (remaining >= 1 && hasThroughput && observedBytesPerSecond > 0) {
                const WallTime projectedFinishAt =
                    addSeconds(t, static_cast<double>(remaining) / observedBytesPerSecond);
                if (projectedFinishAt > effectiveDeadline) {
                    inFlight.cancel.request_stop();
                    const DeadlineReport report{
                        blocksStaged,           blockCount,        bytesStaged,      byteCount,
                        observedBytesPerSecond, projectedFinishAt, effectiveDeadline};
                    log_.error("Staging stopped on SAS deadline, key={}: {}", key,
                               report.description());
                    return Outcome::deadlineExceeded(report);
                }
            }

            if (nextPending < pending.size()) startNext();
        }
    }

    HTTPRequest commit = putRequest(appendingQuery("comp=blocklist", sasURL));
    commit.headers.set("Content-Type", "application/xml; charset=utf-8");
    commit.headers.set("x-ms-blob-content-type", contentType);
    commit.body = blockListXML(blockCount);
    checkCreated(transport_->data(commit, stop), "Put Block List");

    try {
        store_->clear(key);
    } catch (const std::exception&) {
        // The blob is committed; a leftover entry only names blocks nobody will ask for.
    }
    return Outcome::uploaded(blockCount, byteCount);
}

}  // namespace kavo
