#include "affinity.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "text_rules.h"

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

}  // namespace kestova
