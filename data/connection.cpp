#include "data/connection.h"

#include <sqlite3.h>

#include <thread>

#include "data/connection_string.h"
#include "data/database_error.h"
#include "data/shared_read.h"
#include "data/statement.h"
#include "data/text_rules.h"
#include "data/write_ahead_mode.h"
#include "platform/utf8_path.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;
using std::chrono::milliseconds;

// The provider the connection strings name; this layer stands in for it.
constexpr char kProvider[] = "microsoft.jet.oledb.3.51";
constexpr char kCheckFile[] = "Comprobar la base de datos principal";
// How often a run that only reads checks that the path still names its file;
// a run that writes checks at every commit.
constexpr milliseconds kIdentityInterval{50};

}  // namespace

struct Connection::Prepared {
  Statement begin, commit;
};

Connection::Connection(std::string name, std::string connectionString, bool readOnly)
    : name_(std::move(name)), connectionString_(std::move(connectionString)), readOnly_(readOnly) {}

Connection::~Connection() {
  close();
}

void Connection::open(const DataSettings& settings) {
  if (isOpen()) throw DatabaseError(kOpenDatabase, name_, "la conexión ya está abierta");

  ConnectionString parsed = ConnectionString::parse(connectionString_);
  std::string provider = parsed.value("Provider").value_or("");
  if (foldName(provider) != kProvider)
    throw DatabaseError(kOpenDatabase, name_, "proveedor no admitido: \"" + provider + "\"");
  std::optional<std::string> dataSource = parsed.value("Data Source");
  if (!dataSource || dataSource->empty())
    throw DatabaseError(kOpenDatabase, name_,
                        "la cadena de conexión no indica el archivo (Data Source)");
  dataSource_ = resolveDataSource(*dataSource, settings.currentDirectory, settings.windowsPrefix);
  path_ = readOnly_ || !settings.fileToWrite ? dataSource_ : settings.fileToWrite(dataSource_);
  settings_ = settings;

  requireDatabaseFile(path_);
  identity_ = fileIdentity(path_);
  if (!readOnly_ && !instanceLock_.acquire(path_))
    throw DatabaseError(kOpenDatabase, utf8(path_),
                        "otro Kestova ya está actualizando esta base de datos", 0,
                        Cause::AlreadyRunning);
  try {
    openFile(parsed.value("Jet OLEDB:Database Password"));
  } catch (const DatabaseError& failure) {
    log_.reset();
    db_.reset();
    instanceLock_.release();
    if (failure.code() == SQLITE_NOTADB)
      throw DatabaseError(kOpenDatabase, utf8(path_),
                          "no es una base de datos cifrada con la contraseña de la conexión (" +
                              failure.message() + ")",
                          failure.code());
    throw DatabaseError(kOpenDatabase, utf8(path_), failure.message(), failure.code(),
                        failure.cause());
  }
}

void Connection::openFile(const std::optional<std::string>& key) {
  const std::string file = utf8(path_);
  DatabaseHandle db =
      openDatabaseFile(path_, key, readOnly_ ? FileAccess::kReadOnly : FileAccess::kReadWrite);
  guardAgainstHostileFiles(db.get(), file);
  lockWait_.install(db.get(), file);
  if (!readOnly_ && sqlite3_db_readonly(db.get(), "main") == 1)
    throw DatabaseError(kOpenDatabase, file, "el archivo es de solo lectura", 0,
                        Cause::CannotWrite);
  db_ = std::move(db);
  verifyKey();
  // SQLite opened the file whose identity was taken, not one put there since.
  if (fileIdentity(path_) != identity_)
    throw DatabaseError(kOpenDatabase, file,
                        "el archivo fue reemplazado o borrado mientras se abría", 0,
                        Cause::FileReplaced);
  if (!readOnly_) sharedRead_ = std::make_unique<SharedRead>(db_.get(), file);
}

