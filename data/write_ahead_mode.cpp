#include "data/write_ahead_mode.h"

#include <sqlite3.h>

#include <algorithm>

#include "data/database_error.h"
#include "data/statement.h"
#include "data/text_rules.h"
#include "platform/utf8_path.h"

namespace kestova {

namespace {

using std::chrono::milliseconds;

// The log written between two checkpoints, which is all the room on the disk
// a run needs beyond what the file grows by (a folded log is written over
// from its start, and the end of a run empties it). Each checkpoint syncs the
// file twice, so fewer, larger ones would be cheaper.
constexpr std::int64_t kCheckpointBytes = 4 << 20;
// What each page written to the log takes beside it.
constexpr std::int64_t kFrameHeader = 24;
// How long the switch to write-ahead mode waits for a lock: a lock held longer
// is met again, with the full time-out, by the first write.
constexpr milliseconds kSwitchWait{1000};
// A switch another program refused is tried again this often, waiting this
// long: a program that saves all the time leaves the file free only now and
// then, and every row saved in the rollback journal costs a sync of its own.
constexpr milliseconds kSwitchRetry{1000};
constexpr milliseconds kSwitchRetryWait{100};

bool isJournalMode(const std::string& mode) {
  for (const char* known : {"delete", "truncate", "persist", "memory", "off"})
    if (mode == known) return true;
  return false;
}

}  // namespace

WriteAheadMode::WriteAheadMode(sqlite3* db, const std::filesystem::path& file,
                               const FileIdentity& identity, const DataSettings& settings,
                               LockWait& lockWait)
    : db_(db), file_(utf8(file)), settings_(settings), lockWait_(lockWait), note_(file, identity) {}

std::string WriteAheadMode::journalMode() {
  return foldName(queryText(db_, "PRAGMA journal_mode", file_));
}

void WriteAheadMode::findOwnMode() {
  // A file in write-ahead mode is kept so, unless a run of this user left it
  // so and noted the mode it had. A note found while the file is in another
  // mode is older than the owner's own change of mode: it is dropped.
  ownMode_ = journalMode();
  if (ownMode_ != "wal") {
    note_.remove();
    return;
  }
  const std::string noted = foldName(note_.read());
  if (!isJournalMode(noted)) return;
  ownMode_ = noted;
  switched_ = true;  // settle() puts it back, even if this run writes nothing
}

bool WriteAheadMode::retryDue() const {
  return !inLog_ && std::chrono::steady_clock::now() >= retryAt_;
}

void WriteAheadMode::prepare() {
  std::string mode = journalMode();
  if (mode != "wal") {
    mode = trySwitch(mode);
    retryAt_ = std::chrono::steady_clock::now() + kSwitchRetry;
  }
  tried_ = true;
  switched_ = mode == "wal" && ownMode_ != "wal";
  inLog_ = mode == "wal";
  if (inLog_) useLog();
}

std::string WriteAheadMode::trySwitch(const std::string& mode) {
  // Noted first: a run killed once the file has switched leaves the note.
  if (!note_.write(mode)) return mode;
  std::string now = mode;
  try {
    LockWait::Limit limit(
        lockWait_, std::min(tried_ ? kSwitchRetryWait : kSwitchWait, settings_.commandTimeout));
    now = foldName(queryText(db_, "PRAGMA journal_mode = WAL", file_));
  } catch (const DatabaseError& failure) {
    // Another program's lock refused the switch: the file keeps its mode. On
    // any other failure the note stays; it is not trusted once the file is
    // found in another mode than write-ahead.
    if (!failure.busy()) throw;
  }
  if (now != "wal") note_.remove();
  return now;
}

void WriteAheadMode::useLog() {
  // In write-ahead mode NORMAL loses no committed row when the process dies
  // and never damages the file; only a power cut may undo the last commits.
  // The rollback journal keeps the default, FULL, which it needs for that.
  Statement(db_, "PRAGMA synchronous = NORMAL", file_).execute();
  // Checkpoints are made by afterCommit(), which knows when one cannot finish.
  Statement(db_, "PRAGMA wal_autocheckpoint = 0", file_).execute();
  Statement pageSize(db_, "PRAGMA page_size", file_);
  pageSize.step();
  checkpointFrames_ = static_cast<int>(
      std::max<std::int64_t>(kCheckpointBytes / (pageSize.columnInt64(0) + kFrameHeader), 1));
  checkpointAt_ = checkpointFrames_;
  // Returns the hook it replaces, not a result code: there is none to check.
  sqlite3_wal_hook(db_, &WriteAheadMode::afterCommit, this);
}

int WriteAheadMode::afterCommit(void* self, sqlite3* db, const char* schema, int frames) {
  auto* mode = static_cast<WriteAheadMode*>(self);
  if (frames < mode->checkpointAt_) return SQLITE_OK;
  int logged = 0, folded = 0;
  const int rc = sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, &logged, &folded);
  // A reader on an older snapshot keeps the end of the log from being folded.
  // Every attempt costs the whole log, so while one cannot finish the next
  // waits until the log has doubled: the run stays linear. A failed
  // checkpoint loses nothing, so it is not reported here, inside the commit
  // (which it would fail); the end of the run folds the log or says why not.
  mode->checkpointAt_ =
      rc == SQLITE_OK && folded == logged ? mode->checkpointFrames_ : std::max(frames, 1) * 2;
  return SQLITE_OK;
}

