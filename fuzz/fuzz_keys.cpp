// Fuzz target for how a synchronisation finds the target row of a source row.
// The first byte chooses what is checked (even or odd):
//
// The key index: the rest is a sequence of operations on rows, each row keyed
// by a tuple of field values: file a row under a key (or under none), or look
// a key up. appendKeyPart() and KeyIndex are checked against a plain model:
// rows in a vector, each with its key as comparison values (numbers by value,
// texts as a filter compares them), so that two equal values with different
// keys, two different values with one key, and a wrong first row, count or
// chain of next rows all show as rows found wrongly. Input: one byte for the number of key columns
// (1 + byte % 3; with its top bit set the index first reserves room for
// byte & 0x7F rows), then operations, each an op byte and its operands (field
// values as readFieldValue() reads them, rows 0 to 511):
//   op % 4 == 0 or 1   row byte: file row (byte + 256 with op & 4) under the
//                      tuple that follows, or with op & 8 under no key
//   op % 4 == 2        look up the tuple that follows
//   op % 4 == 3        choice byte: a tuple used before; with op & 4 a row byte
//                      follows and that row (+ 256 with op & 8) is filed under
//                      it, otherwise it is looked up
//
// The key filter: one byte choosing one of the run's tables, then one field
// value per key piece. Whatever the values are (quotes, numbers at the edges
// of their range, texts that look like numbers or criteria), either keyText()
// rejects the key, or the filter text parses into one term per key piece
// whose literal finds the source value.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data/criteria.h"
#include "data/database_error.h"
#include "data/key_form.h"
#include "data/key_index.h"
#include "data/text_rules.h"
#include "fuzz/fuzz_support.h"
#include "sync/key_text.h"

