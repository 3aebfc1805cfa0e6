#include "progress_text.h"

namespace kestova {

std::int64_t percentHundredths(std::int64_t counter, std::int32_t total) {
  // Whole-number arithmetic rounds exactly where a double would not: the
  // counter stays below 2^32, so counter * 20000 cannot overflow.
  return (counter * 20000 + total) / (2 * static_cast<std::int64_t>(total));
}

QString percentText(std::int64_t hundredths, const QLocale& locale) {
  return QStringLiteral("%1%2%3 %")
      .arg(hundredths / 100, 3, 10, QLatin1Char('0'))
      .arg(locale.decimalPoint())
      .arg(hundredths % 100, 2, 10, QLatin1Char('0'));
}

}  // namespace kestova
