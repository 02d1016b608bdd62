#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Clock.h"
#include "base/Error.h"
#include "base/Log.h"
#include "net/HTTPTransport.h"
#include "upload/StagedBlockStore.h"

namespace kavo {

class BlockBlobUploaderError : public Error {
public:
    enum class Kind {
        fileMissing,
        emptyFile,
        shortRead,
        invalidSASURL,
        sasExpiryUnparseable,
        http,
        sasExpiryUnavailable,
    };

    static BlockBlobUploaderError fileMissing(std::string path);
    static BlockBlobUploaderError emptyFile(std::string path);
    static BlockBlobUploaderError shortRead(int index, std::int64_t expected);
    static BlockBlobUploaderError invalidSASURL(std::string text);
    static BlockBlobUploaderError sasExpiryUnparseable(std::string value);
    static BlockBlobUploaderError http(int status, std::string operation,
                                       std::optional<std::string> azureErrorCode,
                                       std::string detail);
    static BlockBlobUploaderError sasExpiryUnavailable();

    Kind kind() const { return kind_; }
    // fileMissing, emptyFile: the path; invalidSASURL: the URL; sasExpiryUnparseable: the value.
    const std::string& text() const { return text_; }
    int index() const { return index_; }
    std::int64_t expected() const { return expected_; }
    int status() const { return status_; }
    const std::string& operation() const { return operation_; }
    const std::optional<std::string>& azureErrorCode() const { return azureErrorCode_; }
    const std::string& detail() const { return detail_; }

    friend bool operator==(const BlockBlobUploaderError& a, const BlockBlobUploaderError& b);

private:
    BlockBlobUploaderError(Kind kind, const std::string& description);

    Kind kind_;
    std::string text_;
    int index_ = 0;
    std::int64_t expected_ = 0;
    int status_ = 0;
    std::string operation_;
    std::optional<std::string> azureErrorCode_;
    std::string detail_;
};

// Moves one recording file into Azure Blob Storage under the SAS URL the server handed
// out: a single Put Blob when it fits in one block, otherwise Put Block of fixed-size
// blocks, several in flight, committed with one Put Block List. Every body carries its
// CRC-64. A block lost on the way even after the transport's own retries is sent again
// as halves, and the rest of that upload goes in blocks of that size, down to a
// sixteenth: a link that breaks every few megabytes still carries the smaller ones.
// Block ids name their size and place alone, so staged blocks recorded in the store
// survive a restart whatever sizes they were sent in. Staging stops, committing nothing,
// once the measured throughput says the upload cannot finish before the SAS expires.
class BlockBlobUploader {
public:
    struct StagedBlock {
        int index = 0;
        std::int64_t byteCount = 0;
        friend bool operator==(const StagedBlock&, const StagedBlock&) = default;
    };

    struct DeadlineReport {
        int blocksStaged = 0;
        int blocksTotal = 0;
        std::int64_t bytesStaged = 0;
        std::int64_t bytesTotal = 0;
        double observedBytesPerSecond = 0;
        WallTime projectedFinishAt;
        WallTime deadline;

        std::string description() const;
        friend bool operator==(const DeadlineReport&, const DeadlineReport&) = default;
    };

    class Outcome {
    public:
        enum class Kind { uploaded, deadlineExceeded };

        static Outcome uploaded(int blocks, std::int64_t bytes);
        static Outcome deadlineExceeded(DeadlineReport report);

        Kind kind() const { return kind_; }
        int blocks() const { return blocks_; }
        std::int64_t bytes() const { return bytes_; }
        const DeadlineReport& report() const { return report_; }

        friend bool operator==(const Outcome&, const Outcome&) = default;

    private:
        Kind kind_ = Kind::uploaded;
        int blocks_ = 0;
        std::int64_t bytes_ = 0;
        DeadlineReport report_;
    };

    // (bytes staged so far, total bytes); called from the uploading thread.
    using Progress = std::function<void(std::int64_t, std::int64_t)>;
    // Bytes moved on the wire so far, either way, by any request of the upload, re-sent
    // ones included; called from the requests' threads as the bytes move.
    using WireProgress = std::function<void(std::int64_t)>;

    static constexpr std::int64_t kDefaultBlockSize = 4194304;
    static constexpr int kDefaultMaxConcurrentBlocks = 4;
    // Blocks are halved at most this many times (4 MiB down to 256 KiB).
    static constexpr int kSmallestBlockTier = 4;
    // Staging must be done this long before the SAS expiry.
    static constexpr Duration kDeadlineMargin = std::chrono::seconds(120);
    // A request moving no byte for kStallTimeout is dead; one still moving may take up to
    // kRequestTimeout (a block over a slow uplink shared by the blocks in flight).
    static constexpr std::chrono::milliseconds kRequestTimeout = std::chrono::hours(1);
    static constexpr std::chrono::milliseconds kStallTimeout = std::chrono::seconds(120);

    BlockBlobUploader(HTTPTransport& transport, StagedBlockStore& store,
                      std::int64_t blockSize = kDefaultBlockSize,
                      int maxConcurrentBlocks = kDefaultMaxConcurrentBlocks,
                      const Clock& clock = systemClock());

    std::int64_t blockSize() const { return blockSize_; }
    int maxConcurrentBlocks() const { return maxConcurrentBlocks_; }
    StagedBlockStore& store() const { return *store_; }

    // The expiry ("se") of a SAS URL. Throws sasExpiryUnavailable or sasExpiryUnparseable.
    static WallTime sasExpiry(const std::string& sasURL);

    // Single-request upload of a whole file that fits in one block.
    void putBlob(std::string data, const std::string& sasURL, const std::string& contentType,
                 std::stop_token stop = {}, const WireProgress& wire = {}) const;

    // Staged upload, resuming from the blocks the store lists for `key`. `deadline` is the
    // SAS expiry. A stop request aborts the requests in flight and throws the transport's
    // cancellation error.
    Outcome upload(const std::filesystem::path& fileURL, std::int64_t byteCount,
                   const std::string& sasURL, const std::string& contentType,
                   const std::string& key, WallTime deadline, const Progress& progress = {},
                   std::stop_token stop = {}, const WireProgress& wire = {}) const;

    // The id of block `index` of the full block size, and of a block halved `tier` times.
    // All ids have the same length, as storage requires within one blob.
    static std::string blockID(int index);
    static std::string blockID(int tier, int index);
    // How the store records a block of a tier: the full-size index as it is, a smaller
    // block as tier * kTierStride + index.
    static constexpr int kTierStride = 100'000'000;
    static int storeEntry(int tier, int index) { return tier * kTierStride + index; }
    static std::string blockListXML(int blockCount);
    static std::string blockListXML(const std::vector<std::string>& blockIDs);
    // `sasURL` with `query` added after its own query (the signature).
    static std::string appendingQuery(const std::string& query, const std::string& sasURL);

private:
    static const Clock& systemClock();

    HTTPRequest putRequest(const std::string& url) const;
    // The size of a block halved `tier` times, and how often the size allows halving.
    std::int64_t tierSize(int tier) const { return blockSize_ >> tier; }
    void checkCreated(const HTTPResponse& response, const std::string& operation) const;

    HTTPTransport* transport_;
    StagedBlockStore* store_;
    std::int64_t blockSize_;
    int maxConcurrentBlocks_;
    int smallestTier_;
    const Clock* clock_;
    Logger log_{"BlockBlobUploader"};
};

}  // namespace kavo
