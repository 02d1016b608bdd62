#include "support/ProblemReport.h"

#include "net/TextExcerpt.h"

namespace kavo {

std::optional<std::string> ProblemReport::validationMessage() const {
    const std::size_t subjectLength = unicodeScalarCount(trimmedWhitespace(subject));
    const std::size_t descriptionLength = unicodeScalarCount(trimmedWhitespace(problemDescription));
    if (subjectLength < kMinSubject) {
        return "Subject needs at least 5 characters.";
    }
    if (subjectLength > kMaxSubject) {
        return "Subject is limited to 255 characters.";
    }
    if (descriptionLength < kMinDescription) {
        return "Description needs at least 10 characters.";
    }
    if (descriptionLength > kMaxDescription) {
        return "Description is limited to 10000 characters.";
    }
    return std::nullopt;
}

}  // namespace kavo
