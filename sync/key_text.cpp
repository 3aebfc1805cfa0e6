#include "sync/key_text.h"

#include <charconv>
#include <cmath>

#include "data/key_form.h"
#include "data/text_rules.h"

namespace kestova {

namespace {

std::string realText(double value, const std::string& field) {
  if (!std::isfinite(value)) throw RejectedKey(field + " no es un número finito");
  char buffer[400];  // the longest fixed form of a double
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

std::string numberText(const FieldValue& value, const std::string& field) {
  if (auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  if (auto* real = std::get_if<double>(&value)) return realText(*real, field);
  if (auto* text = std::get_if<std::string>(&value)) {
    // Written as it stands: the filter reads it by the same rule.
    std::string_view trimmed = trimSpaces(*text);
    if (trimmed.empty()) throw RejectedKey(field + " está vacío");
    if (!parseNumberLiteral(trimmed))
      throw RejectedKey(field + " no es un número: " + describe(value));
    return std::string(trimmed);
  }
  if (isNull(value)) throw RejectedKey(field + " es Null");
  throw RejectedKey(field + " no es un número: " + describe(value));
}

std::string quotedText(const FieldValue& value, const std::string& field) {
  if (isNull(value)) return "0";
  if (auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  if (auto* real = std::get_if<double>(&value)) return realText(*real, field);
  if (auto* text = std::get_if<std::string>(&value)) {
    std::string escaped;
    std::string_view rest = trimSpaces(*text);
    for (std::size_t quote; (quote = rest.find('\'')) != std::string_view::npos;) {
      escaped.append(rest.substr(0, quote + 1)) += '\'';
      rest.remove_prefix(quote + 1);
    }
    return escaped.append(rest);
  }
  throw RejectedKey(field + " no es un texto: " + describe(value));
}

}  // namespace

std::string keyText(const FieldValue& value, KeyPiece::Form form, const std::string& field) {
  return form == KeyPiece::Form::Number ? numberText(value, field) : quotedText(value, field);
}

}  // namespace kestova
