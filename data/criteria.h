#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "data/field_value.h"

namespace kestova {

// Filter criteria text, the form a recordset's filter accepts:
//
//   name = literal [and name = literal ...]
//
// `and` in any letter case; a name is a letter or underscore followed by
// letters, digits and underscores; a literal is a number (optional sign,
// digits, optional `.` and digits) or a text in single quotes with '' standing
// for one quote. Spaces and tabs may stand around every token. Nothing else is
// accepted: no other operator, no parentheses, no `or`, no bare word.
struct CriteriaTerm {
  std::string name;
  FieldValue literal;  // std::int64_t, double or std::string
};

// Throws DatabaseError naming the first thing that does not fit. An empty or
// blank text gives no terms (no filter).
std::vector<CriteriaTerm> parseCriteria(std::string_view text);

// Reads criteria texts one after another, each to what parseCriteria() gives.
// A text laid out as the one before it (the same text around other literals,
// as filters built from one pattern are) has its literals read where they
// stand, without parsing the rest again.
class CriteriaReader {
 public:
  // The terms of `text`, valid until the next call. Throws as parseCriteria().
  const std::vector<CriteriaTerm>& read(std::string_view text);
  // True when the last text read was laid out as the one before it, and so
  // named the same fields in the same order.
  bool sameLayout() const { return sameLayout_; }

 private:
  bool readLiterals(std::string_view text);

  std::vector<CriteriaTerm> terms_;
  std::vector<std::string> between_;  // the text around the literals: one more than terms_
  bool sameLayout_ = false;
};

}  // namespace kestova
