#include "key_filter.h"

#include <charconv>
#include <cmath>

#include "recordset.h"

namespace kestova {

namespace {

std::string realText(double value, const std::string& field) {
  if (!std::isfinite(value)) throw RejectedKey(field + " no es un número finito");
  char buffer[400];  // the longest fixed form of a double
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  return std::string(buffer, result.ptr);
}

std::string trimSpaces(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A text that is a whole number within 64 bits or a decimal fraction that a
// double holds, with an optional sign, and nothing else.
bool isNumberLiteral(const std::string& text) {
  std::size_t i = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  std::size_t digits = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == digits) return false;
  if (i == text.size()) {
    std::int64_t whole = 0;
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    auto [end, error] = std::from_chars(begin, text.data() + text.size(), whole);
    return error == std::errc() && end == text.data() + text.size();
  }
  if (text[i++] != '.') return false;
  std::size_t fraction = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == fraction || i != text.size()) return false;
  // The filter reads a fraction as a double: one it cannot hold is no key.
  double real = 0;
  const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
  auto [end, error] = std::from_chars(begin, text.data() + text.size(), real);
  return error == std::errc() && end == text.data() + text.size() && std::isfinite(real);
}

std::string numberText(const FieldValue& value, const std::string& field) {
  if (auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  if (auto* real = std::get_if<double>(&value)) return realText(*real, field);
  if (auto* text = std::get_if<std::string>(&value)) {
    std::string trimmed = trimSpaces(*text);
    if (trimmed.empty()) throw RejectedKey(field + " está vacío");
    if (!isNumberLiteral(trimmed))
      throw RejectedKey(field + " no es un número: " + describe(value));
    return trimmed;
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
    for (char c : trimSpaces(*text)) {
      escaped += c;
      if (c == '\'') escaped += '\'';
    }
    return escaped;
  }
  throw RejectedKey(field + " no es un texto: " + describe(value));
}

}  // namespace

std::string keyText(const FieldValue& value, KeyPiece::Form form, const std::string& field) {
  return form == KeyPiece::Form::Number ? numberText(value, field) : quotedText(value, field);
}

std::string keyFilter(const TableDefinition& table, Recordset& source) {
  std::string text;
  text.reserve(128);
  for (const KeyPiece& piece : table.key) {
    text += piece.literal;
    text += keyText(source.field(piece.sourceField), piece.form, piece.sourceField);
  }
  return text;
}

}  // namespace kestova
