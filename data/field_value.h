#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace kestova {

// The value of one field of a row, as the database holds it: Null, a whole
// number, a real number, a text (UTF-8) or a blob. Values pass between tables
// unchanged; the database fits a written value to its column's type.
struct Null {
  friend bool operator==(Null, Null) = default;
};

struct Blob {
  std::string bytes;
  friend bool operator==(const Blob&, const Blob&) = default;
};

using FieldValue = std::variant<Null, std::int64_t, double, std::string, Blob>;

inline bool isNull(const FieldValue& value) {
  return std::holds_alternative<Null>(value);
}

// A short readable form for messages and test output: Null, 12, 3.5, 'text'.
std::string describe(const FieldValue& value);

}  // namespace kestova
