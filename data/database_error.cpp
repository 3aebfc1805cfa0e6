#include "database_error.h"

#include <sqlite3.h>

namespace kestova {

namespace {

std::string describe(const std::string& operation, const std::string& object,
                     const std::string& message) {
  std::string text = operation;
  if (!object.empty()) text += " (" + object + ")";
  return text + ": " + message;
}

}  // namespace

DatabaseError::DatabaseError(std::string operation, std::string object, std::string message,
                             int code)
    : std::runtime_error(describe(operation, object, message)),
      operation_(std::move(operation)),
      object_(std::move(object)),
      message_(std::move(message)),
      code_(code) {}

bool DatabaseError::busy() const {
  return (code_ & 0xFF) == SQLITE_BUSY || (code_ & 0xFF) == SQLITE_LOCKED;
}

}  // namespace kestova
