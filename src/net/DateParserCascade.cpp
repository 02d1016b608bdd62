#include "net/DateParserCascade.h"

#include "base/Iso8601.h"

namespace kavo {

std::optional<WallTime> DateParserCascade::Format::parse(std::string_view text) const {
    Iso8601Form form;
    switch (fraction) {
        case Fraction::none:
            form.fraction = Iso8601Form::Fraction::none;
            break;
        case Fraction::any:
            form.fraction = Iso8601Form::Fraction::required;
            break;
        case Fraction::sixDigits:
            form.fraction = Iso8601Form::Fraction::sixDigits;
            break;
    }
    form.offsetSeconds = offset == Offset::extended;
    return parseIso8601(text, form);
}

DateParserCascade& DateParserCascade::shared() {
    static DateParserCascade instance;
    return instance;
}

std::optional<WallTime> DateParserCascade::parse(std::string_view text) {
    const std::lock_guard guard(lock_);
    if (!lastText_.empty() && text == lastText_) {
        return lastResult_;
    }
    std::optional<WallTime> result;
    for (const Format* format : {&withFraction_, &plain_, &pydanticUTC_, &pydanticPlain_}) {
        result = format->parse(text);
        if (result) {
            break;
        }
    }
    lastText_ = std::string(text);
    lastResult_ = result;
    return result;
}

std::string DateParserCascade::internetDateTime(WallTime time) {
    return formatIso8601(time, 0);
}

}  // namespace kavo
