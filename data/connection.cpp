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
// The log written between two checkpoints, which is all the room on the disk
// a run needs beyond what the file grows by (a folded log is written over
// from its start, and the end of a run empties it). Each checkpoint syncs the
// file twice, so fewer, larger ones would be cheaper.
constexpr std::int64_t kCheckpointBytes = 4 << 20;
// What each page written to the log takes beside it.
constexpr std::int64_t kFrameHeader = 24;
constexpr char kCheckFile[] = "Comprobar la base de datos principal";
// How often a run that only reads checks that the path still names its file;
// a run that writes checks at every commit.
constexpr milliseconds kIdentityInterval{50};
// A connection is used by one thread only: SQLite need not lock its mutex on
// every call.
constexpr int kOneThread = SQLITE_OPEN_NOMUTEX;
// How long the switch to write-ahead mode waits for a lock: a lock held longer
// is met again, with the full time-out, by the first write.
constexpr milliseconds kModeSwitchWait{1000};
// A switch another program refused is tried again this often, waiting this
// long: a program that saves all the time leaves the file free only now and
// then, and every row saved in the rollback journal costs a sync of its own.
constexpr milliseconds kModeSwitchRetry{1000};
constexpr milliseconds kModeSwitchRetryWait{100};

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
  if (queryText(raw, "PRAGMA cipher_version", name).empty())
    throw DatabaseError(kOpen, name, "la biblioteca SQLite en uso no cifra las bases de datos");
  if (key) {
    // Nevaro's files and the updates are written in SQLCipher 3's format
    // (1 KB pages, PBKDF2-HMAC-SHA1 with 64,000 iterations, HMAC-SHA1 per
    // page). Set as the default before the key, it holds for this file and
    // for every file the handle attaches.
    Statement(raw, "PRAGMA cipher_default_compatibility = 3", name).execute();
    check(raw, sqlite3_key(raw, key->data(), static_cast<int>(key->size())), kOpen, name);
  }
  return db;
}

