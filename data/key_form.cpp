#include "data/key_form.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "data/text_rules.h"

namespace kestova {

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// SQLite's text of a real number: 15 significant digits, always with a point.
std::string realText(double value) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15g", value);
  std::string text = buffer;
  if (text.find_first_of(".ein") == std::string::npos) {
    text += ".0";
  } else if (auto e = text.find('e');
             e != std::string::npos && text.find('.') == std::string::npos) {
    text.insert(e, ".0");
  }
  return text;
}

// A text that reads as a number, with spaces around it allowed, as SQLite
// converts it for a numeric column; nullopt otherwise.
std::optional<FieldValue> numberIn(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  const char* end = text.data() + text.size();
  std::int64_t whole = 0;
  if (auto [at, error] = std::from_chars(text.data(), end, whole);
      error == std::errc() && at == end)
    return whole;
  double real = 0;
  auto [at, error] = std::from_chars(text.data(), end, real, std::chars_format::general);
  if (error != std::errc() || at != end || !std::isfinite(real)) return std::nullopt;
  // Hexadecimal and words such as "inf" are not numbers to SQLite.
  for (char c : text)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != 'e' && c != 'E' &&
        c != '-' && c != '+')
      return std::nullopt;
  return real;
}

// Appends `text` with ASCII and Latin-1 capitals (À to Þ, not ×) in lower
// case. Byte lengths are kept; bytes that are not such a letter pass unchanged.
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

// A tag, then a number in 7-bit groups, lowest first; appended at once.
void appendTagged(std::string& out, char tag, std::uint64_t value) {
  char bytes[11] = {tag};
  std::size_t length = 1;
  while (value >= 0x80) {
    bytes[length++] = static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  bytes[length++] = static_cast<char>(value);
  out.append(bytes, length);
}

void appendWhole(std::string& key, std::int64_t number) {
  // Zig-zag keeps small negative numbers short.
  appendTagged(
      key, 'i',
      (static_cast<std::uint64_t>(number) << 1) ^ static_cast<std::uint64_t>(number >> 63));
}

// Text keys are as a filter compares texts; their length first, so that no
// text key is the start of another.
void appendText(std::string& key, std::string_view text) {
  text = trimSpaces(text);
  appendTagged(key, 't', text.size());
  appendFoldedText(key, text);
}

}  // namespace

Affinity affinityOf(std::string_view declaredType) {
  const std::string declared = foldName(declaredType);
  if (contains(declared, "int")) return Affinity::Integer;
  if (contains(declared, "char") || contains(declared, "clob") || contains(declared, "text"))
    return Affinity::Text;
  if (declared.empty() || contains(declared, "blob")) return Affinity::None;
  if (contains(declared, "real") || contains(declared, "floa") || contains(declared, "doub"))
    return Affinity::Real;
  return Affinity::Numeric;
}

FieldValue withAffinity(Affinity affinity, const FieldValue& value) {
  if (affinity == Affinity::None) return value;
  if (affinity == Affinity::Text) {
    if (auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
    if (auto* real = std::get_if<double>(&value)) return realText(*real);
    return value;
  }
  if (auto* text = std::get_if<std::string>(&value)) {
    if (std::optional<FieldValue> number = numberIn(*text)) return *number;
  }
  return value;
}

bool storedAsWritten(Affinity affinity, const FieldValue& value) {
  if (affinity == Affinity::None || isNull(value) || std::holds_alternative<Blob>(value))
    return true;
  if (std::holds_alternative<std::string>(value)) return affinity == Affinity::Text;
  return affinity != Affinity::Text;
}

std::string_view trimSpaces(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

std::string comparableText(std::string_view text) {
  std::string out;
  appendFoldedText(out, trimSpaces(text));
  return out;
}

bool appendKeyPart(std::string& key, const FieldValue& value) {
  if (auto* whole = std::get_if<std::int64_t>(&value)) {
    appendWhole(key, *whole);
    return true;
  }
  if (auto* real = std::get_if<double>(&value)) {
    if (std::isnan(*real)) return false;
    // -2^63 <= real < 2^63 is exactly representable as a whole number.
    if (*real == std::trunc(*real) && *real >= -9223372036854775808.0 &&
        *real < 9223372036854775808.0) {
      appendWhole(key, static_cast<std::int64_t>(*real));
      return true;
    }
    key += 'r';
    char bytes[sizeof(double)];
    std::memcpy(bytes, real, sizeof bytes);
    key.append(bytes, sizeof bytes);
    return true;
  }
  if (auto* text = std::get_if<std::string>(&value)) {
    appendText(key, *text);
    return true;
  }
  return false;
}

}  // namespace kestova
