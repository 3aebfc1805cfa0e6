// Fuzz target for the way a synchronisation finds the target row of a source
// row: keyText() writes each key value into the filter text of a table's key
// pieces, parseCriteria() reads it back, and the index compares it. Whatever
// the source values are (quotes, numbers at the edges of their range, texts
// that look like numbers or like criteria), either keyText() rejects the key,
// or the text parses into exactly one term per key piece, named as the piece
// names it, whose literal compares equal to the source value.
//
// Input: one byte choosing the table (the three real ones, or a single piece
// of either form), then one field value per key piece, as field_value_reader.h
// reads them.

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "criteria.h"
#include "database_error.h"
#include "field_value_reader.h"
#include "fuzz_support.h"
#include "key_filter.h"
#include "key_index.h"
#include "recordset.h"
#include "table_definition.h"

// keyFilter(), in the same file as keyText(), reads the source row from a
// Recordset, which needs the database library. The fuzzer builds the same text
// from keyText() and the pieces itself, so this definition only satisfies the
// linker and is never called.
const kestova::FieldValue& kestova::Recordset::field(std::string_view) {
  kestova::fuzz::fail("Recordset::field called in the key filter fuzzer");
}

namespace {

using kestova::FieldValue;
using kestova::KeyPiece;
using kestova::fuzz::require;
using kestova::fuzz::shown;

// The field a piece's literal compares: the last word before its '='.
std::string fieldOfPiece(const std::string& literal) {
  std::size_t end = literal.rfind('=');
  while (end > 0 && literal[end - 1] == ' ') --end;
  std::size_t begin = end;
  while (begin > 0 && literal[begin - 1] != ' ' && literal[begin - 1] != '\'') --begin;
  return literal.substr(begin, end - begin);
}

std::string keyOf(const FieldValue& value) {
  std::string key;
  require(kestova::appendKeyPart(key, value), "a key value or literal has no key");
  return key;
}

std::string trimSpaces(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestova::fuzz::ByteReader in(data, size);
  static const std::vector<KeyPiece> kNumberPiece{{"CodMar = ", "CodMar", KeyPiece::Form::Number}};
  static const std::vector<KeyPiece> kTextPiece{
      {"Subcat = '", "SubCate", KeyPiece::Form::TrimmedText}};
  const std::vector<KeyPiece>* pieces = nullptr;
  switch (in.byte() % 5) {
    case 0:
      pieces = &kestova::marcasYModelos().key;
      break;
    case 1:
      pieces = &kestova::valuaciones1().key;
      break;
    case 2:
      pieces = &kestova::valuaciones2().key;
      break;
    case 3:
      pieces = &kNumberPiece;
      break;
    default:
      pieces = &kTextPiece;
      break;
  }

  std::vector<FieldValue> values;
  std::string filter;
  for (const KeyPiece& piece : *pieces) {
    values.push_back(kestova::fuzz::readFieldValue(in, true));
    const FieldValue& value = values.back();
    std::string text;
    try {
      text = kestova::keyText(value, piece.form, piece.sourceField);
    } catch (const kestova::RejectedKey&) {
      // A number of any size and a finite real always have a text; so does
      // any text between quotes.
      const bool isWhole = std::holds_alternative<std::int64_t>(value);
      const auto* real = std::get_if<double>(&value);
      require(!isWhole && !(real && std::isfinite(*real)),
              [&] { return "keyText rejected the number " + kestova::describe(value); });
      require(piece.form == KeyPiece::Form::Number || !std::holds_alternative<std::string>(value),
              [&] { return "keyText rejected a text key " + shown(kestova::describe(value)); });
      return 0;
    }
    filter += piece.literal;
    filter += text;
  }
  if (pieces == &kTextPiece) filter += "'";  // the real tables close their quote in a later piece

  std::vector<kestova::CriteriaTerm> terms;
  try {
    terms = kestova::parseCriteria(filter);
  } catch (const kestova::DatabaseError& error) {
    std::string which;
    for (const FieldValue& value : values) which += " " + shown(kestova::describe(value));
    kestova::fuzz::fail("a key filter keyText() allowed is refused: " + shown(filter) + " (" +
                        error.what() + ") from values" + which);
  }
  require(terms.size() == pieces->size(), [&] {
    return "a key filter has " + std::to_string(terms.size()) + " terms for " +
           std::to_string(pieces->size()) + " key pieces: " + shown(filter);
  });

  for (std::size_t i = 0; i < terms.size(); ++i) {
    const KeyPiece& piece = (*pieces)[i];
    const FieldValue& value = values[i];
    const FieldValue& literal = terms[i].literal;
    require(terms[i].name == fieldOfPiece(piece.literal), [&] {
      return "term " + std::to_string(i) + " names " + terms[i].name + ": " + shown(filter);
    });
    if (piece.form == KeyPiece::Form::TrimmedText) {
      require(std::holds_alternative<std::string>(literal),
              [&] { return "a text key piece parsed to a number: " + shown(filter); });
      if (auto* text = std::get_if<std::string>(&value))
        require(std::get<std::string>(literal) == trimSpaces(*text),
                [&] { return "a text key reads back changed: " + shown(filter); });
      if (kestova::isNull(value))
        require(std::get<std::string>(literal) == "0", "a Null text key is not '0'");
    } else {
      require(!std::holds_alternative<std::string>(literal),
              [&] { return "a number key piece parsed to a text: " + shown(filter); });
      // A number key finds the rows holding that same number.
      if (!std::holds_alternative<std::string>(value))
        require(keyOf(literal) == keyOf(value), [&] {
          return "number key " + kestova::describe(value) + " reads back as " +
                 kestova::describe(literal) + ": " + shown(filter);
        });
    }
  }
  return 0;
}
