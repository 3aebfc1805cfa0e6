#include "data/field_value.h"

#include <charconv>

namespace kestova {

std::string describe(const FieldValue& value) {
  struct Describe {
    std::string operator()(Null) const { return "Null"; }
    std::string operator()(std::int64_t number) const { return std::to_string(number); }
    std::string operator()(double number) const {
      char buffer[64];
      auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
      return std::string(buffer, result.ptr);
    }
    std::string operator()(const std::string& text) const {
      constexpr std::size_t kShown = 60;
      return "'" + (text.size() > kShown ? text.substr(0, kShown) + "..." : text) + "'";
    }
    std::string operator()(const Blob& blob) const {
      return "blob of " + std::to_string(blob.bytes.size()) + " bytes";
    }
  };
  return std::visit(Describe{}, value);
}

}  // namespace kestova