void Connection::verifyKey() {
  const std::string file = utf8(path_);
  // A wrong key, a plain SQLite file or any other file fails at the first read
  // of the schema, not at the key.
  if (readOnly_) {
    Statement(handle(), "BEGIN", file).execute();
    Statement(handle(), "SELECT count(*) FROM sqlite_master", file).execute();
    return;
  }
  Statement(handle(), "SELECT count(*) FROM sqlite_master", file).execute();
  log_ = std::make_unique<WriteAheadMode>(handle(), path_, *identity_, settings_, lockWait_);
  log_->findOwnMode();
}

bool Connection::leftInLog() const {
  return log_ != nullptr && log_->switched();
}

void Connection::prepareForWrites() {
  if (prepared_ && !log_->retryDue()) return;
  // Nothing is written, beside the file or in it, once it has been swapped.
  if (!prepared_) requireSameFile();
  log_->prepare();
  // The switch itself changes the file's data version: not another writer.
  if (log_->switched()) lastDataVersion_.reset();
  const std::string file = utf8(path_);
  if (!prepared_)
    prepared_.reset(new Prepared{Statement(handle(), "BEGIN IMMEDIATE", file),
                                 Statement(handle(), "COMMIT", file)});
}

void Connection::settle() {
  // Ended before the file may change its journal mode below.
  if (sharedRead_) sharedRead_->forgetMode();
  if (!isOpen() || readOnly_ || replaced_) return;
  // The log is folded and removed through the path: only into this file.
  requireSameFile();
  log_->settle(settings_.settleTimeout);
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
  log_.reset();
  db_.reset();
  instanceLock_.release();
  replaced_ = false;
  turns_ = {};
  lastDataVersion_.reset();
}

void Connection::begin() {
  endSharedRead();
  prepareForWrites();
  leaveGapToOthers();
  prepared_->begin.execute();
  turns_.began(std::chrono::steady_clock::now());
  log_->noteLogFiles();
}

void Connection::leaveGapToOthers() {
  const auto start = std::chrono::steady_clock::now();
  if (!turns_.gapDue(start)) return;
  // Another program waiting for the lock takes it now; its commit ends the gap.
  const std::int64_t version = dataVersion();
  while (std::chrono::steady_clock::now() - start < WriteTurns::kGap &&
         !settings_.stopRequested() && dataVersion() == version)
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
  if (!replaced_) {
    replaced_ = true;
    log_->leaveReplacedFile(settings_.settleTimeout);
  }
  throw DatabaseError(kCheckFile, utf8(path_),
                      "el archivo fue reemplazado o borrado durante la actualización: lo "
                      "guardado hasta entonces quedó en el archivo anterior",
                      0, Cause::FileReplaced);
}

void Connection::rollback() noexcept {
  // Not checked: it runs where a step has failed already, or in a destructor,
  // and has no one to report to. A ROLLBACK that runs always ends the
  // transaction (an error while undoing leaves a hot journal or uncommitted
  // log frames, which no reader sees and the next open clears); one that
  // cannot even be prepared leaves it open, and the next begin() reports that.
  endSharedRead();
  if (inTransaction()) sqlite3_exec(handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

std::int64_t Connection::lastInsertRowid() const {
  return sqlite3_last_insert_rowid(handle());
}

bool Connection::inTransaction() const {
  return db_ != nullptr && sqlite3_get_autocommit(handle()) == 0;
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

std::int64_t Connection::dataVersion() {
  if (!dataVersion_)
    dataVersion_ = std::make_unique<Statement>(handle(), "PRAGMA data_version", utf8(path_));
  dataVersion_->step();
  const std::int64_t version = dataVersion_->columnInt64(0);
  dataVersion_->reset();
  if (lastDataVersion_ && *lastDataVersion_ != version)
    turns_.otherWriterSeen(std::chrono::steady_clock::now());
  lastDataVersion_ = version;
  return version;
}

ReadTransaction::ReadTransaction(Connection& connection) {
  connection.endSharedRead();
  if (connection.inTransaction()) return;
  Statement(connection.handle(), "BEGIN", utf8(connection.path())).execute();
  connection_ = &connection;
}

ReadTransaction::~ReadTransaction() {
  if (connection_ != nullptr) connection_->rollback();
}

}  // namespace kestova
