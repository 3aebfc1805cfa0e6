#pragma once

#include <string>
#include <string_view>

#include "data/field_value.h"

namespace kestova {

// The form under which values are compared, written once so that the filter,
// the key index and the key filter cannot disagree: how a column's declared
// type converts a value (SQLite's affinity), how a text value is trimmed and
// folded, and the bytes of a value as a part of a key.
//
// Text values fold ASCII and the Latin-1 capitals À to Þ in UTF-8 (which covers
// Spanish), and ignore surrounding spaces.

// How a column's declared type makes SQLite convert the values stored in it
// and the values compared with it.
enum class Affinity { Integer, Text, None, Real, Numeric };

Affinity affinityOf(std::string_view declaredType);

// `value` as a column of this affinity stores it, and so as a comparison with
// the column sees it: a number in a text column becomes its text, a text that
// reads as a number becomes that number in a numeric column.
FieldValue withAffinity(Affinity affinity, const FieldValue& value);

// Whether a column of this affinity stores `value` without converting it.
bool storedAsWritten(Affinity affinity, const FieldValue& value);

// `text` without the spaces at its ends; tabs and line breaks are kept.
std::string_view trimSpaces(std::string_view text);

// The form under which a filter compares a text value: trimmed and folded.
// Two texts match exactly when their comparable forms are equal.
std::string comparableText(std::string_view text);

// Appends to `key` the comparison form of `value`, under which two values are
// equal exactly when a filter takes them as equal: numbers by value, whole or
// real (12, 12.0 and '12' stored as the number 12 are one key); texts without
// regard to letter case and to surrounding spaces. A number never equals a
// text. Returns false for a value no literal can equal (Null, a blob, NaN).
bool appendKeyPart(std::string& key, const FieldValue& value);

}  // namespace kestova
