#include "fault_vfs.h"

#include <cstring>
#include <stdexcept>

namespace kestova::test {

// What SQLite allocates per open file: this header, then the wrapped VFS's own
// file object, which does the real work.
struct FaultVfs::File {
  sqlite3_file base;
  FaultVfs* owner;
  const char* name;  // SQLite keeps it valid until the file is closed
  bool watched;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

namespace {

constexpr char kName[] = "kestova-fault";

FaultVfs::File* self(sqlite3_file* file) {
  return reinterpret_cast<FaultVfs::File*>(file);
}
sqlite3_file* real(sqlite3_file* file) {
  return self(file)->real();
}

const char* operationName(FaultVfs::Operation operation) {
  switch (operation) {
    case FaultVfs::Operation::Read:
      return "read";
    case FaultVfs::Operation::Write:
      return "write";
    case FaultVfs::Operation::Sync:
      return "sync";
  }
  return "?";
}

}  // namespace

FaultVfs::FaultVfs(std::filesystem::path database)
    : database_(database.string()), base_(sqlite3_vfs_find(nullptr)) {
  static_assert(sizeof(File) % 8 == 0, "the wrapped file must stay aligned");
  if (base_ == nullptr) throw std::runtime_error("SQLite has no default VFS");
  vfs_ = *base_;
  vfs_.iVersion = base_->iVersion < 3 ? base_->iVersion : 3;
  vfs_.szOsFile = static_cast<int>(sizeof(File)) + base_->szOsFile;
  vfs_.pNext = nullptr;
  vfs_.zName = kName;
  vfs_.pAppData = this;
  vfs_.xOpen = &FaultVfs::open;
  // Everything but opening files is the wrapped VFS's, called with itself.
  vfs_.xDelete = [](sqlite3_vfs* v, const char* n, int s) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xDelete(b, n, s);
  };
  vfs_.xAccess = [](sqlite3_vfs* v, const char* n, int f, int* r) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xAccess(b, n, f, r);
  };
  vfs_.xFullPathname = [](sqlite3_vfs* v, const char* n, int s, char* o) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xFullPathname(b, n, s, o);
  };
  vfs_.xDlOpen = [](sqlite3_vfs* v, const char* n) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xDlOpen(b, n);
  };
  vfs_.xDlError = [](sqlite3_vfs* v, int s, char* o) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    b->xDlError(b, s, o);
  };
  vfs_.xDlSym = [](sqlite3_vfs* v, void* h, const char* n) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xDlSym(b, h, n);
  };
  vfs_.xDlClose = [](sqlite3_vfs* v, void* h) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    b->xDlClose(b, h);
  };
  vfs_.xRandomness = [](sqlite3_vfs* v, int n, char* o) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xRandomness(b, n, o);
  };
  vfs_.xSleep = [](sqlite3_vfs* v, int m) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xSleep(b, m);
  };
  vfs_.xCurrentTime = [](sqlite3_vfs* v, double* t) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xCurrentTime(b, t);
  };
  vfs_.xGetLastError = [](sqlite3_vfs* v, int n, char* o) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xGetLastError ? b->xGetLastError(b, n, o) : 0;
  };
  vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* v, sqlite3_int64* t) {
    sqlite3_vfs* b = static_cast<FaultVfs*>(v->pAppData)->base_;
    return b->xCurrentTimeInt64(b, t);
  };
  vfs_.xSetSystemCall = nullptr;
  vfs_.xGetSystemCall = nullptr;
  vfs_.xNextSystemCall = nullptr;

  std::memset(&methods_, 0, sizeof methods_);
  methods_.iVersion = 3;
  methods_.xClose = &FaultVfs::close;
  methods_.xRead = &FaultVfs::read;
  methods_.xWrite = &FaultVfs::write;
  methods_.xTruncate = &FaultVfs::truncate;
  methods_.xSync = &FaultVfs::sync;
  methods_.xFileSize = &FaultVfs::fileSize;
  methods_.xLock = &FaultVfs::lock;
  methods_.xUnlock = &FaultVfs::unlock;
  methods_.xCheckReservedLock = &FaultVfs::checkReservedLock;
  methods_.xFileControl = &FaultVfs::fileControl;
  methods_.xSectorSize = &FaultVfs::sectorSize;
  methods_.xDeviceCharacteristics = &FaultVfs::deviceCharacteristics;
  methods_.xShmMap = &FaultVfs::shmMap;
  methods_.xShmLock = &FaultVfs::shmLock;
  methods_.xShmBarrier = &FaultVfs::shmBarrier;
  methods_.xShmUnmap = &FaultVfs::shmUnmap;
  methods_.xFetch = &FaultVfs::fetch;
  methods_.xUnfetch = &FaultVfs::unfetch;

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

