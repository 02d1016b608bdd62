#include "upload/BlockBlobUploader.h"

#include <fcntl.h>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/AtomicFile.h"
#include "base/Base64.h"
#include "base/PosixFileIO.h"
#include "net/TextExcerpt.h"
#include "net/TransportError.h"
#include "net/UrlText.h"
#include "upload/Crc64.h"

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

// One block of the file: its size tier, its index among blocks of that size, and the
// bytes it covers.
struct Block {
    int tier = 0;
    int index = 0;
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

struct Completion {
    Block block;
    std::exception_ptr error;
};

// Adds up what the requests of one upload move on the wire. A request sent anew starts
// its counts again from zero.
class WireMeter {
public:
    explicit WireMeter(const BlockBlobUploader::WireProgress& report) : report_(report) {}

    std::function<void(std::int64_t, std::int64_t)> forRequest() {
        if (!report_) return {};
        auto last = std::make_shared<std::int64_t>(0);
        return [this, last](std::int64_t sent, std::int64_t received) {
            const std::int64_t moved = sent + received;
            if (moved < *last) *last = 0;
            const std::int64_t delta = moved - *last;
            *last = moved;
            if (delta > 0) report_(total_.fetch_add(delta) + delta);
        };
    }

private:
    const BlockBlobUploader::WireProgress& report_;
    std::atomic<std::int64_t> total_{0};
};

// How logs and errors name a block: by its index, and its size when it is not the full one.
std::string describe(const Block& block) {
    if (block.tier == 0) return std::to_string(block.index);
    return fmt::format("{} of {} bytes", block.index, block.length);
}

// Lost on the way rather than refused: worth sending again in smaller pieces.
bool isLostBlock(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const TransportError& transport) {
        return !transport.isCancellation();
    } catch (const BlockBlobUploaderError& storage) {
        const int status = storage.status();
        return storage.kind() == BlockBlobUploaderError::Kind::http &&
               (status == 408 || status == 429 || status >= 500);
    } catch (...) {
        return false;
    }
}

