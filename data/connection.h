#pragma once

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace kestova {

class Statement;

// Where connections look for their files and how long they wait for a lock.
// The program uses defaults(); tests point it at their own folders.
struct DataSettings {
  std::filesystem::path currentDirectory;  // against which relative data sources resolve
  std::filesystem::path windowsPrefix;     // whose drive_c stands for drive C:
  std::chrono::milliseconds commandTimeout{30'000};

  // The process's current directory, its Windows prefix and a 30 s time-out.
  static DataSettings defaults();
};

// One connection to an encrypted database file, described by a connection
// string whose "Data Source" names the file and whose "Jet OLEDB:Database
// Password" is its key. Opening never creates a file: a missing, empty,
// unencrypted or differently keyed file is an open failure. A read-only
// connection holds one read transaction from open to close, so that what it
// reads is one consistent state of the file.
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
  // Makes a read-write file whole: every saved row is folded from the log
  // into the file, which returns to the journal mode it is kept in (the mode
  // it had, or the rollback journal when a run had left it in write-ahead
  // mode), so the file alone holds every saved row. While another program has
  // the file open the log stays until the next run; that is not an error.
  // Throws DatabaseError on a disk error.
  void settle();
  // Settles the file, silently, and closes. Never throws.
  void close() noexcept;

  // Requires: open.
  sqlite3* handle() const { return db_; }

  // One write transaction: begin() takes the write lock (waiting up to the
  // command time-out), commit() makes it durable, rollback() undoes it.
  void begin();
  void commit();
  void rollback() noexcept;

 private:
  struct Close {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
  };

  void configure();

  std::string name_;
  std::string connectionString_;
  bool readOnly_;
  std::filesystem::path path_;
  std::optional<std::string> keptJournalMode_;
  int busyTimeoutMs_ = 0;
  sqlite3* db_ = nullptr;  // owned by owner_
  std::unique_ptr<sqlite3, Close> owner_;
  std::unique_ptr<Statement> begin_;
  std::unique_ptr<Statement> commit_;
};

}  // namespace kestova
