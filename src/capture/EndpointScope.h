#pragma once

#include <initializer_list>
#include <string_view>

namespace kavo {

// Which capture endpoints a device change or rebuild concerns: a set over the bits
// `microphone` (1) and `systemAudio` (2).
class EndpointScope {
public:
    static const EndpointScope microphone;
    static const EndpointScope systemAudio;

    constexpr EndpointScope() = default;
    constexpr explicit EndpointScope(int rawValue) : rawValue_(rawValue) {}
    constexpr EndpointScope(std::initializer_list<EndpointScope> members) {
        for (const EndpointScope member : members) rawValue_ |= member.rawValue_;
    }

    constexpr int rawValue() const { return rawValue_; }
    constexpr bool isEmpty() const { return rawValue_ == 0; }
    constexpr bool contains(EndpointScope other) const {
        return (rawValue_ & other.rawValue_) == other.rawValue_;
    }
    constexpr EndpointScope subtracting(EndpointScope other) const {
        return EndpointScope{rawValue_ & ~other.rawValue_};
    }

    constexpr EndpointScope operator|(EndpointScope other) const {
        return EndpointScope{rawValue_ | other.rawValue_};
    }
    constexpr EndpointScope operator&(EndpointScope other) const {
        return EndpointScope{rawValue_ & other.rawValue_};
    }
    constexpr EndpointScope operator^(EndpointScope other) const {
        return EndpointScope{rawValue_ ^ other.rawValue_};
    }
    constexpr EndpointScope& operator|=(EndpointScope other) {
        rawValue_ |= other.rawValue_;
        return *this;
    }
    constexpr bool operator==(const EndpointScope&) const = default;

    // "microphone", "systemAudio", "both", or "none" for anything else (empty included):
    // the word log lines, device events and rebuild summaries use.
    constexpr std::string_view description() const {
        switch (rawValue_) {
            case 1:
                return "microphone";
            case 2:
                return "systemAudio";
            case 3:
                return "both";
            default:
                return "none";
        }
    }

private:
    int rawValue_ = 0;
};

inline constexpr EndpointScope EndpointScope::microphone{1};
inline constexpr EndpointScope EndpointScope::systemAudio{2};

}  // namespace kavo
