#include "connection.h"

#include <system_error>

#include "connection_string.h"
#include "database_error.h"
#include "statement.h"
#include "text_rules.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;

constexpr char kOpen[] = "Abrir la base de datos";
// The provider the connection strings name; this layer stands in for it.
constexpr char kProvider[] = "microsoft.jet.oledb.3.51";

std::optional<std::string> queryText(sqlite3* db, const std::string& sql,
                                     const std::string& object) {
  Statement statement(db, sql, object);
  if (!statement.step()) return std::nullopt;
  FieldValue value = statement.column(0);
  if (auto* text = std::get_if<std::string>(&value)) return *text;
  return std::nullopt;
}

}  // namespace

DataSettings DataSettings::defaults() {
  std::error_code error;
  std::filesystem::path current = std::filesystem::current_path(error);
  return {current, defaultWindowsPrefix(), std::chrono::milliseconds(30'000)};
}

Connection::Connection(std::string name, std::string connectionString, bool readOnly)
    : name_(std::move(name)), connectionString_(std::move(connectionString)), readOnly_(readOnly) {}

Connection::~Connection() { close(); }

void Connection::open(const DataSettings& settings) {
  if (isOpen()) throw DatabaseError(kOpen, name_, "la conexión ya está abierta");

  ConnectionString parsed = ConnectionString::parse(connectionString_);
  std::string provider = parsed.value("Provider").value_or("");
  if (foldName(provider) != kProvider)
    throw DatabaseError(kOpen, name_, "proveedor no admitido: \"" + provider + "\"");
  std::optional<std::string> dataSource = parsed.value("Data Source");
  if (!dataSource || dataSource->empty())
    throw DatabaseError(kOpen, name_, "la cadena de conexión no indica el archivo (Data Source)");
  path_ = resolveDataSource(*dataSource, settings.currentDirectory, settings.windowsPrefix);
  const std::string file = path_.string();

  // Checked here because SQLite would take a missing file as an error but an
  // empty one as a new database, and write to it.
  std::error_code error;
  auto status = std::filesystem::status(path_, error);
  if (!std::filesystem::exists(status)) throw DatabaseError(kOpen, file, "el archivo no existe", 0, Cause::FileMissing);
  if (!std::filesystem::is_regular_file(status))
    throw DatabaseError(kOpen, file, "no es un archivo", 0, Cause::NotADatabase);
  if (std::filesystem::file_size(path_, error) == 0 && !error)
    throw DatabaseError(kOpen, file, "el archivo está vacío: no es una base de datos", 0,
                        Cause::NotADatabase);

  sqlite3* raw = nullptr;
  const int flags = readOnly_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
  int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  std::unique_ptr<sqlite3, Close> db(raw);  // even a failed open returns a handle to close
  check(raw, rc, kOpen, file);
  sqlite3_extended_result_codes(raw, 1);

  if (std::optional<std::string> password = parsed.value("Jet OLEDB:Database Password"))
    check(raw, sqlite3_key(raw, password->data(), static_cast<int>(password->size())), kOpen, file);
  if (!queryText(raw, "PRAGMA cipher_version", file))
    throw DatabaseError(kOpen, file, "la biblioteca SQLite en uso no cifra las bases de datos");
  busyTimeoutMs_ = static_cast<int>(settings.commandTimeout.count());
  sqlite3_busy_timeout(raw, busyTimeoutMs_);

  if (!readOnly_ && sqlite3_db_readonly(raw, "main") == 1)
    throw DatabaseError(kOpen, file, "el archivo es de solo lectura", 0, Cause::CannotWrite);

  owner_ = std::move(db);
  db_ = raw;
  try {
    configure();
  } catch (const DatabaseError& failure) {
    close();
    if (failure.code() == SQLITE_NOTADB)
      throw DatabaseError(kOpen, file,
                          "no es una base de datos cifrada con la contraseña de la conexión (" +
                              failure.message() + ")",
                          failure.code());
    throw DatabaseError(kOpen, file, failure.message(), failure.code(), failure.cause());
  }
}

void Connection::configure() {
  const std::string file = path_.string();
  // A wrong key, a plain SQLite file or any other file fails at the first read
  // of the schema, not at the key.
  if (readOnly_) {
    Statement(db_, "BEGIN", file).execute();
    Statement(db_, "SELECT count(*) FROM sqlite_master", file).execute();
    return;
  }
  Statement(db_, "SELECT count(*) FROM sqlite_master", file).execute();

  // Only a run leaves the file in write-ahead mode (when it is killed, or when
  // another program kept the file open as it ended), so a file found so is
  // returned to the rollback journal, the mode files are kept in.
  std::string mode = foldName(queryText(db_, "PRAGMA journal_mode", file).value_or("delete"));
  keptJournalMode_ = mode == "wal" ? "delete" : mode;
  // Write-ahead logging makes saving each row as a transaction of its own
  // cheap, and lets other programs read the file during a run. When the switch
  // is refused because another program holds a lock, the file keeps its mode.
  try {
    mode = foldName(queryText(db_, "PRAGMA journal_mode = WAL", file).value_or(mode));
  } catch (const DatabaseError& failure) {
    if ((failure.code() & 0xFF) != SQLITE_BUSY && (failure.code() & 0xFF) != SQLITE_LOCKED) throw;
  }
  // In write-ahead mode NORMAL loses no committed row when the process dies
  // and never damages the file; only a power cut may undo the last commits.
  // The rollback journal keeps the default, FULL, which it needs for that.
  if (mode == "wal") {
    Statement(db_, "PRAGMA synchronous = NORMAL", file).execute();
    // Each checkpoint syncs the file twice; letting the log grow to 16 MB
    // between them makes that rare, and the log is folded in when the run ends.
    Statement(db_, "PRAGMA wal_autocheckpoint = 16384", file).execute();
  }
  begin_ = std::make_unique<Statement>(db_, "BEGIN IMMEDIATE", file);
  commit_ = std::make_unique<Statement>(db_, "COMMIT", file);
}

void Connection::settle() {
  if (!isOpen() || readOnly_ || !keptJournalMode_) return;
  const std::string file = path_.string();
  if (foldName(queryText(db_, "PRAGMA journal_mode", file).value_or("")) != "wal") return;
  // Every saved row goes into the file itself; a disk error here is reported.
  Statement(db_, "PRAGMA wal_checkpoint(PASSIVE)", file).execute();
  // Leaving write-ahead mode removes the log, but needs the file to itself:
  // while another program has it open the log stays, harmlessly, until the
  // next run. That is not worth waiting the command time-out for.
  sqlite3_busy_timeout(db_, 0);
  try {
    queryText(db_, "PRAGMA journal_mode = " + *keptJournalMode_, file);
  } catch (const DatabaseError& failure) {
    sqlite3_busy_timeout(db_, busyTimeoutMs_);
    if ((failure.code() & 0xFF) != SQLITE_BUSY && (failure.code() & 0xFF) != SQLITE_LOCKED) throw;
    return;
  }
  sqlite3_busy_timeout(db_, busyTimeoutMs_);
}

void Connection::close() noexcept {
  if (!isOpen()) return;
  rollback();
  begin_.reset();
  commit_.reset();
  try {
    settle();
  } catch (const DatabaseError&) {
    // The log stays beside the file; the next open recovers it.
  }
  owner_.reset();
  db_ = nullptr;
  keptJournalMode_.reset();
}

void Connection::begin() { begin_->execute(); }

void Connection::commit() { commit_->execute(); }

void Connection::rollback() noexcept {
  if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0)
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

}  // namespace kestova
