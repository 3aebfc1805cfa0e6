#pragma once

#include <stdexcept>
#include <string>

namespace kestova {

// The one error type of the data layer. It names what was being done (the
// operation), what it was done to (a connection, a table, a field) and what the
// database said, so that a failure reported to a person can be acted upon.
class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(std::string operation, std::string object, std::string message, int code = 0);

  const std::string& operation() const { return operation_; }
  const std::string& object() const { return object_; }
  // The database's own message, or the data layer's when it refused the call itself.
  const std::string& message() const { return message_; }
  // The SQLite result code, or 0 when the data layer refused the call itself.
  int code() const { return code_; }
  // True when another program's lock was waited for until the time-out.
  bool busy() const;

 private:
  std::string operation_;
  std::string object_;
  std::string message_;
  int code_;
};

}  // namespace kestova
