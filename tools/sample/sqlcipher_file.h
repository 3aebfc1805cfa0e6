#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "data/connection.h"

namespace kestova::sample {

// SqlCipherFile owns one keyed connection to an SQLCipher-encrypted file, for
// writing sample files and for tests that read or change a file behind the
// program's back. Unlike the program's Connection it may create the file, and
// it neither waits for locks nor changes the journal mode. Statements on it are
// kestova::Statement on handle(); every failure throws DatabaseError.

// `text` as an SQL string literal: in single quotes, inner quotes doubled.
std::string quoteLiteral(std::string_view text);

class SqlCipherFile {
 public:
  enum class Mode { kOpenExisting, kCreate };

  // Opens `path` (kCreate also makes a missing file) and keys it; a wrong key
  // throws here. An empty key leaves the file unencrypted.
  SqlCipherFile(std::filesystem::path path, std::string_view key, Mode mode = Mode::kOpenExisting);

  // Runs one or more SQL statements that take no parameters; result rows are dropped.
  void exec(std::string_view sql);

  sqlite3* handle() const { return db_.get(); }

 private:
  std::filesystem::path path_;
  DatabaseHandle db_;
};

}  // namespace kestova::sample
