#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestova {

// The share of rows begun, in hundredths of a percent, rounded half up:
// 1 of 3 gives 3333, 2 of 3 gives 6667. Requires: total > 0, counter >= 0.
std::int64_t percentHundredths(std::int64_t counter, std::int32_t total);

// The progress text of a share in hundredths: at least three digits before the
// decimal separator, two after it, then " %": 033.33 %, 100.00 %.
// Requires: hundredths >= 0.
std::string percentText(std::int64_t hundredths, std::string_view decimalSeparator);

}  // namespace kestova
