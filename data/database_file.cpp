#include "data/database_file.h"

#include <sqlite3.h>

#include <system_error>

#include "data/database_error.h"
#include "data/statement.h"
#include "platform/utf8_path.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;

// A connection is used by one thread only: SQLite need not lock its mutex on
// every call.
constexpr int kOneThread = SQLITE_OPEN_NOMUTEX;

// The file as an SQLite URI: every byte but the unreserved ones percent-encoded.
std::string fileUri(const std::filesystem::path& path, const char* parameters) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : utf8(path)) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri + "?" + parameters;
}

}  // namespace

// close_v2 answers OK for every handle it is given (statements still open
// keep the handle alive until they are finalised), so there is nothing to check.
void CloseDatabase::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

DatabaseHandle openDatabaseFile(const std::filesystem::path& file,
                                const std::optional<std::string>& key, FileAccess access) {
  const std::string name = utf8(file);
  const bool readOnly = access == FileAccess::kReadOnly;
  // Only a URI can open a file immutable.
  const std::string target = readOnly ? fileUri(file, "immutable=1") : name;
  int flags =
      kOneThread | (readOnly ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI : SQLITE_OPEN_READWRITE);
  if (access == FileAccess::kCreate) flags |= SQLITE_OPEN_CREATE;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(target.c_str(), &raw, flags, nullptr);
  DatabaseHandle db(raw);  // even a failed open returns a handle to close
  check(raw, rc, kOpenDatabase, name);
  check(raw, sqlite3_extended_result_codes(raw, 1), kOpenDatabase, name);
  if (queryText(raw, "PRAGMA cipher_version", name).empty())
    throw DatabaseError(kOpenDatabase, name,
                        "la biblioteca SQLite en uso no cifra las bases de datos");
  if (key) {
    // Nevaro's files and the updates are written in SQLCipher 3's format
    // (1 KB pages, PBKDF2-HMAC-SHA1 with 64,000 iterations, HMAC-SHA1 per
    // page). Set as the default before the key, it holds for this file and
    // for every file the handle attaches.
    Statement(raw, "PRAGMA cipher_default_compatibility = 3", name).execute();
    check(raw, sqlite3_key(raw, key->data(), static_cast<int>(key->size())), kOpenDatabase, name);
  }
  return db;
}

void requireDatabaseFile(const std::filesystem::path& path) {
  const std::string file = utf8(path);
  std::error_code error;
  auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status))
    throw DatabaseError(kOpenDatabase, file, "el archivo no existe", 0, Cause::FileMissing);
  if (!std::filesystem::is_regular_file(status))
    throw DatabaseError(kOpenDatabase, file, "no es un archivo", 0, Cause::NotADatabase);
  if (std::filesystem::file_size(path, error) == 0 && !error)
    throw DatabaseError(kOpenDatabase, file, "el archivo está vacío: no es una base de datos", 0,
                        Cause::NotADatabase);
}

void guardAgainstHostileFiles(sqlite3* db, const std::string& file) {
  // Defensive mode refuses what could corrupt the file on purpose (writing
  // the schema, shadow tables or raw pages); an untrusted schema lets the
  // views and triggers a file brings call only functions without side
  // effects; checked cell sizes find a damaged page before its cells are used.
  int unused = 0;
  check(db, sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, &unused), kOpenDatabase, file);
  check(db, sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &unused), kOpenDatabase, file);
  Statement(db, "PRAGMA cell_size_check = ON", file).execute();
}

}  // namespace kestova