void WriteAheadMode::noteLogFiles() {
  if (!inLog_ || logNoted_) return;
  logIdentity_ = fileIdentity(pathFromUtf8(file_ + "-wal"));
  logIndexIdentity_ = fileIdentity(pathFromUtf8(file_ + "-shm"));
  logNoted_ = true;
}

void WriteAheadMode::settle(milliseconds wait) {
  if (!switched_) return;
  LockWait::Limit limit(lockWait_, wait);
  fold();
  // Leaving write-ahead mode needs the file to itself. When another program
  // has it open, every saved row is in the file all the same: the file stays
  // in write-ahead mode, its mode noted, and the next run returns it.
  try {
    queryText(db_, "PRAGMA journal_mode = " + ownMode_, file_);
  } catch (const DatabaseError& failure) {
    if (!failure.busy()) throw;
  }
  if (journalMode() != "wal") {
    note_.remove();
    switched_ = false;
  }
}

void WriteAheadMode::fold() {
  // Every saved row goes into the file itself, once readers of older
  // snapshots have let go of the log.
  int logged = 0, folded = 0;
  const int rc =
      sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_TRUNCATE, &logged, &folded);
  if ((rc & 0xFF) == SQLITE_BUSY || (rc == SQLITE_OK && folded < logged))
    throw DatabaseError(kSettleOperation, file_,
                        "otro programa sigue leyendo la base de datos: las filas están guardadas "
                        "en el registro de escritura junto al archivo, y la próxima ejecución "
                        "las pasa al archivo",
                        SQLITE_BUSY);
  check(db_, rc, kSettleOperation, file_);
}

void WriteAheadMode::leaveReplacedFile(milliseconds wait) noexcept {
  // The log and its index are found by the path, not by the file: left
  // there, whatever file now has that name would take this file's saved rows
  // for its own and be damaged. Once their names are gone, this connection,
  // and other programs that still have the old file open, go on using them.
  if (logIdentity_) removeIfSame(pathFromUtf8(file_ + "-wal"), *logIdentity_);
  if (logIndexIdentity_) removeIfSame(pathFromUtf8(file_ + "-shm"), *logIndexIdentity_);
  // Every saved row goes into the file opened, wherever it now is. Not
  // checked: the run has stopped writing, and a reader of the old file that
  // keeps the log from being folded harms no other file.
  {
    LockWait::Limit limit(lockWait_, wait);
    sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_FULL, nullptr, nullptr);
  }
  // Closing would otherwise remove the files named after the path, whichever
  // file they belong to by then.
  int keep = 1;
  sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

}  // namespace kestova
