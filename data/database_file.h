#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

struct sqlite3;

namespace kestova {

// What a failure to open a database file is reported as.
inline constexpr char kOpenDatabase[] = "Abrir la base de datos";

// Closes a database handle, also the one a failed open returns.
struct CloseDatabase {
  void operator()(sqlite3* db) const;
};
using DatabaseHandle = std::unique_ptr<sqlite3, CloseDatabase>;

enum class FileAccess {
  kReadOnly,   // immutable: nothing is ever created beside the file
  kReadWrite,  // a missing file is an open failure
  kCreate,     // read-write, and a missing file is made
};

// Opens a database file and keys it with `key` (no key: the file is read as
// it is) in SQLCipher 3's file format: the one place where a file is opened.
// Checks that the SQLite library in use encrypts, but not that the key fits:
// a wrong key fails at the first read of the schema. The handle is for one
// thread at a time. Throws DatabaseError naming the file.
DatabaseHandle openDatabaseFile(const std::filesystem::path& file,
                                const std::optional<std::string>& key, FileAccess access);

// Throws DatabaseError unless `path` names a file that is not empty: SQLite
// would take a missing file as an error, but an empty one as a new database,
// and write to it.
void requireDatabaseFile(const std::filesystem::path& path);

// Has the handle read its file as one that may have been made to do harm.
// The update comes from outside the office, and the main file is anyone's to
// change; tests that craft damaged files open theirs without this.
void guardAgainstHostileFiles(sqlite3* db, const std::string& file);

}  // namespace kestova
