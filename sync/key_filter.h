#pragma once

#include <string>
#include <vector>

#include "data/named_field.h"
#include "sync/key_text.h"
#include "sync/table_definition.h"

namespace kestova {

// The key filter of one table: for each source row the criteria text that
// finds its target rows, for example "CodMar = 12 and Codmod = 345". Numbers
// are written with a point as decimal separator whatever the locale. A text
// key is trimmed of surrounding spaces and its quotes doubled, so nothing in a
// value can add criteria; a Null text key is looked up as the 0 that is
// written for it, and, where no row holds that, as the empty text the
// original design looked it up as.
class KeyFilter {
 public:
  // Requires: `table` outlives the filter, which serves one source recordset.
  explicit KeyFilter(const TableDefinition& table);

  // The text for the source's current row. Throws RejectedKey, or
  // DatabaseError when a key field cannot be read.
  std::string text(Recordset& source);
  // After text(): the same with each Null text key as the empty text; empty
  // when the row has no Null text key.
  const std::string& nullAsEmptyText() const { return nullAsEmpty_; }

 private:
  const TableDefinition& table_;
  std::vector<NamedField> fields_;  // one per key piece
  std::string nullAsEmpty_;
};

}  // namespace kestova
