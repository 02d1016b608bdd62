#include "capture/RecentCapture.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

#include "capture/ElapsedTimeText.h"

namespace kavo {
namespace {

std::string upperCased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

bool isTrimmedSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isTrimmedSpace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isTrimmedSpace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

// Characters a path may carry as they are (RFC 3986 pchar plus the separator).
bool isPathCharacter(unsigned char c) {
    if (std::isalnum(c) != 0) {
        return true;
    }
    constexpr std::string_view kAllowed = "-._~!$&'()*+,;=:@/";
    return kAllowed.find(static_cast<char>(c)) != std::string_view::npos;
}

std::string percentEncodedPath(std::string_view path) {
    std::string out;
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (isPathCharacter(c)) {
            out.push_back(ch);
        } else {
            out += fmt::format("%{:02X}", static_cast<unsigned>(c));
        }
    }
    return out;
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || std::isalpha(static_cast<unsigned char>(scheme.front())) == 0) {
        return false;
    }
    return std::all_of(scheme.begin(), scheme.end(), [](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return std::isalnum(c) != 0 || c == '+' || c == '-' || c == '.';
    });
}

std::string localTimeText(WallTime time, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, format, &local);
    return std::string(buffer, length);
}

}  // namespace

std::string RecentCapture::statusText() const {
    const std::string state = upperCased(uploadState.value_or(""));
    if (state.empty()) {
        return "Not uploaded";
    }
    if (state == "UPLOADING") {
        return "Uploading";
    }
    if (state == "FAILED") {
        return "Failed";
    }
    return "Uploaded";
}

std::string RecentCapture::menuTitle() const {
    // Day without a leading zero, then the abbreviated month of the C library's locale.
    std::string day = localTimeText(startedAt, "%d");
    if (day.size() == 2 && day.front() == '0') {
        day.erase(0, 1);
    }
    const std::string date = day + " " + localTimeText(startedAt, "%b");
    const std::string time = localTimeText(startedAt, "%H:%M");
    return fmt::format("{}, {} \u2014 {} \u2014 {}", date, time, elapsedTimeText(durationSeconds),
                       statusText());
}

std::optional<std::string> RecentCapture::webURL(std::string_view base) const {
    if (!recordingId) {
        return std::nullopt;
    }
    const std::string_view id = trimmed(*recordingId);
    if (id.empty()) {
        return std::nullopt;
    }

    const std::size_t schemeEnd = base.find("://");
    if (schemeEnd == std::string_view::npos || !isValidScheme(base.substr(0, schemeEnd))) {
        return std::nullopt;
    }
    const std::size_t authorityStart = schemeEnd + 3;
    const std::size_t pathStart = base.find_first_of("/?#", authorityStart);
    const std::string_view origin =
        pathStart == std::string_view::npos ? base : base.substr(0, pathStart);
    if (origin.size() == authorityStart || std::any_of(origin.begin(), origin.end(), [](char c) {
            return std::isspace(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }

    std::string_view path;
    if (pathStart != std::string_view::npos && base[pathStart] == '/') {
        path = base.substr(pathStart);
        path = path.substr(0, path.find_first_of("?#"));
    }

    std::vector<std::string_view> components;
    std::size_t position = 0;
    while (position <= path.size()) {
        const std::size_t slash = path.find('/', position);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > position) {
            components.push_back(path.substr(position, end - position));
        }
        position = end + 1;
    }

    std::string newPath;
    for (const std::string_view component : components) {
        newPath += "/";
        newPath += component;
    }
    newPath += "/meetings/";
    newPath += percentEncodedPath(id);
    return std::string(origin) + newPath;
}

}  // namespace kavo
