#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "data/field_value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kestova {

// Throws DatabaseError(operation, object, the connection's message) unless rc
// is SQLITE_OK, SQLITE_ROW or SQLITE_DONE. Every SQLite call goes through it.
void check(sqlite3* db, int rc, const std::string& operation, const std::string& object);

// One prepared SQL statement, finalised when destroyed. Bound values and the
// current result row are read and written as FieldValues.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql, std::string object);

  Statement(Statement&&) noexcept = default;
  Statement& operator=(Statement&&) noexcept = default;

  // Binds a value to the 1-based parameter index.
  void bind(int index, const FieldValue& value);
  // The same, but a text or blob is not copied: `value` must stay as it is
  // until the statement has been reset.
  void bindBorrowed(int index, const FieldValue& value);
  // Runs to the next result row; false when there is none. Throws on failure.
  bool step();
  // Makes the statement ready to run again; keeps bindings. A failed step()
  // has reset it already, so this does not report that failure again.
  void reset();
  // Runs a statement to its first result row or its end, then resets it.
  // Returns the rows an INSERT, UPDATE or DELETE changed itself (not its
  // triggers'); for other statements the count of the last such statement.
  std::int64_t execute();

  int columnCount() const;
  std::string columnName(int index) const;
  // The declared type of a result column taken straight from a table, or "".
  std::string columnDeclaredType(int index) const;
  // Requires: step() returned true.
  FieldValue column(int index) const;
  std::int64_t columnInt64(int index) const;

 private:
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };

  void bind(int index, const FieldValue& value, bool copy);

  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, Finalize> statement_;
  std::string sql_;
  std::string object_;
};

// Runs SQL text of one or more statements that take no parameters; result
// rows are dropped. Throws DatabaseError naming `object`.
void executeScript(sqlite3* db, const std::string& sql, const std::string& object);

// Runs a statement and gives the first column of its first row as text; ""
// when there is no row or the value is not a text. Throws DatabaseError naming `object`.
std::string queryText(sqlite3* db, const std::string& sql, const std::string& object);

// Quotes a name for use as an SQL identifier: "name", with inner quotes doubled.
std::string quoteIdentifier(const std::string& name);

}  // namespace kestova
