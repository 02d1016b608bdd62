#pragma once

#include "base/Clock.h"

namespace kavo {

// Dates stored in the defaults are seconds (with fractions) since 2001-01-01 00:00:00 UTC.
double secondsSinceReferenceDate(WallTime time);
WallTime fromSecondsSinceReferenceDate(double seconds);

}  // namespace kavo
