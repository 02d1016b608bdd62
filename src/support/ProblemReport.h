#pragma once

#include <optional>
#include <string>

#include "net/KavoAPIClient.h"
#include "support/SupportCapture.h"

namespace kavo {

// What the user files: the typed texts as they stand and the recording to describe, if
// the user agreed to attach it.
struct ProblemReport {
    KavoAPIClient::FeedbackCategory category = KavoAPIClient::FeedbackCategory::bug;
    std::string subject;
    std::string problemDescription;
    std::optional<SupportCapture> capture;

    bool operator==(const ProblemReport&) const = default;

    // Why the report may not be sent yet, or nothing. The limits are the server's, counted
    // in Unicode scalars of the trimmed texts, so the window refuses what the server would.
    std::optional<std::string> validationMessage() const;

    static constexpr std::size_t kMinSubject = 5;
    static constexpr std::size_t kMaxSubject = 255;
    static constexpr std::size_t kMinDescription = 10;
    static constexpr std::size_t kMaxDescription = 10000;
};

}  // namespace kavo
