#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

namespace kestova::test {

// A disk that fails on request. FaultVfs wraps the process's default SQLite
// VFS and becomes the default itself while it lives, so that every connection
// opened meanwhile goes through it; the destructor puts the former default
// back. Reads, writes and syncs of one database's files (the database, its
// rollback journal and its write-ahead log) are counted, and when armed the
// n-th operation of one kind fails with the given result code instead of
// reaching the disk: once, or (sticky) that one and every later one of its
// kind, as a full disk stays full. Lock requests on those files that another
// connection refuses are counted too. Other files pass through untouched.
class FaultVfs {
 public:
  enum class Operation { Read, Write, Sync };

  struct Counts {
    std::int64_t reads = 0, writes = 0, syncs = 0;
    std::int64_t of(Operation operation) const {
      return operation == Operation::Read ? reads : operation == Operation::Write ? writes : syncs;
    }
  };

  explicit FaultVfs(const std::filesystem::path& database);
  ~FaultVfs();

  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  // Restarts the counts; the `nth` (1-based) operation of that kind from now
  // on fails with `code`, and with `sticky` so do all later ones of its kind.
  void arm(Operation operation, std::int64_t nth, int code, bool sticky = false);
  // Restarts the counts; nothing fails.
  void disarm() { arm(Operation::Read, 0, SQLITE_OK); }

  Counts counts() const;
  // How many operations failed, and the first one: "write 12 on Nevaro.mdb-wal".
  std::int64_t failures() const { return failures_.load(); }
  std::string firstFailure() const;
  std::int64_t busyLocks() const { return busyLocks_.load(); }

  // What a watched file carries after the wrapped VFS's own file object.
  struct Watch;

 private:
  static int open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags);
  // SQLITE_OK, or the armed failure for this operation on `fileName`.
  int next(Operation operation, const char* fileName);

  std::string database_;
  sqlite3_vfs* base_;
  sqlite3_vfs vfs_;
  // Each kind of watched file's own methods, and the copy it is given.
  std::map<const sqlite3_io_methods*, sqlite3_io_methods> methods_;

  mutable std::mutex mutex_;
  Counts counts_;
  Operation armedOperation_ = Operation::Read;
  std::int64_t armedAt_ = 0;  // 0: not armed
  int armedCode_ = SQLITE_OK;
  bool sticky_ = false;
  std::string firstFailure_;
  std::atomic<std::int64_t> failures_{0};
  std::atomic<std::int64_t> busyLocks_{0};
};

}  // namespace kestova::test
