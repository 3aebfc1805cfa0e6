#include "connection.h"

#include <sqlite3.h>
#include <sys/xattr.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "connection_string.h"
#include "database_error.h"
#include "shared_read.h"
#include "statement.h"
#include "stop_signals.h"
#include "text_rules.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;
using std::chrono::milliseconds;

constexpr char kOpen[] = "Abrir la base de datos";
// The provider the connection strings name; this layer stands in for it.
constexpr char kProvider[] = "microsoft.jet.oledb.3.51";
// Beside the file, not in it: the journal mode a run found the file in, kept
// while the run has it in write-ahead mode, so that a run that could not put
// it back (killed, or another program kept the file open) is mended by the next.
constexpr char kModeAttribute[] = "user.kestova.journal_mode";
// Log frames (pages) between checkpoints: each syncs the file twice, so fewer,
// larger ones are cheaper.
constexpr int kCheckpointFrames = 16384;
// A connection is used by one thread only: SQLite need not lock its mutex on
// every call.
constexpr int kOneThread = SQLITE_OPEN_NOMUTEX;
// How long the switch to write-ahead mode waits for a lock: a lock held longer
// is met again, with the full time-out, by the first write.
constexpr milliseconds kModeSwitchWait{1000};

std::string queryText(sqlite3* db, const std::string& sql, const std::string& object) {
  Statement statement(db, sql, object);
  if (!statement.step()) return {};
  FieldValue value = statement.column(0);
  auto* text = std::get_if<std::string>(&value);
  return text != nullptr ? *text : std::string();
}

// The file as an SQLite URI: every byte but the unreserved ones percent-encoded.
std::string fileUri(const std::filesystem::path& path, const char* parameters) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path.string()) {
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

std::string modeLeftByARun(const std::filesystem::path& file) {
  char value[32] = {};
  ssize_t size = ::getxattr(file.c_str(), kModeAttribute, value, sizeof value - 1);
  return size > 0 ? foldName(std::string(value, static_cast<std::size_t>(size))) : std::string();
}

bool isJournalMode(const std::string& mode) {
  for (const char* known : {"delete", "truncate", "persist", "memory", "off"})
    if (mode == known) return true;
  return false;
}

}  // namespace

struct Connection::Prepared {
  Statement begin, commit;
};

// close_v2 answers OK for every handle it is given (statements still open
// keep the handle alive until they are finalised), so there is nothing to check.
void CloseDatabase::operator()(sqlite3* db) const {
  sqlite3_close_v2(db);
}

DatabaseHandle openDatabaseFile(const std::filesystem::path& file,
                                const std::optional<std::string>& key, FileAccess access) {
  const std::string name = file.string();
  const bool readOnly = access == FileAccess::kReadOnly;
  // Only a URI can open a file immutable.
  const std::string target = readOnly ? fileUri(file, "immutable=1") : name;
  int flags =
      kOneThread | (readOnly ? SQLITE_OPEN_READONLY | SQLITE_OPEN_URI : SQLITE_OPEN_READWRITE);
  if (access == FileAccess::kCreate) flags |= SQLITE_OPEN_CREATE;
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(target.c_str(), &raw, flags, nullptr);
  DatabaseHandle db(raw);  // even a failed open returns a handle to close
  check(raw, rc, kOpen, name);
  check(raw, sqlite3_extended_result_codes(raw, 1), kOpen, name);
  if (key) check(raw, sqlite3_key(raw, key->data(), static_cast<int>(key->size())), kOpen, name);
  if (queryText(raw, "PRAGMA cipher_version", name).empty())
    throw DatabaseError(kOpen, name, "la biblioteca SQLite en uso no cifra las bases de datos");
  return db;
}

