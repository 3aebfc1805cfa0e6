// Fuzz target for appendKeyPart() and KeyIndex, the pair that decides which
// row a filter finds and so which database row a synchronisation writes. The
// bytes are a sequence of operations on rows, each row keyed by a tuple of
// field values: file a row under a key (or under none), or look a key up.
// Every result is checked against a plain model: rows kept in a vector, each
// with its key as a tuple of comparison values built from the rules key_index.h
// states (numbers by value, texts trimmed of spaces and folded for case).
//
// So a wrong comparison form (two equal values with different keys, or two
// different values with one key) and a wrong index (first row, count or the
// chain of next rows) both show.
//
// Input: one byte for the number of key columns (1 + byte % 3; with its top
// bit set the index first reserves room for byte & 0x7F rows), then
// operations, each an op byte and its operands (field values as
// field_value_reader.h reads them, rows 0 to 511):
//   op % 4 == 0 or 1   row byte: file row (byte + 256 with op & 4) under the
//                      tuple that follows, or with op & 8 under no key
//   op % 4 == 2        look up the tuple that follows
//   op % 4 == 3        choice byte: a tuple used before; with op & 4 a row byte
//                      follows and that row (+ 256 with op & 8) is filed under
//                      it, otherwise it is looked up

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "field_value_reader.h"
#include "fuzz_support.h"
#include "key_index.h"

namespace {

using kestova::FieldValue;
using kestova::KeyIndex;
using kestova::fuzz::require;
using kestova::fuzz::shown;

// A value as the filter compares it: whole numbers (and reals equal to one),
// other reals, and texts already trimmed and folded.
using Comparable = std::variant<std::int64_t, double, std::u32string>;
using Tuple = std::vector<FieldValue>;
using ComparableTuple = std::vector<Comparable>;

std::u32string decodeUtf8(const std::string& text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out += c;
      i += 1;
    } else {
      // The alphabet only has two-byte sequences beyond ASCII.
      require(c >= 0xC0 && c < 0xE0 && i + 1 < text.size(), "model given text it cannot decode");
      out += static_cast<char32_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F));
      i += 2;
    }
  }
  return out;
}

std::optional<Comparable> comparable(const FieldValue& value) {
  if (auto* whole = std::get_if<std::int64_t>(&value)) return *whole;
  if (auto* real = std::get_if<double>(&value)) {
    if (std::isnan(*real)) return std::nullopt;
    // A real that is a whole number within 64 bits compares as that number.
    if (std::trunc(*real) == *real && *real >= -0x1p63 && *real < 0x1p63)
      return static_cast<std::int64_t>(*real);
    return *real;
  }
  if (auto* text = std::get_if<std::string>(&value)) {
    std::u32string chars = decodeUtf8(*text);
    const auto begin = chars.find_first_not_of(U' ');
    if (begin == std::u32string::npos) return std::u32string();
    chars = chars.substr(begin, chars.find_last_not_of(U' ') - begin + 1);
    for (char32_t& c : chars) {
      if (c >= U'A' && c <= U'Z') c += 32;
      // Latin-1 capitals À..Þ, less the multiplication sign.
      if (c >= 0xC0 && c <= 0xDE && c != 0xD7) c += 32;
    }
    return chars;
  }
  return std::nullopt;  // Null and blobs equal nothing
}

std::optional<ComparableTuple> comparable(const Tuple& tuple) {
  ComparableTuple out;
  for (const FieldValue& value : tuple) {
    auto c = comparable(value);
    if (!c) return std::nullopt;
    out.push_back(std::move(*c));
  }
  return out;
}

std::string describeTuple(const Tuple& tuple) {
  std::string text = "(";
  for (std::size_t i = 0; i < tuple.size(); ++i)
    text += (i ? ", " : "") + shown(kestova::describe(tuple[i]));
  return text + ")";
}

class Checker {
 public:
  explicit Checker(std::size_t columns) : columns_(columns) {}

  Tuple readTuple(kestova::fuzz::ByteReader& in) {
    Tuple tuple;
    for (std::size_t i = 0; i < columns_; ++i)
      tuple.push_back(kestova::fuzz::readFieldValue(in, false));
    used_.push_back(tuple);
    return tuple;
  }

  void reserve(std::size_t rows) { index_.reserve(rows); }

  const Tuple& usedTuple(std::uint8_t choice) const { return used_[choice % used_.size()]; }
  bool anyUsed() const { return !used_.empty(); }

