#include "data/lock_wait.h"

#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include "data/database_error.h"
#include "data/database_file.h"
#include "data/statement.h"

namespace kestova {

using std::chrono::milliseconds;

LockWait::LockWait(const DataSettings& settings, std::function<void()> onLockMet)
    : settings_(settings), onLockMet_(std::move(onLockMet)), limit_(settings.commandTimeout) {}

void LockWait::install(sqlite3* db, const std::string& file) {
  limit_ = settings_.commandTimeout;
  check(db, sqlite3_busy_handler(db, &LockWait::onBusy, this), kOpenDatabase, file);
}

int LockWait::onBusy(void* self, int attempt) {
  auto* wait = static_cast<LockWait*>(self);
  const auto now = std::chrono::steady_clock::now();
  if (attempt == 0) {
    wait->since_ = now;
    wait->onLockMet_();
  }
  const auto waited = now - wait->since_;
  if (wait->settings_.whileWaiting) wait->settings_.whileWaiting();
  if (wait->settings_.stopRequested() || waited >= wait->limit_) return 0;
  // Another program that saves often lets go of the lock for a few
  // milliseconds between its saves: trying every millisecond meets that
  // moment. A longer wait is for a lock held long, and tries less often.
  const milliseconds pause{waited < milliseconds(250) ? 1 : 20};
  std::this_thread::sleep_for(
      std::min<std::chrono::steady_clock::duration>(pause, wait->limit_ - waited));
  return 1;
}

}  // namespace kestova
