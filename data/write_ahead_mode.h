#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "data/data_settings.h"
#include "data/lock_wait.h"
#include "platform/file_identity.h"
#include "platform/journal_mode_note.h"

struct sqlite3;

namespace kestova {

// The name settling goes by in its errors and in the run's report.
inline constexpr char kSettleOperation[] = "Guardar la base de datos principal";

// The journal mode of a main file during a run, and the checkpoints of its
// log. Rows are saved in write-ahead mode: each row's own transaction is
// cheap, and other programs read the file meanwhile. The file goes to
// write-ahead mode before the first write and returns to its own mode when
// the run settles it; a file its owner keeps in write-ahead mode stays so.
// While a run has it in write-ahead mode, its own mode is noted with the user
// (JournalModeNote), so that a run that could not put it back (killed, or
// another program kept the file open) is mended by the next run; when the
// note cannot be written, the file keeps its own mode. Belongs to the
// read-write connection whose handle it is given, and lives no longer.
class WriteAheadMode {
 public:
  WriteAheadMode(sqlite3* db, const std::filesystem::path& file, const FileIdentity& identity,
                 const DataSettings& settings, LockWait& lockWait);

  WriteAheadMode(const WriteAheadMode&) = delete;
  WriteAheadMode& operator=(const WriteAheadMode&) = delete;

  // Reads the mode the file is kept in: its own, or, while it is in
  // write-ahead mode, the one an earlier run of this user noted before it put
  // the file so. Changes nothing in the file.
  void findOwnMode();
  // Puts the file in write-ahead mode, with its checkpoints, unless it is in
  // it already, its mode cannot be noted, or another program's lock refuses
  // the switch for a second (it is tried again a second later: retryDue()).
  void prepare();
  bool retryDue() const;
  // Rows are saved through the log.
  bool inLog() const { return inLog_; }
  // The file is in write-ahead mode and its own mode is another: settle()
  // returns it there.
  bool switched() const { return switched_; }
  // Takes the identity of the log and its index, once a write transaction has
  // begun: they stay the same files while the handle is open.
  void noteLogFiles();
  // Folds every saved row from the log into the file and returns the file to
  // its own mode, waiting at most `wait` for other programs. Throws
  // DatabaseError (cause InUse) when they keep the log from being folded;
  // when they merely have the file open, it stays switched().
  void settle(std::chrono::milliseconds wait);
  // Once the path names another file, or none: removes the log and its index
  // from the path, so that no other file takes them for its own, and folds
  // what it can into the file opened, waiting at most `wait`.
  void leaveReplacedFile(std::chrono::milliseconds wait) noexcept;

 private:
  std::string journalMode();
  std::string trySwitch(const std::string& mode);
  void useLog();
  void fold();
  static int afterCommit(void* self, sqlite3* db, const char* schema, int frames);

  sqlite3* db_;
  std::string file_;  // the path as text, for messages
  const DataSettings& settings_;
  LockWait& lockWait_;
  JournalModeNote note_;

  std::string ownMode_;  // the mode the file is kept in
  bool tried_ = false;   // prepare() has been called
  bool inLog_ = false;
  bool switched_ = false;
  // When a switch another program refused is tried again.
  std::chrono::steady_clock::time_point retryAt_;
  int checkpointAt_ = 0;      // log frames at which the next checkpoint is tried
  int checkpointFrames_ = 0;  // log frames between checkpoints
  bool logNoted_ = false;     // the identities below are taken
  std::optional<FileIdentity> logIdentity_, logIndexIdentity_;  // the -wal and -shm written
};

}  // namespace kestova
