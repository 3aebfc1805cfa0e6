#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "connection.h"
#include "run_report.h"

namespace kestova::test {

// What a whole run did: its report and how many passes it began.
struct RunOutcome {
  RunReport report;
  std::int64_t passes = 0;
};

// Told how far a run has come.
struct RunHooks {
  std::function<void(std::int64_t)> onPass;  // the number of each pass as it begins
  std::function<void()> afterTables;         // after the last pass, before the main file settles
  std::function<void()> beforeClose;         // after it settles, before the files close
};

// Opens the six recordsets and brings the three tables up to date, as the
// window's run does. The data environment, and so both connections, is closed
// before it returns.
RunOutcome runAll(const DataSettings& settings, const RunHooks& hooks = {});

// The text of PRAGMA integrity_check, lines joined by '\n': "ok" for a whole file.
std::string integrityCheck(const std::filesystem::path& file);
// The file's journal mode as PRAGMA journal_mode gives it ("delete", "wal").
std::string journalMode(const std::filesystem::path& file);
// Which of the files SQLite keeps beside a database exist: "-wal -shm" and so on.
std::string filesBeside(const std::filesystem::path& file);

// The rows of the three main tables by rowid. A row's state is its copied
// columns (in the order of the run's field copies), each value as describe()
// gives it, joined by " | "; Alta, which a run never writes, is kept apart.
struct TableRows {
  std::vector<std::int64_t> rowids;  // ascending
  std::vector<std::string> states;
  std::vector<std::string> starred;  // the state with the columns a run may skip as "*"
  std::vector<std::string> altas;
};
using MainRows = std::map<std::string, TableRows>;
bool operator==(const TableRows& a, const TableRows& b);
// Rows that `got` and `expected` do not hold alike, whatever their rowids:
// "+ table: row" for one only `got` holds, "- table: row" for one only
// `expected` holds, a few per table. Empty when both hold the same rows.
std::string rowDifferences(const MainRows& got, const MainRows& expected);
MainRows readMain(const std::filesystem::path& mainFile);

// An independent account of what a run can write, taken from the update file:
// each source row writes one whole state over the copied columns of one target
// row (its key's first match, or a new row whose Alta takes its default 'N'),
// and never touches Alta. A row written by a run is therefore its earlier
// state or one source row's state, never a mix.
class RunModel {
 public:
  explicit RunModel(const std::filesystem::path& updateFile);

  // Passes in a whole run: the source rows of the three tables.
  std::int64_t passes() const { return static_cast<std::int64_t>(order_.size()); }
  // The first pass of each table in run order (1-based), then one past the last.
  std::vector<std::int64_t> tableStarts() const;

  // Rows of `before` that are missing from `after`, and rows of `after` that
  // are neither as in `before` nor a whole state some source row writes. One
  // line per problem (the first few per table); empty when all is explained.
  std::string unexplainedChanges(const MainRows& before, const MainRows& after) const;

  // After the first `completedPasses` passes of a run have ended, each key
  // those passes wrote holds the state of its last source row among them. One
  // line per key whose state is missing from `after`; empty when none is.
  std::string missingSavedRows(const MainRows& after, std::int64_t completedPasses) const;

 private:
  struct SourceRow {
    std::string state;                   // as written, with "*" where nothing is written
    std::size_t nextSameKey = SIZE_MAX;  // the next row of the table with the same key
    bool usable = true;
  };
  struct Table {
    std::vector<SourceRow> rows;
    std::unordered_set<std::size_t> states;  // hashes of the usable rows' states
  };

  std::map<std::string, Table> tables_;                     // by target table
  std::vector<std::pair<std::string, std::size_t>> order_;  // (target table, source row) per pass
};

// A child process: the run driver started with fork and exec, its output sent
// to a file. It is always reaped: the destructor kills a child still running.
class Child {
 public:
  Child(const std::string& program, const std::vector<std::string>& arguments,
        const std::filesystem::path& output);
  ~Child();

  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // True once the child has ended (and been reaped).
  bool poll();
  // Waits at most `limit` for the child to end on its own; kills it after that.
  // True when it ended on its own.
  bool wait(std::chrono::milliseconds limit);
  // SIGKILL, then reaps it.
  void kill();
  // Sends `number` and leaves the child running.
  void signal(int number);

  // The wait status once the child has ended.
  int status() const { return status_; }
  bool exitedCleanly() const;
  std::string output() const;

 private:
  int pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::filesystem::path output_;
};

}  // namespace kestova::test
