#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kestova::sample {

// SqlCipherFile owns one connection to an SQLCipher-encrypted file. The key is applied right
// after opening, and the connection is checked to really be SQLCipher: plain SQLite accepts
// PRAGMA key silently and would read or write an unencrypted file. SqlStatement is a prepared
// statement on such a connection, finalised when it goes out of scope. Every failure throws
// SqlCipherError, whose message names the operation, the file and SQLite's own message.

// `text` as an SQL string literal: in single quotes, inner quotes doubled.
std::string quoteLiteral(std::string_view text);

class SqlCipherError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SqlCipherFile {
 public:
  enum class Mode { kOpenExisting, kCreate };

  // Opens `path` (kCreate also makes a missing file) and keys it; a wrong key throws here.
  SqlCipherFile(std::filesystem::path path, std::string_view key, Mode mode = Mode::kOpenExisting);

  // Runs one or more SQL statements that take no parameters; result rows are dropped.
  void exec(std::string_view sql);
  // Throws SqlCipherError unless rc is SQLITE_OK, SQLITE_ROW or SQLITE_DONE.
  void check(int rc, std::string_view what) const;

  sqlite3* handle() const { return db_.get(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  struct Closer {
    // close_v2 so that a leaked statement cannot keep the file open behind our back.
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };

  std::filesystem::path path_;
  std::unique_ptr<sqlite3, Closer> db_;
};

class SqlStatement {
 public:
  SqlStatement(const SqlCipherFile& file, std::string_view sql);

  // Parameters are 1-based, columns 0-based, as in SQLite.
  void bindInt(int index, std::int64_t value);
  void bindReal(int index, double value);
  void bindText(int index, std::string_view value);
  void bindNull(int index);
  // Steps once: true while a result row is available, false when done.
  bool step();
  // Makes the statement runnable again; bindings are kept.
  void reset();

  bool isNull(int column) const;
  std::int64_t columnInt(int column) const;
  double columnReal(int column) const;
  std::optional<std::string> columnText(int column) const;  // nullopt for Null

  sqlite3_stmt* handle() const { return stmt_.get(); }

 private:
  struct Finalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
  };

  const SqlCipherFile& file_;
  std::string what_;  // built once: step() runs a million times per file
  std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

}  // namespace kestova::sample
