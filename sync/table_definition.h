#pragma once

#include <array>
#include <string>
#include <vector>

namespace kestova {

// One piece of a key filter: literal text followed by the text form of a
// source field's value. How the value is written depends on where it stands.
struct KeyPiece {
  enum class Form {
    Number,       // compared as a number: written bare
    TrimmedText,  // compared as text between the quotes the literal pieces carry
  };
  std::string literal;
  std::string sourceField;
  Form form = Form::Number;
};

// One field copy: the target field receives the source field's value. A guard
// decides, from the source value, whether the copy is made or what replaces it.
struct FieldCopy {
  enum class Guard {
    None,             // always copied, Null as Null
    SkipNullOrEmpty,  // not written when the value is Null or the empty text
    ZeroWhenNull,     // a Null writes the whole number 0 instead
  };
  std::string targetField;
  std::string sourceField;
  Guard guard = Guard::None;
};

// What one table synchronisation needs beyond the shared procedure: its two
// recordset members, the pieces of its key filter and its ordered field copies.
// Field names are spelled as the program passes them; they match without
// regard to case.
struct TableDefinition {
  std::string title;   // the name a person knows the table by, in reports
  std::string source;  // recordset member on the update database
  std::string target;  // recordset member on the main database
  std::vector<KeyPiece> key;
  std::vector<FieldCopy> copies;
};

// The three tables of a run, in run order.
const TableDefinition& marcasYModelos();
const TableDefinition& valuaciones1();
const TableDefinition& valuaciones2();
const std::array<const TableDefinition*, 3>& runTables();

}  // namespace kestova