  // The key appendKeyPart() builds, checked against the model's comparison:
  // equal tuples must give one key, different tuples different keys.
  std::optional<std::string> key(const Tuple& tuple) {
    std::string key;
    bool matchable = true;
    for (const FieldValue& value : tuple)
      matchable = kestova::appendKeyPart(key, value) && matchable;
    const auto model = comparable(tuple);
    require(matchable == model.has_value(), [&] {
      return "appendKeyPart says " + std::string(matchable ? "matchable" : "unmatchable") +
             " for " + describeTuple(tuple);
    });
    if (!model) return std::nullopt;
    const auto byKey = tupleOfKey_.emplace(key, std::make_pair(*model, tuple)).first;
    require(byKey->second.first == *model, [&] {
      return "different values share one key: " + describeTuple(tuple) + " and " +
             describeTuple(byKey->second.second);
    });
    const auto byTuple = keyOfTuple_.emplace(*model, std::make_pair(key, tuple)).first;
    require(byTuple->second.first == key, [&] {
      return "equal values have different keys: " + describeTuple(tuple) + " and " +
             describeTuple(byTuple->second.second);
    });
    return key;
  }

  void assign(std::uint32_t position, const std::optional<Tuple>& tuple) {
    std::optional<std::string> k;
    std::optional<ComparableTuple> model;
    if (tuple) {
      k = key(*tuple);
      model = comparable(*tuple);
    }
    index_.assign(position, k ? std::optional<std::string_view>(*k) : std::nullopt);
    if (position >= rows_.size()) rows_.resize(position + 1);
    rows_[position] = model;
  }

  void find(const Tuple& tuple) {
    auto k = key(tuple);
    if (!k) return;
    const ComparableTuple model = *comparable(tuple);
    std::vector<std::uint32_t> rows;
    for (std::uint32_t p = 0; p < rows_.size(); ++p)
      if (rows_[p] && *rows_[p] == model) rows.push_back(p);
    checkKey(*k, rows, tuple);
  }

  // Every key seen so far, including those whose rows have all moved away.
  void checkAll() {
    std::map<ComparableTuple, std::vector<std::uint32_t>> rowsOf;
    for (std::uint32_t p = 0; p < rows_.size(); ++p)
      if (rows_[p]) rowsOf[*rows_[p]].push_back(p);
    static const std::vector<std::uint32_t> kNoRows;
    for (const auto& [model, keyAndTuple] : keyOfTuple_) {
      auto found = rowsOf.find(model);
      checkKey(keyAndTuple.first, found == rowsOf.end() ? kNoRows : found->second,
               keyAndTuple.second);
    }
  }

 private:
  // `expected`: the rows the model files under the key, in ascending order.
  void checkKey(const std::string& k, const std::vector<std::uint32_t>& expected,
                const Tuple& tuple) {
    const KeyIndex::Match match = index_.find(k);
    require(match.count == expected.size(), [&] {
      return "find" + describeTuple(tuple) + " counts " + std::to_string(match.count) +
             " rows, expected " + std::to_string(expected.size());
    });
    require(match.first == (expected.empty() ? KeyIndex::kNone : expected.front()), [&] {
      return "find" + describeTuple(tuple) + " gives the wrong first row " +
             std::to_string(match.first);
    });
    // The rows of a key, in ascending position, by next().
    std::uint32_t p = match.first;
    for (std::uint32_t want : expected) {
      require(p == want, [&] {
        return "next() chain of " + describeTuple(tuple) + " reaches row " + std::to_string(p) +
               ", expected " + std::to_string(want);
      });
      p = index_.next(p);
    }
    require(p == KeyIndex::kNone,
            [&] { return "next() chain of " + describeTuple(tuple) + " runs past its last row"; });
  }

  std::size_t columns_;
  KeyIndex index_;
  std::vector<std::optional<ComparableTuple>> rows_;
  std::vector<Tuple> used_;
  std::map<std::string, std::pair<ComparableTuple, Tuple>> tupleOfKey_;
  std::map<ComparableTuple, std::pair<std::string, Tuple>> keyOfTuple_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestova::fuzz::ByteReader in(data, size);
  const std::uint8_t first = in.byte();
  Checker checker(1 + first % 3);
  // The recordset reserves room for all its rows before it fills the index.
  if (first & 0x80) checker.reserve(first & 0x7F);
  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    switch (op % 4) {
      case 0:
      case 1: {
        const auto position = static_cast<std::uint32_t>(in.byte() | ((op & 4) << 6));
        if (op & 8)
          checker.assign(position, std::nullopt);
        else
          checker.assign(position, checker.readTuple(in));
        break;
      }
      case 2:
        checker.find(checker.readTuple(in));
        break;
      default: {
        if (!checker.anyUsed()) break;
        const Tuple tuple = checker.usedTuple(in.byte());
        if (op & 4)
          checker.assign(static_cast<std::uint32_t>(in.byte() | ((op & 8) << 5)), tuple);
        else
          checker.find(tuple);
        break;
      }
    }
  }
  checker.checkAll();
  return 0;
}
