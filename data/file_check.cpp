#include "data/file_check.h"

#include <sqlite3.h>

#include "data/database_error.h"
#include "data/statement.h"
#include "platform/utf8_path.h"

namespace kestova {

void checkWholeFile(Connection& connection) {
  constexpr char kOperation[] = "Comprobar el archivo entero";
  const std::string file = utf8(connection.path());
  std::string findings;
  try {
    // The first few findings say enough; the check stops after them.
    Statement check(connection.handle(), "PRAGMA quick_check(5)", file);
    while (check.step()) {
      const FieldValue line = check.column(0);
      const auto* text = std::get_if<std::string>(&line);
      findings += (findings.empty() ? "" : "; ") + (text != nullptr ? *text : describe(line));
    }
  } catch (const DatabaseError& failure) {
    // The file is read-only and immutable: a check that cannot read it
    // through finds it damaged, whatever code the engine gives (a page that
    // fails its authentication is answered as a logic error).
    throw DatabaseError(kOperation, file, failure.message(), failure.code(),
                        failure.busy() ? failure.cause() : DatabaseError::Cause::NotADatabase);
  }
  if (findings != "ok") throw DatabaseError(kOperation, file, findings, SQLITE_CORRUPT);
}

}  // namespace kestova
