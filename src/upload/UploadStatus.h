#pragma once

#include <optional>
#include <string>

namespace kavo {

// Where one capture's upload stands, as the coordinator reports it and the menu shows it.
class UploadStatus {
public:
    enum class Kind {
        uploading,
        processing,
        delivered,
        retrying,
        failed,
        idle,
        preparing,
        finalizing
    };

    // `fraction` in 0...1; absent before any byte count is known.
    static UploadStatus uploading(std::optional<double> fraction = std::nullopt);
    // Finalized, but the server had not reported it delivered when polling stopped.
    static UploadStatus processing(std::string recordingId);
    static UploadStatus delivered(std::string recordingId);
    static UploadStatus retrying(std::string message);
    static UploadStatus failed(std::string message);
    static UploadStatus idle();
    static UploadStatus preparing();
    static UploadStatus finalizing();

    Kind kind() const { return kind_; }
    const std::optional<double>& fraction() const { return fraction_; }
    // processing, delivered: the recording id; retrying, failed: the message.
    const std::string& recordingId() const { return text_; }
    const std::string& message() const { return text_; }

    std::string menuText() const;

    friend bool operator==(const UploadStatus&, const UploadStatus&) = default;

private:
    UploadStatus(Kind kind, std::string text = {}, std::optional<double> fraction = std::nullopt)
        : kind_(kind), text_(std::move(text)), fraction_(fraction) {}

    Kind kind_;
    std::string text_;
    std::optional<double> fraction_;
};

}  // namespace kavo
