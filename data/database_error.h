#pragma once

#include <stdexcept>
#include <string>

namespace kestova {

// The one error type of the data layer. It names what was being done (the
// operation), what it was done to (a connection, a table, a field) and what the
// database said, so that a failure reported to a person can be acted upon.
class DatabaseError : public std::runtime_error {
 public:
  // What went wrong, in terms a person can act on.
  enum class Cause {
    Other,
    FileMissing,     // the file is not where it was looked for
    NotADatabase,    // damaged, not a database, or keyed with another password
    InUse,           // another program held a lock past the command time-out
    AlreadyRunning,  // another Kestova is updating the same main database
    TableMissing,    // a table or field the program needs is not in the file
    NotATable,       // a view, a virtual table, or a table without row ids
    ValueRefused,    // a constraint or the column's type refused a value
    RowGone,         // the row was removed or changed by another program, or the write was dropped
    CannotWrite,     // a read-only file, folder or medium
    DiskError,       // the disk is full or failed
    FileReplaced,    // the main file was renamed over or removed while open
  };

  // `cause` Other derives the cause from the SQLite result code.
  DatabaseError(std::string operation, std::string object, std::string message, int code = 0,
                Cause cause = Cause::Other);

  const std::string& object() const { return object_; }
  // The database's own message, or the data layer's when it refused the call itself.
  const std::string& message() const { return message_; }
  // The SQLite result code, or 0 when the data layer refused the call itself.
  int code() const { return code_; }
  Cause cause() const { return cause_; }
  // True when another program's lock was waited for until the time-out.
  bool busy() const { return cause_ == Cause::InUse; }

 private:
  std::string object_;
  std::string message_;
  int code_;
  Cause cause_;
};

}  // namespace kestova