void FaultVfs::disarm() {
  std::lock_guard<std::mutex> guard(mutex_);
  counts_ = {};
  armedAt_ = 0;
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
  std::int64_t& count = operation == Operation::Read    ? counts_.reads
                        : operation == Operation::Write ? counts_.writes
                                                        : counts_.syncs;
  ++count;
  if (armedAt_ == 0 || operation != armedOperation_) return SQLITE_OK;
  if (count != armedAt_ && !(sticky_ && count > armedAt_)) return SQLITE_OK;
  if (failures_++ == 0) {
    std::string name = fileName;
    firstFailure_ = std::string(operationName(operation)) + " " + std::to_string(count) + " on " +
                    name.substr(name.find_last_of('/') + 1);
  }
  return armedCode_;
}

int FaultVfs::open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags,
                   int* outFlags) {
  auto* owner = static_cast<FaultVfs*>(vfs->pAppData);
  File* wrapper = self(file);
  wrapper->owner = owner;
  wrapper->name = name != nullptr ? name : "";
  const std::string path = wrapper->name;
  const int kinds = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_WAL;
  wrapper->watched = (flags & kinds) != 0 &&
                     path.compare(0, owner->database_.size(), owner->database_) == 0 &&
                     (path.size() == owner->database_.size() ||
                      path.compare(owner->database_.size(), std::string::npos, "-journal") == 0 ||
                      path.compare(owner->database_.size(), std::string::npos, "-wal") == 0);
  sqlite3_file* inner = wrapper->real();
  inner->pMethods = nullptr;
  int rc = owner->base_->xOpen(owner->base_, name, inner, flags, outFlags);
  // A file whose methods are set is closed through them, even after a failed open.
  file->pMethods = inner->pMethods != nullptr ? &owner->methods_ : nullptr;
  return rc;
}

int FaultVfs::close(sqlite3_file* file) {
  return real(file)->pMethods->xClose(real(file));
}

int FaultVfs::read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  File* f = self(file);
  if (f->watched) {
    int rc = f->owner->next(Operation::Read, f->name);
    if (rc != SQLITE_OK) return rc;
  }
  return f->real()->pMethods->xRead(f->real(), buffer, amount, offset);
}

int FaultVfs::write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  File* f = self(file);
  if (f->watched) {
    int rc = f->owner->next(Operation::Write, f->name);
    if (rc != SQLITE_OK) return rc;
  }
  return f->real()->pMethods->xWrite(f->real(), buffer, amount, offset);
}

int FaultVfs::truncate(sqlite3_file* file, sqlite3_int64 size) {
  return real(file)->pMethods->xTruncate(real(file), size);
}

int FaultVfs::sync(sqlite3_file* file, int flags) {
  File* f = self(file);
  if (f->watched) {
    int rc = f->owner->next(Operation::Sync, f->name);
    if (rc != SQLITE_OK) return rc;
  }
  return f->real()->pMethods->xSync(f->real(), flags);
}

int FaultVfs::fileSize(sqlite3_file* file, sqlite3_int64* size) {
  return real(file)->pMethods->xFileSize(real(file), size);
}

int FaultVfs::lock(sqlite3_file* file, int level) {
  File* f = self(file);
  int rc = f->real()->pMethods->xLock(f->real(), level);
  if (rc == SQLITE_BUSY && f->watched) ++f->owner->busyLocks_;
  return rc;
}

int FaultVfs::unlock(sqlite3_file* file, int level) {
  return real(file)->pMethods->xUnlock(real(file), level);
}

int FaultVfs::checkReservedLock(sqlite3_file* file, int* result) {
  return real(file)->pMethods->xCheckReservedLock(real(file), result);
}

int FaultVfs::fileControl(sqlite3_file* file, int op, void* argument) {
  return real(file)->pMethods->xFileControl(real(file), op, argument);
}

int FaultVfs::sectorSize(sqlite3_file* file) {
  return real(file)->pMethods->xSectorSize(real(file));
}

int FaultVfs::deviceCharacteristics(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}

int FaultVfs::shmMap(sqlite3_file* file, int region, int size, int extend, void volatile** memory) {
  return real(file)->pMethods->xShmMap(real(file), region, size, extend, memory);
}

int FaultVfs::shmLock(sqlite3_file* file, int offset, int n, int flags) {
  File* f = self(file);
  int rc = f->real()->pMethods->xShmLock(f->real(), offset, n, flags);
  if (rc == SQLITE_BUSY && f->watched) ++f->owner->busyLocks_;
  return rc;
}

void FaultVfs::shmBarrier(sqlite3_file* file) {
  real(file)->pMethods->xShmBarrier(real(file));
}

int FaultVfs::shmUnmap(sqlite3_file* file, int deleteFlag) {
  return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}

int FaultVfs::fetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** memory) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, memory);
}

int FaultVfs::unfetch(sqlite3_file* file, sqlite3_int64 offset, void* memory) {
  return real(file)->pMethods->xUnfetch(real(file), offset, memory);
}

}  // namespace kestova::test
