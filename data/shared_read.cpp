#include "data/shared_read.h"

#include <sqlite3.h>

#include <atomic>

#include "data/database_error.h"

namespace kestova {

namespace {

using Clock = std::chrono::steady_clock;

// SQLite maps the write-ahead log index in regions of this size; the header
// begins the first.
constexpr int kLogIndexRegion = 32768;

}  // namespace

SharedRead::SharedRead(sqlite3* db, const std::string& file)
    : db_(db),
      begin_(db, "BEGIN", file),
      rollback_(db, "ROLLBACK", file),
      firstRead_(db, "PRAGMA main.schema_version", file),
      journalMode_(db, "PRAGMA main.journal_mode", file) {}

void SharedRead::refresh() {
  if (open_ && current()) return;
  end();
  try {
    for (int attempt = 0; attempt < 2; ++attempt) {
      // Taken before the transaction begins: its snapshot is at least as new.
      header_ = inLog_ ? logHeader() : std::nullopt;
      begin_.execute();
      open_ = true;
      since_ = Clock::now();
      // No other program can leave write-ahead mode while this handle is in
      // it; but it may have entered it since this handle last read: the
      // first read tells, and then the transaction starts again knowing it.
      if (inLog_) return;
      firstRead_.execute();
      inLog_ = handleInLog();
      if (!inLog_) return;
      end();
    }
  } catch (...) {
    end();
    throw;
  }
}

void SharedRead::forgetMode() noexcept {
  end();
  inLog_ = false;
}

bool SharedRead::current() const {
  if (Clock::now() - since_ >= kSpan) return false;
  if (!inLog_) return true;
  const std::optional<LogHeader> now = logHeader();
  return header_ && now && *now == *header_;
}

bool SharedRead::handleInLog() {
  // The mode the handle's transaction found; asking it reads nothing.
  journalMode_.step();
  const FieldValue mode = journalMode_.column(0);
  journalMode_.reset();
  return mode == FieldValue(std::string("wal"));
}

std::optional<SharedRead::LogHeader> SharedRead::logHeader() const {
  sqlite3_file* file = nullptr;
  if (sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
      file == nullptr || file->pMethods == nullptr || file->pMethods->iVersion < 2)
    return std::nullopt;
  void volatile* region = nullptr;
  // Not extended: a region that is not there yet is not made.
  if (file->pMethods->xShmMap(file, 0, kLogIndexRegion, 0, &region) != SQLITE_OK ||
      region == nullptr)
    return std::nullopt;
  // Another process rewrites the header at any time: a copy taken halfway
  // differs from both, which only makes the transaction start again.
  std::atomic_thread_fence(std::memory_order_acquire);
  const auto* bytes = static_cast<const volatile unsigned char*>(region);
  LogHeader header;
  for (std::size_t i = 0; i < header.size(); ++i) header[i] = bytes[i];
  return header;
}

void SharedRead::end() noexcept {
  if (!open_) return;
  open_ = false;
  // A read transaction has nothing to undo: a failure to end it is not
  // reported (as with Connection::rollback()), and the next write reports
  // the transaction it finds open.
  if (sqlite3_get_autocommit(db_) == 0) {
    try {
      rollback_.execute();
    } catch (const DatabaseError&) {
    }
  }
}

void SharedRead::endWhenOld() noexcept {
  if (open_ && Clock::now() - since_ >= kSpan) end();
}

}  // namespace kestova