namespace {

// Checked before SQLite opens the file: it would take a missing file as an
// error, but an empty one as a new database, and write to it.
void requireDatabaseFile(const std::filesystem::path& path) {
  const std::string file = path.string();
  std::error_code error;
  auto status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status))
    throw DatabaseError(kOpen, file, "el archivo no existe", 0, Cause::FileMissing);
  if (!std::filesystem::is_regular_file(status))
    throw DatabaseError(kOpen, file, "no es un archivo", 0, Cause::NotADatabase);
  if (std::filesystem::file_size(path, error) == 0 && !error)
    throw DatabaseError(kOpen, file, "el archivo está vacío: no es una base de datos", 0,
                        Cause::NotADatabase);
}

}  // namespace

DataSettings DataSettings::defaults() {
  std::error_code error;
  std::filesystem::path current = std::filesystem::current_path(error);
  return {current, defaultWindowsPrefix()};
}

Connection::Connection(std::string name, std::string connectionString, bool readOnly)
    : name_(std::move(name)), connectionString_(std::move(connectionString)), readOnly_(readOnly) {}

Connection::~Connection() {
  close();
}

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

  requireDatabaseFile(path_);
  if (!readOnly_ && !instanceLock_.acquire(path_))
    throw DatabaseError(kOpen, file, "otro Kestova ya está actualizando esta base de datos", 0,
                        Cause::AlreadyRunning);

  try {
    DatabaseHandle db =
        openDatabaseFile(path_, parsed.value("Jet OLEDB:Database Password"),
                         readOnly_ ? FileAccess::kReadOnly : FileAccess::kReadWrite);
    sqlite3* raw = db.get();
    settings_ = settings;
    lockWait_ = settings.commandTimeout;
    check(raw, sqlite3_busy_handler(raw, &Connection::waitForLock, this), kOpen, file);
    if (!readOnly_ && sqlite3_db_readonly(raw, "main") == 1)
      throw DatabaseError(kOpen, file, "el archivo es de solo lectura", 0, Cause::CannotWrite);
    owner_ = std::move(db);
    db_ = raw;
    verifyKey();
    if (!readOnly_) sharedRead_ = std::make_unique<SharedRead>(db_, file);
  } catch (const DatabaseError& failure) {
    owner_.reset();
    db_ = nullptr;
    instanceLock_.release();
    if (failure.code() == SQLITE_NOTADB)
      throw DatabaseError(kOpen, file,
                          "no es una base de datos cifrada con la contraseña de la conexión (" +
                              failure.message() + ")",
                          failure.code());
    throw DatabaseError(kOpen, file, failure.message(), failure.code(), failure.cause());
  }
}

void Connection::verifyKey() {
  const std::string file = path_.string();
  // A wrong key, a plain SQLite file or any other file fails at the first read
  // of the schema, not at the key.
  if (readOnly_) {
    Statement(db_, "BEGIN", file).execute();
    Statement(db_, "SELECT count(*) FROM sqlite_master", file).execute();
    return;
  }
  Statement(db_, "SELECT count(*) FROM sqlite_master", file).execute();
  // Reading the mode changes nothing. A file in write-ahead mode is kept so,
  // unless an earlier run left it so and noted the mode it had.
  ownJournalMode_ = journalMode();
  std::string left = ownJournalMode_ == "wal" ? modeLeftByARun(path_) : "";
  if (isJournalMode(left)) {
    ownJournalMode_ = left;
    switchedToLog_ = true;  // settle() puts it back, even if this run writes nothing
  }
}

std::string Connection::journalMode() {
  return foldName(queryText(db_, "PRAGMA journal_mode", path_.string()));
}

