#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <string>

#include "data/statement.h"

struct sqlite3;

namespace kestova {

// One read transaction that many short reads share, instead of one each: a
// read transaction of its own costs a read lock taken and let go, system calls
// that cost more than the read itself.
//
// Every read in it sees the file as it is at that moment. In a rollback
// journal mode the read lock it holds keeps other programs from committing, so
// nothing can change under it. In write-ahead mode it reads one snapshot while
// others commit; so before each read it compares the log index header (which
// every commit rewrites) with the one it saw before the transaction began, and
// starts again when another program has committed.
//
// It is held for at most kSpan, so that another program's write waits no longer
// than that, and is never held while no rows are being read: its owner ends it
// before writing, before waiting for anything else, and at the end of a run.
class SharedRead {
 public:
  static constexpr std::chrono::milliseconds kSpan{5};

  SharedRead(sqlite3* db, const std::string& file);

  // Makes sure the read transaction is open and sees every commit made so far.
  // Requires: no other transaction open on the handle.
  void refresh();
  bool isOpen() const { return open_; }
  // Ends the transaction, if open. Never throws.
  void end() noexcept;
  // Ends it when it has been held for kSpan.
  void endWhenOld() noexcept;
  // Ends it, and has the next transaction ask the file's journal mode anew:
  // the handle's owner has changed it.
  void forgetMode() noexcept;

 private:
  using LogHeader = std::array<unsigned char, 48>;

  bool current() const;
  bool handleInLog();
  std::optional<LogHeader> logHeader() const;

  sqlite3* db_;
  Statement begin_, rollback_, firstRead_, journalMode_;
  bool open_ = false;
  bool inLog_ = false;  // the handle is in write-ahead mode, as last seen
  std::chrono::steady_clock::time_point since_;
  std::optional<LogHeader> header_;  // write-ahead mode: the header before it began
};

}  // namespace kestova
