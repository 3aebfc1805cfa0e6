#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "field_value.h"

namespace kestova {

// The rules by which the program compares and reads text, each written once,
// so that the filter, the key index and the key filter cannot disagree.
//
// Two kinds of text fold letter case differently. Names (of fields, members,
// providers, journal modes) are ASCII and fold ASCII letters only, whatever the
// process's locale: a locale can make 'I' fold to a letter outside ASCII.
// Text values in a filter fold ASCII and the Latin-1 capitals À to Þ in UTF-8
// (which covers Spanish), and ignore surrounding spaces.

// The ASCII letter's lower case; any other byte unchanged.
constexpr char foldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// `name` with its ASCII letters in lower case.
std::string foldName(std::string_view name);

// Whether two names are equal without regard to the case of ASCII letters.
bool sameName(std::string_view a, std::string_view b);

// `text` without the spaces at its ends; tabs and line breaks are kept.
std::string_view trimSpaces(std::string_view text);

// Appends `text` with ASCII and Latin-1 capitals (À to Þ, not ×) in lower
// case. Byte lengths are kept; bytes that are not such a letter pass unchanged.
void appendFoldedText(std::string& out, std::string_view text);

// The form under which a filter compares a text value: trimmed and folded.
// Two texts match exactly when their comparable forms are equal.
std::string comparableText(std::string_view text);

// A number literal: an optional sign, digits, and optionally a point and
// digits, nothing else (no spaces, exponent or thousands separator). A whole
// number within 64 bits is an std::int64_t; any other, a double. Empty when
// the text is no literal or its value is beyond a double (infinite, or a
// non-zero value too small to hold).
std::optional<FieldValue> parseNumberLiteral(std::string_view text);

}  // namespace kestova
