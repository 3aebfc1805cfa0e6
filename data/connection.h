#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "data/data_settings.h"
#include "data/database_file.h"
#include "data/lock_wait.h"
#include "data/write_turns.h"
#include "platform/file_identity.h"
#include "platform/instance_lock.h"

struct sqlite3;

namespace kestova {

class SharedRead;
class Statement;
class WriteAheadMode;

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
// undoes (WriteAheadMode). A file its owner keeps in write-ahead mode stays so.
// Waits for other programs' locks last at most the command time-out, and end
// early when a stop is requested (LockWait).
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
  bool readOnly() const { return readOnly_; }
  bool isOpen() const { return db_ != nullptr; }
  // The resolved file, once open() has been tried.
  const std::filesystem::path& path() const { return path_; }
  // The file the connection string names, resolved; path() is another file
  // when one stands for it (DataSettings::fileToWrite).
  const std::filesystem::path& dataSource() const { return dataSource_; }

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
  bool leftInLog() const;
  // Settles the file, silently, and closes. Never throws.
  void close() noexcept;

  // Requires: open.
  sqlite3* handle() const { return db_.get(); }

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

  void openFile(const std::optional<std::string>& key);
  void verifyKey();
  // Throws when the path no longer names the file opened, after rolling back
  // and, the first time, leaving the file as WriteAheadMode does.
  void requireSameFile();
  void leaveGapToOthers();

  std::string name_;
  std::string connectionString_;
  bool readOnly_;
  std::filesystem::path path_;
  std::filesystem::path dataSource_;
  DataSettings settings_;
  WriteTurns turns_;
  LockWait lockWait_{settings_,
                     [this] { turns_.otherWriterSeen(std::chrono::steady_clock::now()); }};
  std::optional<std::int64_t> lastDataVersion_;  // as dataVersion() saw it last

  std::optional<FileIdentity> identity_;             // the file opened
  std::chrono::steady_clock::time_point checkedAt_;  // when identity_ was last compared
  bool replaced_ = false;                            // the path names another file, or none

  InstanceLock instanceLock_;
  DatabaseHandle db_;
  std::unique_ptr<WriteAheadMode> log_;  // read-write connections
  std::unique_ptr<Prepared> prepared_;   // once writes are prepared
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

// One write transaction while it lives: begun as it is made, rolled back as
// it ends unless commit() has returned.
class WriteTransaction {
 public:
  explicit WriteTransaction(Connection& connection) : connection_(connection) {
    connection.begin();
  }
  ~WriteTransaction() {
    if (!committed_) connection_.rollback();
  }

  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  void commit() {
    connection_.commit();
    committed_ = true;
  }

 private:
  Connection& connection_;
  bool committed_ = false;
};

}  // namespace kestova