void Connection::prepareForWrites() {
  if (writesPrepared_) return;
  const std::string file = path_.string();
  std::string mode = journalMode();
  if (mode != "wal") {
    // Write-ahead logging makes saving each row as a transaction of its own
    // cheap, and lets other programs read the file during a run. When another
    // program's lock refuses the switch, the file keeps its mode.
    ::setxattr(path_.c_str(), kModeAttribute, mode.data(), mode.size(), 0);
    lockWait_ = std::min(kModeSwitchWait, settings_.commandTimeout);
    try {
      mode = foldName(queryText(db_, "PRAGMA journal_mode = WAL", file));
    } catch (const DatabaseError& failure) {
      if (!failure.busy()) throw;
    }
    lockWait_ = settings_.commandTimeout;
    if (mode != "wal") ::removexattr(path_.c_str(), kModeAttribute);
  }
  switchedToLog_ = mode == "wal" && ownJournalMode_ != "wal";
  if (mode == "wal") {
    // In write-ahead mode NORMAL loses no committed row when the process dies
    // and never damages the file; only a power cut may undo the last commits.
    // The rollback journal keeps the default, FULL, which it needs for that.
    Statement(db_, "PRAGMA synchronous = NORMAL", file).execute();
    // Checkpoints are made by afterCommit(), which knows when one cannot finish.
    Statement(db_, "PRAGMA wal_autocheckpoint = 0", file).execute();
    checkpointAt_ = kCheckpointFrames;
    // Returns the hook it replaces, not a result code: there is none to check.
    sqlite3_wal_hook(db_, &Connection::afterCommit, this);
  }
  prepared_.reset(
      new Prepared{Statement(db_, "BEGIN IMMEDIATE", file), Statement(db_, "COMMIT", file)});
  writesPrepared_ = true;
}

int Connection::afterCommit(void* self, sqlite3* db, const char* schema, int frames) {
  auto* connection = static_cast<Connection*>(self);
  if (frames < connection->checkpointAt_) return SQLITE_OK;
  int logged = 0, folded = 0;
  const int rc = sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, &logged, &folded);
  // A reader on an older snapshot keeps the end of the log from being folded.
  // Every attempt costs the whole log, so while one cannot finish the next
  // waits until the log has doubled: the run stays linear. A failed
  // checkpoint loses nothing, so it is not reported here, inside the commit
  // (which it would fail); the end of the run folds the log or says why not.
  connection->checkpointAt_ =
      rc == SQLITE_OK && folded == logged ? kCheckpointFrames : std::max(frames, 1) * 2;
  return SQLITE_OK;
}

int Connection::waitForLock(void* self, int attempt) {
  auto* connection = static_cast<Connection*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (attempt == 0) {
    connection->waitingSince_ = now;
    connection->turns_.otherWriterSeen(now);
  }
  const auto waited = now - connection->waitingSince_;
  if (stopRequested() || waited >= connection->lockWait_) return 0;
  // Another program that saves often lets go of the lock for a few
  // milliseconds between its saves: trying every millisecond meets that
  // moment. A longer wait is for a lock held long, and tries less often.
  const milliseconds pause{waited < milliseconds(250) ? 1 : 20};
  std::this_thread::sleep_for(
      std::min<std::chrono::steady_clock::duration>(pause, connection->lockWait_ - waited));
  return 1;
}

void Connection::settle() {
  // Ended before the file may change its journal mode below.
  if (sharedRead_) sharedRead_->forgetMode();
  if (!isOpen() || !switchedToLog_) return;
  const std::string file = path_.string();
  constexpr char kSettle[] = "Guardar la base de datos principal";
  const milliseconds savedWait = lockWait_;
  lockWait_ = settings_.settleTimeout;
  struct RestoreWait {
    Connection& connection;
    milliseconds wait;
    ~RestoreWait() { connection.lockWait_ = wait; }
  } restore{*this, savedWait};

  // Every saved row goes into the file itself, once readers of older
  // snapshots have let go of the log.
  int logged = 0, folded = 0;
  const int rc =
      sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, &logged, &folded);
  if ((rc & 0xFF) == SQLITE_BUSY || (rc == SQLITE_OK && folded < logged))
    throw DatabaseError(kSettle, file,
                        "otro programa sigue leyendo la base de datos: las filas están guardadas "
                        "en el registro de escritura junto al archivo, y la próxima ejecución "
                        "las pasa al archivo",
                        SQLITE_BUSY);
  check(db_, rc, kSettle, file);
  // Leaving write-ahead mode needs the file to itself.
  try {
    queryText(db_, "PRAGMA journal_mode = " + ownJournalMode_, file);
  } catch (const DatabaseError& failure) {
    if (!failure.busy()) throw;
    throw DatabaseError(kSettle, file,
                        "otro programa tiene abierta la base de datos: todas las filas están "
                        "guardadas en el archivo, y la próxima ejecución le devuelve su modo de "
                        "diario",
                        failure.code());
  }
  if (journalMode() != "wal") {
    ::removexattr(path_.c_str(), kModeAttribute);
    switchedToLog_ = false;
  }
}

