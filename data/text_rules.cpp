#include "text_rules.h"

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

std::string_view trimSpaces(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

void appendFoldedText(std::string& out, std::string_view text) {
  // Folding keeps every character's length: the text is folded in place.
  const std::size_t start = out.size();
  out.append(text);
  char* folded = out.data() + start;
  for (std::size_t i = 0; i < text.size(); ++i) {
    folded[i] = foldAscii(text[i]);
    // À..Þ are 0xC3 0x80..0x9E in UTF-8, their lower case 0x20 further on;
    // 0x97 is the multiplication sign, which has no lower case.
    if (static_cast<unsigned char>(text[i]) == 0xC3 && i + 1 < text.size()) {
      auto next = static_cast<unsigned char>(text[++i]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) folded[i] = static_cast<char>(next + 0x20);
    }
  }
}

std::string comparableText(std::string_view text) {
  std::string out;
  appendFoldedText(out, trimSpaces(text));
  return out;
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
