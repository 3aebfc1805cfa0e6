#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "data/data_settings.h"

struct sqlite3;

namespace kestova {

// How long a connection waits for a lock another program holds, and what it
// does meanwhile: the busy handler of one database handle. A wait lasts at
// most the command time-out, serves the window all the while (whileWaiting)
// and ends early once a stop is requested. A shorter or longer wait for a
// while is taken through a Limit only, which brings the wait before back
// however its scope ends, a failure included.
class LockWait {
 public:
  // `settings` must outlive the wait; `onLockMet` is told as each wait begins.
  LockWait(const DataSettings& settings, std::function<void()> onLockMet);

  LockWait(const LockWait&) = delete;
  LockWait& operator=(const LockWait&) = delete;

  // Makes it the busy handler of `db`, waiting the command time-out. Throws
  // DatabaseError naming `file`.
  void install(sqlite3* db, const std::string& file);

  // While it lives, a wait lasts at most `limit`.
  class Limit {
   public:
    Limit(LockWait& wait, std::chrono::milliseconds limit) : wait_(wait), before_(wait.limit_) {
      wait.limit_ = limit;
    }
    ~Limit() { wait_.limit_ = before_; }

    Limit(const Limit&) = delete;
    Limit& operator=(const Limit&) = delete;

   private:
    LockWait& wait_;
    std::chrono::milliseconds before_;
  };

 private:
  static int onBusy(void* self, int attempt);

  const DataSettings& settings_;
  std::function<void()> onLockMet_;
  std::chrono::milliseconds limit_;
  std::chrono::steady_clock::time_point since_;
};

}  // namespace kestova
