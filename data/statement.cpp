#include "data/statement.h"

#include <sqlite3.h>

#include "data/database_error.h"

namespace kestova {

void check(sqlite3* db, int rc, const std::string& operation, const std::string& object) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  throw DatabaseError(operation, object, message, rc);
}

// A failed step() has already reported the statement's last error, which
// finalising would only repeat; a destructor could not report it anyway.
void Statement::Finalize::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

Statement::Statement(sqlite3* db, const std::string& sql, std::string object)
    : db_(db), sql_(sql), object_(std::move(object)) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  statement_.reset(raw);
  check(db_, rc, "Preparar \"" + sql + "\"", object_);
}

void Statement::bind(int index, const FieldValue& value) {
  bind(index, value, true);
}

void Statement::bindBorrowed(int index, const FieldValue& value) {
  bind(index, value, false);
}

void Statement::bind(int index, const FieldValue& value, bool copy) {
  struct Bind {
    sqlite3_stmt* s;
    int index;
    sqlite3_destructor_type lifetime;
    int operator()(Null) const { return sqlite3_bind_null(s, index); }
    int operator()(std::int64_t number) const { return sqlite3_bind_int64(s, index, number); }
    int operator()(double number) const { return sqlite3_bind_double(s, index, number); }
    int operator()(const std::string& text) const {
      return sqlite3_bind_text64(s, index, text.data(), text.size(), lifetime, SQLITE_UTF8);
    }
    int operator()(const Blob& blob) const {
      return sqlite3_bind_blob64(s, index, blob.bytes.data(), blob.bytes.size(), lifetime);
    }
  };
  const int rc =
      std::visit(Bind{statement_.get(), index, copy ? SQLITE_TRANSIENT : SQLITE_STATIC}, value);
  // Bound once per value of every row: the message is made only on failure.
  if (rc != SQLITE_OK) check(db_, rc, "Asignar parámetro", object_);
}

bool Statement::step() {
  int rc = sqlite3_step(statement_.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    // A failed step is reset at once, so that the statement lets go of what it
    // holds and can run again. The reset returns that same failure, with its
    // message, and this is where it is reported: once.
    if (const int failure = sqlite3_reset(statement_.get()); failure != SQLITE_OK) rc = failure;
    check(db_, rc, "Ejecutar \"" + sql_ + "\"", object_);
  }
  return rc == SQLITE_ROW;
}

void Statement::reset() {
  // Tested before check() only to build the message on failure alone: this
  // runs for every row.
  if (const int rc = sqlite3_reset(statement_.get()); rc != SQLITE_OK)
    check(db_, rc, "Reiniciar \"" + sql_ + "\"", object_);
}

std::int64_t Statement::execute() {
  step();
  reset();
  return sqlite3_changes(db_);
}

int Statement::columnCount() const {
  return sqlite3_column_count(statement_.get());
}

std::string Statement::columnName(int index) const {
  const char* name = sqlite3_column_name(statement_.get(), index);
  return name != nullptr ? name : "";
}

std::string Statement::columnDeclaredType(int index) const {
  const char* type = sqlite3_column_decltype(statement_.get(), index);
  return type != nullptr ? type : "";
}

FieldValue Statement::column(int index) const {
  sqlite3_stmt* s = statement_.get();
  switch (sqlite3_column_type(s, index)) {
    case SQLITE_INTEGER:
      return static_cast<std::int64_t>(sqlite3_column_int64(s, index));
    case SQLITE_FLOAT:
      return sqlite3_column_double(s, index);
    case SQLITE_TEXT: {
      auto text = reinterpret_cast<const char*>(sqlite3_column_text(s, index));
      return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, index)));
    }
    case SQLITE_BLOB: {
      auto bytes = static_cast<const char*>(sqlite3_column_blob(s, index));
      return Blob{std::string(bytes != nullptr ? bytes : "",
                              static_cast<std::size_t>(sqlite3_column_bytes(s, index)))};
    }
    default:
      return Null{};
  }
}

std::int64_t Statement::columnInt64(int index) const {
  return sqlite3_column_int64(statement_.get(), index);
}

void executeScript(sqlite3* db, const std::string& sql, const std::string& object) {
  check(db, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), "Ejecutar \"" + sql + "\"",
        object);
}

std::string queryText(sqlite3* db, const std::string& sql, const std::string& object) {
  Statement statement(db, sql, object);
  if (!statement.step()) return {};
  FieldValue value = statement.column(0);
  auto* text = std::get_if<std::string>(&value);
  return text != nullptr ? *text : std::string();
}

std::string quoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace kestova
