#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "file_identity.h"
#include "instance_lock.h"
#include "write_turns.h"

struct sqlite3;

namespace kestova {

class SharedRead;
class Statement;

// Where connections look for their files and how long they wait for a lock.
// The program uses defaults(); tests point it at their own folders.
struct DataSettings {
  std::filesystem::path currentDirectory;  // against which relative data sources resolve
  std::filesystem::path windowsPrefix;     // whose drive_c stands for drive C:
  std::chrono::milliseconds commandTimeout{30'000};
  // How long the end of a run waits for other programs to let the log be
  // folded back into the main file.
  std::chrono::milliseconds settleTimeout{1'000};
  // Called over and over while a connection waits for another program's
  // lock, so that a window keeps serving its paints meanwhile; may be empty.
  std::function<void()> whileWaiting = nullptr;

  // The process's current directory, its Windows prefix and the time-outs above.
  static DataSettings defaults();
};

// Closes a database handle, also the one a failed open returns.
struct CloseDatabase {
  void operator()(sqlite3* db) const;
};
using DatabaseHandle = std::unique_ptr<sqlite3, CloseDatabase>;

enum class FileAccess {
  kReadOnly,   // immutable: nothing is ever created beside the file
  kReadWrite,  // a missing file is an open failure
  kCreate,     // read-write, and a missing file is made
};

// Opens a database file and keys it with `key` (no key: the file is read as
// it is) in SQLCipher 3's file format: the one place where a file is opened.
// Checks that the SQLite library in use encrypts, but not that the key fits: a
// wrong key fails at the first read of the schema. The handle is for one thread at a time. Throws
// DatabaseError naming the file.
DatabaseHandle openDatabaseFile(const std::filesystem::path& file,
                                const std::optional<std::string>& key, FileAccess access);

// One connection to an encrypted database file, described by a connection
// string whose "Data Source" names the file and whose "Jet OLEDB:Database
// Password" is its key. Opening never creates a file: a missing, empty,
// unencrypted or differently keyed file is an open failure.
//
// A read-only connection opens its file as immutable: nothing is ever created
// beside it, it reads from read-only media whatever its journal mode, and it
// holds one read transaction from open to close.
//
// A read-write connection takes the file's instance lock (a second Kestova on
// the same file is refused) and changes nothing in the file until the first
// write: only then does the file go to write-ahead logging, which settle()
// undoes. A file its owner keeps in write-ahead mode stays so. Waits for other
// programs' locks last at most the command time-out, and end early when a stop
// is requested (stop_signals.h).
//
// A read-write connection writes only while its path still names the file it
// opened: it checks before its first write, after each commit, and while
// rows are only read, at least every 50 ms. Once the file has been renamed
// over or removed, every call that would write or read throws DatabaseError
// (cause FileReplaced): at most the row in flight went into the old file, and
// it does not count as saved. What was saved stays in the file opened,
// wherever it now is, and nothing of it is left beside the path to be taken
// for another file's.
class Connection {
 public:
  Connection(std::string name, std::string connectionString, bool readOnly);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::string& name() const { return name_; }
  const std::string& connectionString() const { return connectionString_; }
  bool readOnly() const { return readOnly_; }
  bool isOpen() const { return db_ != nullptr; }
  // The resolved file, once open() has been tried.
  const std::filesystem::path& path() const { return path_; }

  // Opens the file of the connection string. Throws DatabaseError naming the
  // file and why it cannot be used; the connection then stays closed.
  void open(const DataSettings& settings);
  // Makes the file as its owner keeps it: when this connection switched it to
  // write-ahead mode, every saved row is folded from the log into the file and
  // the file returns to its own journal mode, so that it alone holds every
  // saved row. Waits at most the settle time-out for other programs; throws
  // DatabaseError (cause InUse) when they still keep the log from being folded
  // (the rows stay saved, in the log; the next run finishes), cause
  // FileReplaced when the file is no longer at its path, or on a disk error.
  void settle();
  // After a settle() that returned: every saved row is in the file, but
  // another program had it open, so it stays in write-ahead mode until the
  // next run returns it to its own mode.
  bool leftInLog() const { return switchedToLog_; }
  // Settles the file, silently, and closes. Never throws.
  void close() noexcept;

  // Requires: open.
  sqlite3* handle() const { return db_; }

  // Puts the file in the mode rows are saved in: write-ahead logging (unless
  // another program's lock refuses the switch, or its owner keeps it so)
  // with its checkpoints. begin() does it before the first write.
  void prepareForWrites();
  // One write transaction: begin() takes the write lock (waiting up to the
  // command time-out), commit() makes it durable, rollback() undoes it. Once
  // another program has shown that it writes to the file, begin() takes the
  // lock in turns and leaves it to others between them (see WriteTurns).
  void begin();
  void commit();
  void rollback() noexcept;
  // Before a read that must see the file as it is now, outside a write
  // transaction: such reads share one read transaction for a few
  // milliseconds (see SharedRead) instead of taking a lock each.
  void readCurrent();
  // Ends that shared read; begin(), settle() and ReadTransaction end it first.
  void endSharedRead() noexcept;
  // Ends it once it has been held for its span: another program's write
  // waits no longer than that.
  void endOldSharedRead() noexcept;
  // A number that changes whenever another connection commits to the file;
  // a change seen counts as another program writing (WriteTurns).
  std::int64_t dataVersion();
  // The row id of the last row inserted.
  std::int64_t lastInsertRowid() const;
  bool inTransaction() const;

 private:
  struct Prepared;

  void verifyKey();
  std::string journalMode();
  // Throws when the path no longer names the file opened, after rolling back
  // and, the first time, leaving the file as leaveReplacedFile() does.
  void requireSameFile();
  void leaveReplacedFile() noexcept;
  void leaveGapToOthers();
  static int waitForLock(void* self, int attempt);
  static int afterCommit(void* self, sqlite3* db, const char* schema, int frames);

  std::string name_;
  std::string connectionString_;
  bool readOnly_;
  std::filesystem::path path_;
  DataSettings settings_;
  std::chrono::milliseconds lockWait_{0};
  std::chrono::steady_clock::time_point waitingSince_;
  WriteTurns turns_;
  std::optional<std::int64_t> lastDataVersion_;  // as dataVersion() saw it last

  std::string ownJournalMode_;  // the mode the file is kept in
  bool writesPrepared_ = false;
  // When the switch to write-ahead mode that another program refused is tried again.
  std::chrono::steady_clock::time_point retrySwitchAt_;
  bool switchedToLog_ = false;  // this connection put the file in write-ahead mode
  int checkpointAt_ = 0;        // log frames at which the next checkpoint is tried
  int checkpointFrames_ = 0;    // log frames between checkpoints

  std::optional<FileIdentity> identity_;  // the file opened
  bool writesInLog_ = false;              // rows are saved through the write-ahead log
  bool logNoted_ = false;                 // the identities below are taken
  std::optional<FileIdentity> logIdentity_, logIndexIdentity_;  // the -wal and -shm written
  std::chrono::steady_clock::time_point checkedAt_;             // when identity_ was last compared
  bool replaced_ = false;  // the path names another file, or none

  InstanceLock instanceLock_;
  sqlite3* db_ = nullptr;  // owned by owner_
  DatabaseHandle owner_;
  std::unique_ptr<Prepared> prepared_;
  std::unique_ptr<Statement> dataVersion_;
  std::unique_ptr<SharedRead> sharedRead_;  // read-write connections
};

// Holds one read transaction while it lives, so that everything read in it is
// one state of the file, the newest; nothing when a write transaction is open
// already.
class ReadTransaction {
 public:
  explicit ReadTransaction(Connection& connection);
  ~ReadTransaction();

  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  Connection* connection_ = nullptr;
};

}  // namespace kestova
