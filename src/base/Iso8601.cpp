#include "base/Iso8601.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdint>

namespace kavo {
namespace {

namespace chrono = std::chrono;

// Reads exactly `count` decimal digits at `at`, advancing past them.
std::optional<int> digits(std::string_view text, std::size_t& at, std::size_t count) {
    if (text.size() < at || text.size() - at < count) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    at += count;
    return value;
}

bool literal(std::string_view text, std::size_t& at, char expected) {
    if (at < text.size() && text[at] == expected) {
        ++at;
        return true;
    }
    return false;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<WallTime> parseIso8601(std::string_view text, Iso8601Form form) {
    using Fraction = Iso8601Form::Fraction;
    std::size_t at = 0;
    const auto year = digits(text, at, 4);
    if (!year || !literal(text, at, '-')) return std::nullopt;
    const auto month = digits(text, at, 2);
    if (!month || !literal(text, at, '-')) return std::nullopt;
    const auto day = digits(text, at, 2);
    if (!day || !literal(text, at, 'T')) return std::nullopt;
    const auto hour = digits(text, at, 2);
    if (!hour || !literal(text, at, ':')) return std::nullopt;
    const auto minute = digits(text, at, 2);
    if (!minute || !literal(text, at, ':')) return std::nullopt;
    const auto second = digits(text, at, 2);
    if (!second) return std::nullopt;
    const chrono::year_month_day date{chrono::year{*year},
                                      chrono::month{static_cast<unsigned>(*month)},
                                      chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 59) return std::nullopt;

    chrono::nanoseconds subsecond{0};
    if (literal(text, at, '.')) {
        if (form.fraction == Fraction::none) return std::nullopt;
        std::size_t count = 0;
        std::int64_t scaled = 0;
        for (; at < text.size() && isDigit(text[at]); ++at, ++count) {
            if (count < 9) scaled = scaled * 10 + (text[at] - '0');
        }
        if (count == 0 || count > form.maxFractionDigits) return std::nullopt;
        if (form.fraction == Fraction::sixDigits && count != 6) return std::nullopt;
        for (std::size_t i = count; i < 9; ++i) scaled *= 10;
        subsecond = chrono::nanoseconds{scaled};
    } else if (form.fraction == Fraction::required || form.fraction == Fraction::sixDigits) {
        return std::nullopt;
    }

    chrono::seconds offset{0};
    if (!literal(text, at, 'Z')) {
        int sign = 0;
        if (literal(text, at, '+')) {
            sign = 1;
        } else if (literal(text, at, '-')) {
            sign = -1;
        } else {
            return std::nullopt;
        }
        const auto offsetHours = digits(text, at, 2);
        if (!offsetHours || !literal(text, at, ':')) return std::nullopt;
        const auto offsetMinutes = digits(text, at, 2);
        if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) return std::nullopt;
        int offsetSeconds = 0;
        if (form.offsetSeconds && literal(text, at, ':')) {
            const auto value = digits(text, at, 2);
            if (!value || *value > 59) return std::nullopt;
            offsetSeconds = *value;
        }
        offset = sign * (chrono::hours{*offsetHours} + chrono::minutes{*offsetMinutes} +
                         chrono::seconds{offsetSeconds});
    }
    if (at != text.size()) return std::nullopt;

    const auto local = chrono::sys_days{date} + chrono::hours{*hour} + chrono::minutes{*minute} +
                       chrono::seconds{*second};
    return chrono::time_point_cast<WallTime::duration>(local - offset + subsecond);
}

std::string formatIso8601(WallTime time, int fractionDigits) {
    const auto nanos = chrono::floor<chrono::nanoseconds>(time);
    const auto dayStart = chrono::floor<chrono::days>(nanos);
    const chrono::year_month_day date{dayStart};
    const chrono::hh_mm_ss clock{nanos - dayStart};
    auto text =
        fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}", static_cast<int>(date.year()),
                    static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                    clock.hours().count(), clock.minutes().count(), clock.seconds().count());
    if (fractionDigits > 0) {
        const auto fraction = fmt::format("{:09d}", clock.subseconds().count());
        text += '.';
        text += fraction.substr(0, static_cast<std::size_t>(std::min(fractionDigits, 9)));
    }
    text += 'Z';
    return text;
}

}  // namespace kavo
