#include "data/database_error.h"

#include <sqlite3.h>

namespace kestova {

namespace {

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the three parts of one message
std::string describe(const std::string& operation, const std::string& object,
                     const std::string& message) {
  std::string text = operation;
  if (!object.empty()) text += " (" + object + ")";
  return text + ": " + message;
}

DatabaseError::Cause causeOf(int code) {
  using Cause = DatabaseError::Cause;
  // SQLite refuses to write a file in a rollback journal mode once its path
  // names another file, or none.
  if (code == SQLITE_READONLY_DBMOVED) return Cause::FileReplaced;
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Cause::InUse;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return Cause::NotADatabase;
    case SQLITE_CONSTRAINT:
    case SQLITE_MISMATCH:
    case SQLITE_TOOBIG:
      return Cause::ValueRefused;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
      return Cause::CannotWrite;
    case SQLITE_FULL:
    case SQLITE_IOERR:
      return Cause::DiskError;
    default:
      return Cause::Other;
  }
}

}  // namespace

DatabaseError::DatabaseError(std::string operation, std::string object, std::string message,
                             int code, Cause cause)
    : std::runtime_error(describe(operation, object, message)),
      object_(std::move(object)),
      message_(std::move(message)),
      code_(code),
      cause_(cause != Cause::Other ? cause : causeOf(code)) {}

}  // namespace kestova
