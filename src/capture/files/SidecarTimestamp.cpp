#include "capture/files/SidecarTimestamp.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>

namespace kavo {
namespace {

using namespace std::chrono;

// Reads exactly `digits` decimal digits at `at`, advancing it.
std::optional<int> number(std::string_view text, std::size_t& at, int digits) {
    if (at + static_cast<std::size_t>(digits) > text.size()) return std::nullopt;
    int value = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = text[at + static_cast<std::size_t>(i)];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    at += static_cast<std::size_t>(digits);
    return value;
}

bool expect(std::string_view text, std::size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

}  // namespace

std::string SidecarTimestamp::format(WallTime time) {
    const auto millis = floor<milliseconds>(time);
    const auto day = floor<days>(millis);
    const year_month_day date{day};
    const hh_mm_ss clock{millis - day};
    return fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}.{:03d}Z",
                       static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                       static_cast<unsigned>(date.day()), clock.hours().count(),
                       clock.minutes().count(), clock.seconds().count(),
                       clock.subseconds().count());
}

std::optional<WallTime> SidecarTimestamp::parse(std::string_view text) {
    std::size_t at = 0;
    const auto y = number(text, at, 4);
    if (!y || !expect(text, at, '-')) return std::nullopt;
    const auto mo = number(text, at, 2);
    if (!mo || !expect(text, at, '-')) return std::nullopt;
    const auto d = number(text, at, 2);
    if (!d || !expect(text, at, 'T')) return std::nullopt;
    const auto h = number(text, at, 2);
    if (!h || !expect(text, at, ':')) return std::nullopt;
    const auto mi = number(text, at, 2);
    if (!mi || !expect(text, at, ':')) return std::nullopt;
    const auto s = number(text, at, 2);
    if (!s) return std::nullopt;

    const year_month_day date{year{*y}, month{static_cast<unsigned>(*mo)},
                              day{static_cast<unsigned>(*d)}};
    if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;

    nanoseconds fraction{0};
    if (expect(text, at, '.')) {
        std::int64_t scale = 100'000'000;
        const std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (at - first >= 9) return std::nullopt;
            fraction += nanoseconds{(text[at] - '0') * scale};
            scale /= 10;
            ++at;
        }
        if (at == first) return std::nullopt;
    }

    minutes offset{0};
    if (!expect(text, at, 'Z')) {
        if (at >= text.size() || (text[at] != '+' && text[at] != '-')) return std::nullopt;
        const int sign = text[at] == '-' ? -1 : 1;
        ++at;
        const auto oh = number(text, at, 2);
        if (!oh || !expect(text, at, ':')) return std::nullopt;
        const auto om = number(text, at, 2);
        if (!om || *oh > 23 || *om > 59) return std::nullopt;
        offset = minutes{sign * (*oh * 60 + *om)};
    }
    if (at != text.size()) return std::nullopt;

    const auto local =
        sys_days{date} + hours{*h} + minutes{*mi} + std::chrono::seconds{*s} + fraction;
    return time_point_cast<WallTime::duration>(local - offset);
}

}  // namespace kavo
