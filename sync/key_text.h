#pragma once

#include <stdexcept>
#include <string>

#include "data/field_value.h"
#include "sync/table_definition.h"

namespace kestova {

// A source row whose key cannot form a filter that finds exactly the rows with
// that key: a Null, empty or non-numeric value where a number is compared.
class RejectedKey : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of one key value in a key filter, in the given form. Numbers are
// written with a point as decimal separator whatever the locale; a text is
// trimmed of surrounding spaces and its quotes doubled, so nothing in a value
// can add criteria, and a Null text is written as 0. Throws RejectedKey.
std::string keyText(const FieldValue& value, KeyPiece::Form form, const std::string& field);

}  // namespace kestova
