#include "app/progress_text.h"

namespace kestova {

std::int64_t percentHundredths(std::int64_t counter, std::int32_t total) {
  // Whole-number arithmetic rounds exactly where a double would not: the
  // counter stays below 2^32, so counter * 20000 cannot overflow.
  return (counter * 20000 + total) / (2 * static_cast<std::int64_t>(total));
}

std::string percentText(std::int64_t hundredths, std::string_view decimalSeparator) {
  std::string text = std::to_string(hundredths / 100);
  if (text.size() < 3) text.insert(0, 3 - text.size(), '0');
  const int fraction = static_cast<int>(hundredths % 100);
  text += decimalSeparator;
  text += static_cast<char>('0' + fraction / 10);
  text += static_cast<char>('0' + fraction % 10);
  return text + " %";
}

}  // namespace kestova
