#pragma once

#include <string_view>

#include "field_value.h"

namespace kestova {

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

}  // namespace kestova