namespace {

using kestova::FieldValue;
using kestova::KeyIndex;
using kestova::fuzz::ByteReader;
using kestova::fuzz::require;
using kestova::fuzz::shown;

using Tuple = std::vector<FieldValue>;
using Comparable = std::vector<std::variant<std::int64_t, double, std::string>>;

// Null, blobs and NaN equal nothing; a real that is a whole number within 64
// bits is that number.
std::optional<Comparable> comparable(const Tuple& tuple) {
  Comparable out;
  for (const FieldValue& value : tuple) {
    if (auto* whole = std::get_if<std::int64_t>(&value)) {
      out.emplace_back(*whole);
    } else if (auto* real = std::get_if<double>(&value); real && !std::isnan(*real)) {
      if (std::trunc(*real) == *real && *real >= -0x1p63 && *real < 0x1p63)
        out.emplace_back(static_cast<std::int64_t>(*real));
      else
        out.emplace_back(*real);
    } else if (auto* text = std::get_if<std::string>(&value)) {
      out.emplace_back(kestova::comparableText(*text));
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::string describe(const Tuple& tuple) {
  std::string text = "(";
  for (const FieldValue& value : tuple) text += shown(kestova::describe(value)) + ", ";
  return text + ")";
}

class IndexChecker {
 public:
  explicit IndexChecker(std::size_t columns) : columns_(columns) {}

  void run(ByteReader& in) {
    std::vector<Tuple> used;
    auto read = [&] {
      Tuple tuple;
      for (std::size_t i = 0; i < columns_; ++i)
        tuple.push_back(kestova::fuzz::readFieldValue(in, false));
      return used.emplace_back(std::move(tuple));
    };
    while (!in.empty()) {
      const std::uint8_t op = in.byte();
      if (op % 4 < 2) {
        const auto row = static_cast<std::uint32_t>(in.byte() | ((op & 4) << 6));
        assign(row, op & 8 ? std::nullopt : std::optional<Tuple>(read()));
      } else if (op % 4 == 2) {
        find(read());
      } else if (!used.empty()) {
        const Tuple tuple = used[in.byte() % used.size()];
        if (op & 4)
          assign(static_cast<std::uint32_t>(in.byte() | ((op & 8) << 5)), tuple);
        else
          find(tuple);
      }
    }
    // Every key used, including those whose rows have all moved away.
    for (const Tuple& tuple : used) find(tuple);
  }

  KeyIndex index;

 private:
  // The key appendKeyPart() builds, if any. Two equal tuples with different
  // keys, or two different ones with one key, show as rows found wrongly.
  std::optional<std::string> key(const Tuple& tuple) {
    std::string key;
    bool matchable = true;
    for (const FieldValue& value : tuple)
      matchable = kestova::appendKeyPart(key, value) && matchable;
    require(matchable == comparable(tuple).has_value(),
            [&] { return "matchable? " + describe(tuple); });
    return matchable ? std::optional<std::string>(key) : std::nullopt;
  }

  void assign(std::uint32_t row, const std::optional<Tuple>& tuple) {
    const std::optional<std::string> k = tuple ? key(*tuple) : std::nullopt;
    index.assign(row, k ? std::optional<std::string_view>(*k) : std::nullopt);
    if (row >= rows_.size()) rows_.resize(row + 1);
    rows_[row] = k ? comparable(*tuple) : std::nullopt;
  }

  // The rows found, first, count and chain of next(), are the rows the model
  // holds under the tuple, in ascending order.
  void find(const Tuple& tuple) {
    const auto k = key(tuple);
    if (!k) return;
    const Comparable model = *comparable(tuple);
    const KeyIndex::Match match = index.find(*k);
    // Rows looked at first change nothing found, whatever their keys.
    const auto size = static_cast<std::uint32_t>(rows_.size());
    const KeyIndex::Match hinted = index.find(*k, {size, match.first - 1, size / 2, 0});
    require(hinted.first == match.first && hinted.count == match.count,
            [&] { return "find" + describe(tuple) + " differs when rows are looked at first"; });
    std::uint32_t row = match.first, count = 0;
    for (std::uint32_t p = 0; p < rows_.size(); ++p) {
      if (rows_[p] != model) continue;
      require(row == p,
              [&] { return "find" + describe(tuple) + " misses row " + std::to_string(p); });
      row = index.next(row);
      ++count;
    }
    require(row == KeyIndex::kNone && match.count == count,
            [&] { return "find" + describe(tuple) + " gives rows beyond the model's"; });
  }

  std::size_t columns_;
  std::vector<std::optional<Comparable>> rows_;
};

std::string keyOf(const FieldValue& value) {
  std::string key;
  require(kestova::appendKeyPart(key, value), "a key value or literal has no key");
  return key;
}

void checkKeyFilter(ByteReader& in) {
  const kestova::TableDefinition& table = *kestova::runTables()[in.byte() % 3];
  Tuple values;
  std::string filter;
  for (const kestova::KeyPiece& piece : table.key) {
    const FieldValue& value = values.emplace_back(kestova::fuzz::readFieldValue(in, true));
    try {
      filter += piece.literal + kestova::keyText(value, piece.form, piece.sourceField);
    } catch (const kestova::RejectedKey&) {
      // Any whole number, finite real, and text between quotes has a text.
      const auto* real = std::get_if<double>(&value);
      require(!std::holds_alternative<std::int64_t>(value) && !(real && std::isfinite(*real)),
              [&] { return "rejected the number " + kestova::describe(value); });
      require(piece.form == kestova::KeyPiece::Form::Number ||
                  !std::holds_alternative<std::string>(value),
              [&] { return "rejected the text " + shown(kestova::describe(value)); });
      return;
    }
  }
  std::vector<kestova::CriteriaTerm> terms;
  try {
    terms = kestova::parseCriteria(filter);
  } catch (const kestova::DatabaseError& error) {
    kestova::fuzz::fail("a key filter is refused: " + shown(filter) + " (" + error.what() + ")");
  }
  require(terms.size() == table.key.size(), [&] { return "terms: " + shown(filter); });
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const kestova::KeyPiece& piece = table.key[i];
    const FieldValue& literal = terms[i].literal;
    const auto* text = std::get_if<std::string>(&values[i]);
    if (piece.form == kestova::KeyPiece::Form::TrimmedText) {
      // A text key finds the texts it equals; a Null one is looked up as '0'.
      const FieldValue expected = text ? FieldValue(std::string(kestova::trimSpaces(*text)))
                                  : kestova::isNull(values[i]) ? FieldValue("0")
                                                               : literal;
      require(literal == expected,
              [&] { return "a text key reads back changed: " + shown(filter); });
    } else {
      // A number key finds the rows holding that same number.
      const FieldValue expected =
          text ? *kestova::parseNumberLiteral(kestova::trimSpaces(*text)) : values[i];
      require(keyOf(literal) == keyOf(expected), [&] {
        return "number key " + kestova::describe(values[i]) + " reads back as " +
               kestova::describe(literal) + ": " + shown(filter);
      });
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  if (in.byte() % 2 == 1) {
    checkKeyFilter(in);
    return 0;
  }
  const std::uint8_t first = in.byte();
  IndexChecker checker(1 + first % 3);
  // The recordset reserves room for all its rows before it fills the index.
  if (first & 0x80) checker.index.reserve(first & 0x7F);
  checker.run(in);
  return 0;
}