void Connection::close() noexcept {
  if (!isOpen()) return;
  rollback();
  try {
    settings_.settleTimeout = milliseconds(0);
    settle();
  } catch (const DatabaseError&) {
    // The log stays beside the file; the next open recovers it.
  }
  prepared_.reset();
  dataVersion_.reset();
  sharedRead_.reset();
  owner_.reset();
  db_ = nullptr;
  instanceLock_.release();
  writesPrepared_ = switchedToLog_ = false;
  turns_ = {};
  lastDataVersion_.reset();
}

void Connection::begin() {
  endSharedRead();
  prepareForWrites();
  leaveGapToOthers();
  prepared_->begin.execute();
  turns_.began(std::chrono::steady_clock::now());
}

void Connection::leaveGapToOthers() {
  const auto start = std::chrono::steady_clock::now();
  if (!turns_.gapDue(start)) return;
  // Another program waiting for the lock takes it now; its commit ends the gap.
  const std::int64_t version = dataVersion();
  while (std::chrono::steady_clock::now() - start < WriteTurns::kGap && !stopRequested() &&
         dataVersion() == version)
    std::this_thread::sleep_for(milliseconds(1));
  turns_.gapLeft();
}

void Connection::commit() {
  prepared_->commit.execute();
  turns_.ended(std::chrono::steady_clock::now());
}

void Connection::rollback() noexcept {
  // Not checked: it runs where a step has failed already, or in a destructor,
  // and has no one to report to. A ROLLBACK that runs always ends the
  // transaction (an error while undoing leaves a hot journal or uncommitted
  // log frames, which no reader sees and the next open clears); one that
  // cannot even be prepared leaves it open, and the next begin() reports that.
  endSharedRead();
  if (inTransaction()) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

std::int64_t Connection::lastInsertRowid() const {
  return sqlite3_last_insert_rowid(db_);
}

bool Connection::inTransaction() const {
  return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}

void Connection::readCurrent() {
  if (sharedRead_ && (sharedRead_->isOpen() || !inTransaction())) sharedRead_->refresh();
}

void Connection::endSharedRead() noexcept {
  if (sharedRead_) sharedRead_->end();
}

void Connection::endOldSharedRead() noexcept {
  if (sharedRead_) sharedRead_->endWhenOld();
}

ReadTransaction::ReadTransaction(Connection& connection) {
  connection.endSharedRead();
  if (connection.inTransaction()) return;
  Statement(connection.handle(), "BEGIN", connection.path().string()).execute();
  connection_ = &connection;
}

ReadTransaction::~ReadTransaction() {
  if (connection_ != nullptr) connection_->rollback();
}

std::int64_t Connection::dataVersion() {
  if (!dataVersion_)
    dataVersion_ = std::make_unique<Statement>(db_, "PRAGMA data_version", path_.string());
  dataVersion_->step();
  const std::int64_t version = dataVersion_->columnInt64(0);
  dataVersion_->reset();
  if (lastDataVersion_ && *lastDataVersion_ != version)
    turns_.otherWriterSeen(std::chrono::steady_clock::now());
  lastDataVersion_ = version;
  return version;
}

}  // namespace kestova
