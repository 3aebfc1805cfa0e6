#include "tests/faults/fault_vfs.h"

#include <stdexcept>

namespace kestova::test {

// A watched file is the wrapped VFS's own file object, as that VFS made it,
// with this record after it and its methods replaced by a copy in which the
// counted operations are wrapped: the others are the file's own, called
// directly.
struct FaultVfs::Watch {
  FaultVfs* owner;
  const char* name;  // SQLite keeps it valid until the file is closed
  const sqlite3_io_methods* real;
};

namespace {

constexpr char kName[] = "kestova-fault";
// Where a file's Watch lies. FaultVfs is the default VFS while it lives, so
// there is one at a time.
std::size_t watchOffset = 0;

FaultVfs::Watch& watchOf(sqlite3_file* file) {
  return *reinterpret_cast<FaultVfs::Watch*>(reinterpret_cast<char*>(file) + watchOffset);
}

}  // namespace

FaultVfs::FaultVfs(const std::filesystem::path& database)
    : database_(database.string()), base_(sqlite3_vfs_find(nullptr)) {
  if (base_ == nullptr) throw std::runtime_error("SQLite has no default VFS");
  // Everything but opening files is the wrapped VFS's own: it uses its VFS
  // argument only to open them.
  vfs_ = *base_;
  watchOffset = (static_cast<std::size_t>(base_->szOsFile) + 7) / 8 * 8;
  vfs_.szOsFile = static_cast<int>(watchOffset + sizeof(Watch));
  vfs_.pNext = nullptr;
  vfs_.zName = kName;
  vfs_.pAppData = this;
  vfs_.xOpen = &FaultVfs::open;
  if (sqlite3_vfs_register(&vfs_, 1) != SQLITE_OK)
    throw std::runtime_error("cannot register the fault VFS");
}

FaultVfs::~FaultVfs() {
  sqlite3_vfs_unregister(&vfs_);
  sqlite3_vfs_register(base_, 1);
}

void FaultVfs::arm(Operation operation, std::int64_t nth, int code, bool sticky) {
  std::lock_guard<std::mutex> guard(mutex_);
  counts_ = {};
  armedOperation_ = operation;
  armedAt_ = nth;
  armedCode_ = code;
  sticky_ = sticky;
  firstFailure_.clear();
  failures_ = 0;
}

FaultVfs::Counts FaultVfs::counts() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return counts_;
}

std::string FaultVfs::firstFailure() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return firstFailure_;
}

int FaultVfs::next(Operation operation, const char* fileName) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::int64_t* const counts[] = {&counts_.reads, &counts_.writes, &counts_.syncs};
  const std::int64_t count = ++*counts[static_cast<int>(operation)];
  if (armedAt_ == 0 || operation != armedOperation_) return SQLITE_OK;
  if (count != armedAt_ && !(sticky_ && count > armedAt_)) return SQLITE_OK;
  if (failures_++ == 0) {
    const char* const names[] = {"read", "write", "sync"};
    const std::string name = fileName;
    firstFailure_ = std::string(names[static_cast<int>(operation)]) + " " + std::to_string(count) +
                    " on " + name.substr(name.find_last_of('/') + 1);
  }
  return armedCode_;
}

int FaultVfs::open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                   int* outFlags) {
  auto* owner = static_cast<FaultVfs*>(vfs->pAppData);
  const int rc = owner->base_->xOpen(owner->base_, name, file, flags, outFlags);
  const std::string path = name != nullptr ? name : "";
  const std::string& database = owner->database_;
  const bool watched =
      rc == SQLITE_OK && file->pMethods != nullptr &&
      (flags & (SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL)) != 0 &&
      (path == database || path == database + "-journal" || path == database + "-wal");
  if (!watched) return rc;

  std::lock_guard<std::mutex> guard(owner->mutex_);
  auto [entry, fresh] = owner->methods_.try_emplace(file->pMethods, *file->pMethods);
  watchOf(file) = {owner, name, file->pMethods};
  file->pMethods = &entry->second;
  if (!fresh) return rc;
  sqlite3_io_methods& methods = entry->second;
  methods.xRead = [](sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    const Watch& watch = watchOf(f);
    const int result = watch.owner->next(Operation::Read, watch.name);
    return result != SQLITE_OK ? result : watch.real->xRead(f, buffer, amount, offset);
  };
  methods.xWrite = [](sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
    const Watch& watch = watchOf(f);
    const int result = watch.owner->next(Operation::Write, watch.name);
    return result != SQLITE_OK ? result : watch.real->xWrite(f, buffer, amount, offset);
  };
  methods.xSync = [](sqlite3_file* f, int syncFlags) {
    const Watch& watch = watchOf(f);
    const int result = watch.owner->next(Operation::Sync, watch.name);
    return result != SQLITE_OK ? result : watch.real->xSync(f, syncFlags);
  };
  methods.xLock = [](sqlite3_file* f, int level) {
    const Watch& watch = watchOf(f);
    const int result = watch.real->xLock(f, level);
    if (result == SQLITE_BUSY) ++watch.owner->busyLocks_;
    return result;
  };
  methods.xShmLock = [](sqlite3_file* f, int offset, int n, int lockFlags) {
    const Watch& watch = watchOf(f);
    const int result = watch.real->xShmLock(f, offset, n, lockFlags);
    if (result == SQLITE_BUSY) ++watch.owner->busyLocks_;
    return result;
  };
  return rc;
}

}  // namespace kestova::test