namespace {

// The update comes from outside the office, and the main file is anyone's to
// change: both connections read their file as one that may have been made to
// do harm. Tests that craft damaged files open theirs without this.
void guardAgainstHostileFiles(sqlite3* db, const std::string& file) {
  // Defensive mode refuses what could corrupt the file on purpose (writing
  // the schema, shadow tables or raw pages); an untrusted schema lets the
  // views and triggers a file brings call only functions without side
  // effects; checked cell sizes find a damaged page before its cells are used.
  int unused = 0;
  check(db, sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, &unused), kOpen, file);
  check(db, sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, &unused), kOpen, file);
  Statement(db, "PRAGMA cell_size_check = ON", file).execute();
}

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
  identity_ = fileIdentity(path_);
  if (!readOnly_ && !instanceLock_.acquire(path_))
    throw DatabaseError(kOpen, file, "otro Kestova ya está actualizando esta base de datos", 0,
                        Cause::AlreadyRunning);

  try {
    DatabaseHandle db =
        openDatabaseFile(path_, parsed.value("Jet OLEDB:Database Password"),
                         readOnly_ ? FileAccess::kReadOnly : FileAccess::kReadWrite);
    sqlite3* raw = db.get();
    guardAgainstHostileFiles(raw, file);
    settings_ = settings;
    lockWait_ = settings.commandTimeout;
    check(raw, sqlite3_busy_handler(raw, &Connection::waitForLock, this), kOpen, file);
    if (!readOnly_ && sqlite3_db_readonly(raw, "main") == 1)
      throw DatabaseError(kOpen, file, "el archivo es de solo lectura", 0, Cause::CannotWrite);
    owner_ = std::move(db);
    db_ = raw;
    verifyKey();
    // SQLite opened the file whose identity was taken, not one put there since.
    if (fileIdentity(path_) != identity_)
      throw DatabaseError(kOpen, file, "el archivo fue reemplazado o borrado mientras se abría", 0,
                          Cause::FileReplaced);
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
  const auto now = std::chrono::steady_clock::now();
  if (writesPrepared_ && (writesInLog_ || now < retrySwitchAt_)) return;
  // Nothing is written, beside the file or in it, once it has been swapped.
  if (!writesPrepared_) requireSameFile();
  const std::string file = path_.string();
  std::string mode = journalMode();
  if (mode != "wal") {
    // Write-ahead logging makes saving each row as a transaction of its own
    // cheap, and lets other programs read the file during a run. When another
    // program's lock refuses the switch, the file keeps its mode.
    ::setxattr(path_.c_str(), kModeAttribute, mode.data(), mode.size(), 0);
    lockWait_ = std::min(writesPrepared_ ? kModeSwitchRetryWait : kModeSwitchWait,
                         settings_.commandTimeout);
    try {
      mode = foldName(queryText(db_, "PRAGMA journal_mode = WAL", file));
    } catch (const DatabaseError& failure) {
      if (!failure.busy()) throw;
    }
    lockWait_ = settings_.commandTimeout;
    if (mode != "wal") ::removexattr(path_.c_str(), kModeAttribute);
    retrySwitchAt_ = std::chrono::steady_clock::now() + kModeSwitchRetry;
  }
  switchedToLog_ = mode == "wal" && ownJournalMode_ != "wal";
  writesInLog_ = mode == "wal";
  // The switch itself changes the file's data version: not another writer.
  if (switchedToLog_) lastDataVersion_.reset();
  if (writesInLog_) {
    // In write-ahead mode NORMAL loses no committed row when the process dies
    // and never damages the file; only a power cut may undo the last commits.
    // The rollback journal keeps the default, FULL, which it needs for that.
    Statement(db_, "PRAGMA synchronous = NORMAL", file).execute();
    // Checkpoints are made by afterCommit(), which knows when one cannot finish.
    Statement(db_, "PRAGMA wal_autocheckpoint = 0", file).execute();
    Statement pageSize(db_, "PRAGMA page_size", file);
    pageSize.step();
    checkpointFrames_ = static_cast<int>(
        std::max<std::int64_t>(kCheckpointBytes / (pageSize.columnInt64(0) + kFrameHeader), 1));
    checkpointAt_ = checkpointFrames_;
    // Returns the hook it replaces, not a result code: there is none to check.
    sqlite3_wal_hook(db_, &Connection::afterCommit, this);
  }
  if (!prepared_)
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
      rc == SQLITE_OK && folded == logged ? connection->checkpointFrames_ : std::max(frames, 1) * 2;
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
  if (connection->settings_.whileWaiting) connection->settings_.whileWaiting();
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
  if (!isOpen() || readOnly_ || replaced_) return;
  // The log is folded and removed through the path: only into this file.
  requireSameFile();
  if (!switchedToLog_) return;
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
  // Leaving write-ahead mode needs the file to itself. When another program
  // has it open, every saved row is in the file all the same: the file stays
  // in write-ahead mode, noted beside it, and the next run returns its mode.
  try {
    queryText(db_, "PRAGMA journal_mode = " + ownJournalMode_, file);
  } catch (const DatabaseError& failure) {
    if (!failure.busy()) throw;
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
    // Closing may come after whoever served the waits is gone.
    settings_.whileWaiting = nullptr;
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
  writesPrepared_ = switchedToLog_ = writesInLog_ = logNoted_ = replaced_ = false;
  turns_ = {};
  lastDataVersion_.reset();
}

void Connection::begin() {
  endSharedRead();
  prepareForWrites();
  leaveGapToOthers();
  prepared_->begin.execute();
  turns_.began(std::chrono::steady_clock::now());
  if (writesInLog_ && !logNoted_) {
    // Both are open now, and stay the same files until the connection closes.
    logIdentity_ = fileIdentity(path_.string() + "-wal");
    logIndexIdentity_ = fileIdentity(path_.string() + "-shm");
    logNoted_ = true;
  }
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
  // Checked once the row is in, not before: a swap during the commit would
  // otherwise count as saved a row that went into the file that was there
  // before. Now that row alone can go there, and it does not count as saved.
  requireSameFile();
}

void Connection::requireSameFile() {
  checkedAt_ = std::chrono::steady_clock::now();
  if (!replaced_ && fileIdentity(path_) == identity_) return;
  rollback();
  if (!replaced_) leaveReplacedFile();
  throw DatabaseError(kCheckFile, path_.string(),
                      "el archivo fue reemplazado o borrado durante la actualización: lo "
                      "guardado hasta entonces quedó en el archivo anterior",
                      0, Cause::FileReplaced);
}

void Connection::leaveReplacedFile() noexcept {
  replaced_ = true;
  // The log and its index are found by the path, not by the file: left
  // there, whatever file now has that name would take this file's saved rows
  // for its own and be damaged. Once their names are gone, this connection,
  // and other programs that still have the old file open, go on using them.
  const std::string file = path_.string();
  if (logIdentity_) removeIfSame(file + "-wal", *logIdentity_);
  if (logIndexIdentity_) removeIfSame(file + "-shm", *logIndexIdentity_);
  // Every saved row goes into the file opened, wherever it now is. Not
  // checked: the run has stopped writing, and a reader of the old file that
  // keeps the log from being folded harms no other file.
  lockWait_ = settings_.settleTimeout;
  sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_FULL, nullptr, nullptr);
  lockWait_ = settings_.commandTimeout;
  // Closing would otherwise remove the files named after the path, whichever
  // file they belong to by then.
  int keep = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
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
  if (!sharedRead_) return;
  if (std::chrono::steady_clock::now() - checkedAt_ >= kIdentityInterval) requireSameFile();
  if (sharedRead_->isOpen() || !inTransaction()) sharedRead_->refresh();
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
