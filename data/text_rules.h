#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "data/field_value.h"

namespace kestova {

// The rules by which the program compares names and reads a number literal,
// each written once. Names (of fields, members, providers, journal modes) are
// ASCII and fold ASCII letters only, whatever the process's locale: a locale
// can make 'I' fold to a letter outside ASCII. Text values compare by other
// rules, those of key_form.h.

// The ASCII letter's lower case; any other byte unchanged.
constexpr char foldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// `name` with its ASCII letters in lower case.
std::string foldName(std::string_view name);

// Whether two names are equal without regard to the case of ASCII letters.
bool sameName(std::string_view a, std::string_view b);

// A number literal: an optional sign, digits, and optionally a point and
// digits, nothing else (no spaces, exponent or thousands separator). A whole
// number within 64 bits is an std::int64_t; any other, a double. Empty when
// the text is no literal or its value is beyond a double (infinite, or a
// non-zero value too small to hold).
std::optional<FieldValue> parseNumberLiteral(std::string_view text);

}  // namespace kestova
