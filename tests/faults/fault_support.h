#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "data/connection.h"
#include "sync/run_report.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"

namespace kestova::test {

// What a whole run did: its report and how many passes it began.
struct RunOutcome {
  RunReport report;
  std::int64_t passes = 0;
};

// Told how far a run has come.
struct RunHooks {
  std::function<void(std::int64_t)> onPass = {};  // the number of each pass as it begins
  std::function<void()> afterTables = {};  // after the last pass, before the main file settles
  std::function<void()> beforeClose = {};  // after it settles, before the files close
};

// The sample update and main files in `folder`, the main file in `journalMode`.
void createFiles(const TestFolder& folder, const sample::Options& options,
                 const std::string& journalMode = "delete");

// One whole run through runUpdate, as the window's run makes it. The data
// environment, and so both connections, is closed before it returns.
RunOutcome runAll(const DataSettings& settings, const RunHooks& hooks = {});

// The text of PRAGMA integrity_check, lines joined by '\n': "ok" for a whole file.
std::string integrityCheck(const std::filesystem::path& file);
// The file's journal mode and the files SQLite keeps beside it: "delete []",
// "wal [-wal -shm]".
std::string fileState(const std::filesystem::path& file);
// The rows of the three main tables as dumpMain() gives them, sorted within
// each table: equal for files that hold the same rows in any order.
std::string sortedRows(const std::filesystem::path& mainFile);

// The rows of each main table in rowid order. A row's state is its copied
// columns, in the order of the run's field copies, each as describe() gives
// it; `starred` is the state with the columns a run may leave alone as "*".
// Alta, which a run never writes, is kept apart.
struct MainRow {
  std::int64_t rowid;
  std::string state, starred, alta;
};
using MainRows = std::map<std::string, std::vector<MainRow>>;
MainRows readMain(const std::filesystem::path& mainFile);

// An independent account of what a run can write, taken from the update file:
// each source row writes one whole state over the copied columns of one target
// row, and never touches Alta (a new row's is its default 'N'). A row written
// by a run is therefore its earlier state or one source row's state, never a
// mix, however the run ended.
class RunModel {
 public:
  explicit RunModel(const std::filesystem::path& updateFile);

  // Rows of `before` missing from `after`, and rows of `after` that are
  // neither as in `before` nor a whole state some source row writes. One line
  // per problem (the first few per table); empty when all is explained.
  std::string unexplainedChanges(const MainRows& before, const MainRows& after) const;

 private:
  std::map<std::string, std::set<std::string>> states_;  // by main table
};

}  // namespace kestova::test
