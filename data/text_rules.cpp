#include "data/text_rules.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace kestova {

namespace {

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string foldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = foldAscii(c);
  return folded;
}

bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return foldAscii(x) == foldAscii(y); });
}

std::optional<FieldValue> parseNumberLiteral(std::string_view text) {
  std::string_view magnitude = text;
  if (!magnitude.empty() && (magnitude.front() == '+' || magnitude.front() == '-'))
    magnitude.remove_prefix(1);
  const std::size_t point = magnitude.find('.');
  if (!allDigits(magnitude.substr(0, point))) return std::nullopt;
  if (point != std::string_view::npos && !allDigits(magnitude.substr(point + 1)))
    return std::nullopt;
  // from_chars takes a '-' but no '+'.
  if (text.front() == '+') text.remove_prefix(1);
  const char* end = text.data() + text.size();
  if (point == std::string_view::npos) {
    std::int64_t whole = 0;
    auto [stop, error] = std::from_chars(text.data(), end, whole);
    if (error == std::errc() && stop == end) return whole;
  }
  double real = 0;
  auto [stop, error] = std::from_chars(text.data(), end, real);
  if (error != std::errc() || stop != end || !std::isfinite(real)) return std::nullopt;
  return real;
}

}  // namespace kestova
