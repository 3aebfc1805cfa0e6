#pragma once

#include <string>

#include "data/field_value.h"
#include "data/recordset.h"

namespace kestova {

// A field that a caller names on every row of one recordset: its column is
// found on first use and kept. Until it is found, every use fails as
// Recordset::field() and setField() fail for a field the table lacks.
class NamedField {
 public:
  // Requires: `name` outlives the field.
  explicit NamedField(const std::string& name) : name_(name) {}

  const FieldValue& read(Recordset& recordset) {
    if (column_ < 0) column_ = recordset.readColumn(name_);
    return recordset.field(column_);
  }
  void write(Recordset& recordset, const FieldValue& value) {
    if (column_ < 0) column_ = recordset.writeColumn(name_);
    recordset.setField(column_, value);
  }

 private:
  const std::string& name_;
  int column_ = -1;
};

}  // namespace kestova
