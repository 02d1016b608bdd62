#include "upload/UploadStatus.h"

#include <fmt/format.h>

#include <cmath>

namespace kavo {

UploadStatus UploadStatus::uploading(std::optional<double> fraction) {
    return {Kind::uploading, {}, fraction};
}
UploadStatus UploadStatus::processing(std::string recordingId) {
    return {Kind::processing, std::move(recordingId)};
}
UploadStatus UploadStatus::delivered(std::string recordingId) {
    return {Kind::delivered, std::move(recordingId)};
}
UploadStatus UploadStatus::retrying(std::string message) {
    return {Kind::retrying, std::move(message)};
}
UploadStatus UploadStatus::failed(std::string message) {
    return {Kind::failed, std::move(message)};
}
UploadStatus UploadStatus::idle() {
    return {Kind::idle};
}
UploadStatus UploadStatus::preparing() {
    return {Kind::preparing};
}
UploadStatus UploadStatus::finalizing() {
    return {Kind::finalizing};
}

std::string UploadStatus::menuText() const {
    switch (kind_) {
        case Kind::uploading:
            if (!fraction_) return "Uploading";
            return fmt::format("Uploading {}%", std::llround(*fraction_ * 100));
        case Kind::processing:
        case Kind::delivered:
            return "Uploaded";
        case Kind::retrying:
            return text_ + " (auto-retrying)";
        case Kind::failed:
            return text_;
        case Kind::idle:
            return "No upload in progress";
        case Kind::preparing:
            return "Preparing upload";
        case Kind::finalizing:
            return "Finishing upload";
    }
    return {};
}

}  // namespace kavo