// The Put Block requests in flight. Leaving the scope in any way cancels whatever is
// still running and waits for it, so no request outlives the call.
struct InFlight {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Completion> completions;
    std::stop_source cancel;
    // By the offset of their block.
    std::map<std::int64_t, std::thread> threads;

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
        const auto thread = threads.find(done.block.offset);
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
      smallestTier_(0),
      clock_(&clock) {
    // Halves must tile their block exactly, and be a byte at least.
    while (smallestTier_ < kSmallestBlockTier &&
           blockSize_ % (std::int64_t{2} << smallestTier_) == 0)
        ++smallestTier_;
}

const Clock& BlockBlobUploader::systemClock() {
    static const SystemClock clock;
    return clock;
}

std::string BlockBlobUploader::blockID(int index) {
    return base64Encode(fmt::format("{:08d}", index));
}

std::string BlockBlobUploader::blockID(int tier, int index) {
    if (tier == 0) return blockID(index);
    return base64Encode(fmt::format("t{:01d}{:06d}", tier, index));
}

std::string BlockBlobUploader::blockListXML(int blockCount) {
    std::vector<std::string> ids;
    for (int i = 0; i < blockCount; ++i) ids.push_back(blockID(i));
    return blockListXML(ids);
}

std::string BlockBlobUploader::blockListXML(const std::vector<std::string>& blockIDs) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<BlockList>\n";
    for (std::size_t i = 0; i < blockIDs.size(); ++i) {
        if (i > 0) xml += '\n';
        xml += "  <Latest>" + escapeXML(blockIDs[i]) + "</Latest>";
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
    request.stallTimeout = kStallTimeout;
    // Each of them stores the same bytes under the same name however often it is sent.
    request.idempotent = true;
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
                                const std::string& contentType, std::stop_token stop,
                                const WireProgress& wire) const {
    WireMeter meter(wire);
    HTTPRequest request = putRequest(sasURL);
    request.onProgress = meter.forRequest();
    request.headers.set("x-ms-blob-type", "BlockBlob");
    request.headers.set("x-ms-blob-content-type", contentType);
    request.headers.set("x-ms-content-crc64", Crc64::headerValue(Crc64::of(data)));
    request.body = std::move(data);
    checkCreated(transport_->data(request, stop), "Put Blob");
}

BlockBlobUploader::Outcome BlockBlobUploader::upload(
    const std::filesystem::path& fileURL, std::int64_t byteCount, const std::string& sasURL,
    const std::string& contentType, const std::string& key, WallTime deadline,
    const Progress& progress, std::stop_token stop, const WireProgress& wire) const {
    byteCount = std::max<std::int64_t>(byteCount, 0);
    const WallTime effectiveDeadline = deadline - kDeadlineMargin;
    const auto block = [&](int tier, int index) {
        const std::int64_t offset = static_cast<std::int64_t>(index) * tierSize(tier);
        return Block{tier, index, offset, std::min(tierSize(tier), byteCount - offset)};
    };
    // The halves of `whole` at `tier`, in file order.
    const auto pieces = [&](const Block& whole, int tier) {
        std::vector<Block> parts;
        const int count = 1 << (tier - whole.tier);
        for (int i = 0; i < count; ++i) {
            const Block part = block(tier, whole.index * count + i);
            if (part.offset < byteCount) parts.push_back(part);
        }
        return parts;
    };

    // What the store lists, whatever sizes it was sent in; the largest block wins where
    // two start at the same byte.
    std::map<std::int64_t, Block> recorded;
    for (const int entry : store_->stagedBlocks(key)) {
        const int tier = entry / kTierStride;
        const int index = entry % kTierStride;
        if (entry < 0 || tier > smallestTier_) continue;
        const Block staged = block(tier, index);
        if (staged.offset >= byteCount) continue;
        const auto [slot, added] = recorded.emplace(staged.offset, staged);
        if (!added && staged.length > slot->second.length) slot->second = staged;
    }

    // The blob is the blocks of `committed` in offset order. Recorded blocks are used
    // where they start exactly where the previous one ended; the gaps are filled with the
    // largest blocks that start aligned and end by the next recorded one, so a resumed
    // upload sends only what is missing and no two listed blocks overlap.
    std::map<std::int64_t, Block> committed;
    std::deque<Block> pending;
    for (std::int64_t offset = 0; offset < byteCount;) {
        if (const auto staged = recorded.find(offset); staged != recorded.end()) {
            committed.emplace(offset, staged->second);
            offset += staged->second.length;
            continue;
        }
        const auto next = recorded.upper_bound(offset);
        const std::int64_t limit = next == recorded.end() ? byteCount : next->first;
        int tier = 0;
        while (tier < smallestTier_ && (offset % tierSize(tier) != 0 ||
                                        std::min(offset + tierSize(tier), byteCount) > limit))
            ++tier;
        const Block gap = block(tier, static_cast<int>(offset / tierSize(tier)));
        pending.push_back(gap);
        offset += gap.length;
    }

    int blocksStaged = static_cast<int>(committed.size());
    std::int64_t bytesStaged = 0;
    for (const auto& [offset, staged] : committed) bytesStaged += staged.length;
    if (!committed.empty())
        log_.notice("Resuming staged upload key={}: {} of {} blocks already staged, {} to go", key,
                    committed.size(), committed.size() + pending.size(), pending.size());
    if (progress) progress(bytesStaged, byteCount);

    WireMeter meter(wire);
    if (!pending.empty()) {
        const WallTime start = clock_->now();
        const auto report = [&](int inFlightCount, double bytesPerSecond,
                                WallTime projectedFinishAt) {
            return DeadlineReport{
                blocksStaged,     blocksStaged + inFlightCount + static_cast<int>(pending.size()),
                bytesStaged,      byteCount,
                bytesPerSecond,   projectedFinishAt,
                effectiveDeadline};
        };
        if (start >= effectiveDeadline) {
            const DeadlineReport refused = report(0, 0, start);
            log_.error("Staging refused before start: {}", refused.description());
            return Outcome::deadlineExceeded(refused);
        }

        const RecordingFile file(fileURL);
        InFlight inFlight;
        const std::stop_callback cancelWithCaller(stop,
                                                  [&inFlight] { inFlight.cancel.request_stop(); });
        // The size new blocks are sent in; it only shrinks, as blocks get lost.
        int tier = 0;

        // Reading happens here, one block at a time, so that memory holds at most the
        // blocks in flight plus the one being read.
        const auto startNext = [&] {
            while (pending.front().tier < tier) {
                const auto parts = pieces(pending.front(), tier);
                pending.pop_front();
                pending.insert(pending.begin(), parts.begin(), parts.end());
            }
            const Block next = pending.front();
            pending.pop_front();
            std::string bytes = file.read(next.offset, next.length);
            if (static_cast<std::int64_t>(bytes.size()) < next.length)
                throw BlockBlobUploaderError::shortRead(next.index, next.length);
            HTTPRequest request = putRequest(appendingQuery(
                "comp=block&blockid=" +
                    UrlText::percentEncodeAlphanumerics(blockID(next.tier, next.index)),
                sasURL));
            request.body = std::move(bytes);
            request.onProgress = meter.forRequest();
            inFlight.threads.emplace(
                next.offset,
                std::thread([this, &inFlight, next, request = std::move(request)]() mutable {
                    Completion done{next, nullptr};
                    try {
                        request.headers.set("x-ms-content-crc64",
                                            Crc64::headerValue(Crc64::of(request.body)));
                        const HTTPResponse response =
                            transport_->data(request, inFlight.cancel.get_token());
                        request = HTTPRequest{};
                        checkCreated(response, fmt::format("Put Block [block {}]", describe(next)));
                    } catch (...) {
                        done.error = std::current_exception();
                    }
                    inFlight.finish(std::move(done));
                }));
        };

        while (!pending.empty() &&
               inFlight.threads.size() < static_cast<std::size_t>(maxConcurrentBlocks_))
            startNext();

        WallTime windowStart = start;
        std::int64_t windowBytes = 0;
        double observedBytesPerSecond = 0;
        bool hasThroughput = false;
        while (!inFlight.threads.empty()) {
            const Completion done = inFlight.next();
            if (stop.stop_requested()) throw TransportError(TransportError::Kind::cancelled);
            if (done.error) {
                if (done.block.tier >= smallestTier_ || !isLostBlock(done.error))
                    std::rethrow_exception(done.error);
                tier = std::max(tier, done.block.tier + 1);
                log_.notice(
                    "Block {} lost for key={}; sending it and the rest in blocks of {} bytes",
                    describe(done.block), key, tierSize(tier));
                const auto parts = pieces(done.block, tier);
                pending.insert(pending.begin(), parts.begin(), parts.end());
                while (!pending.empty() &&
                       inFlight.threads.size() < static_cast<std::size_t>(maxConcurrentBlocks_))
                    startNext();
                continue;
            }

            committed.emplace(done.block.offset, done.block);
            ++blocksStaged;
            bytesStaged += done.block.length;
            windowBytes += done.block.length;
            try {
                store_->markStaged(storeEntry(done.block.tier, done.block.index), key);
            } catch (const std::exception& error) {
                log_.error(
                    "Could not persist staged block {} for key={}: {}. A restart will re-send it.",
                    describe(done.block), key, error.what());
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
                    const DeadlineReport overrun =
                        report(static_cast<int>(inFlight.threads.size()), observedBytesPerSecond,
                               projectedFinishAt);
                    log_.error("Staging stopped on SAS deadline, key={}: {}", key,
                               overrun.description());
                    return Outcome::deadlineExceeded(overrun);
                }
            }

            if (!pending.empty()) startNext();
        }
    }

    std::vector<std::string> ids;
    std::int64_t covered = 0;
    for (const auto& [offset, listed] : committed) {
        if (offset != covered) break;
        ids.push_back(blockID(listed.tier, listed.index));
        covered += listed.length;
    }
    // Never commit a blob with a hole or an overlap in it.
    if (covered != byteCount)
        throw Error(
            "The blocks sent for this recording do not add up to its file, so "
            "nothing was committed.");

    HTTPRequest commit = putRequest(appendingQuery("comp=blocklist", sasURL));
    commit.headers.set("Content-Type", "application/xml; charset=utf-8");
    commit.headers.set("x-ms-blob-content-type", contentType);
    commit.body = blockListXML(ids);
    commit.onProgress = meter.forRequest();
    checkCreated(transport_->data(commit, stop), "Put Block List");

    try {
        store_->clear(key);
    } catch (const std::exception&) {
        // The blob is committed; a leftover entry only names blocks nobody will ask for.
    }
    return Outcome::uploaded(static_cast<int>(ids.size()), byteCount);
}

}  // namespace kavo
