#include "tests/faults/fault_support.h"

#include <algorithm>
#include <sstream>

#include "data/data_environment.h"
#include "data/statement.h"
#include "sync/run_update.h"
#include "sync/step_runner.h"
#include "sync/table_definition.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

extern char** environ;

namespace kestova::test {

namespace fs = std::filesystem;

namespace {

class PassCounter : public Progress {
 public:
  explicit PassCounter(const RunHooks& hooks) : hooks_(hooks) {}
  void advance() override {
    ++passes;
    if (hooks_.onPass) hooks_.onPass(passes);
  }
  void tablesEnd() override {
    if (hooks_.afterTables) hooks_.afterTables();
  }
  std::int64_t passes = 0;

 private:
  const RunHooks& hooks_;
};

std::string queryLines(const fs::path& file, const std::string& sql) {
  sample::SqlCipherFile db(file, sample::kPassword);
  Statement statement(db.handle(), sql, file.string());
  std::string text;
  while (statement.step()) {
    const FieldValue value = statement.column(0);
    text += (text.empty() ? "" : "\n") + (std::holds_alternative<std::string>(value)
                                              ? std::get<std::string>(value)
                                              : describe(value));
  }
  return text;
}

// A table of the run as the program describes it: its field copies, its
// update table and its main table.
struct Table {
  const TableDefinition* definition;
  std::string update, main;
};

const std::vector<Table>& tables() {
  static const std::vector<Table> all = [] {
    DataEnvironment2 description;  // only its fixed description is read: nothing is opened
    std::vector<Table> tables;
    for (const TableDefinition* table : runTables())
      tables.push_back({table, description.commandOf(table->source).table,
                        description.commandOf(table->target).table});
    return tables;
  }();
  return all;
}

std::string joined(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : " | ") + value;
  return text;
}

}  // namespace

void createFiles(const TestFolder& folder, const sample::Options& options,
                 const std::string& journalMode) {
  sample::createUpdateDatabase(folder.updatePath(), options);
  sample::createMainDatabase(folder.mainPath(), options);
  sample::SqlCipherFile(folder.mainPath(), sample::kPassword)
      .exec("PRAGMA journal_mode = " + journalMode);
}

RunOutcome runAll(const DataSettings& settings, const RunHooks& hooks) {
  RunOutcome outcome;
  DataEnvironment2 environment(settings);
  StepRunner steps(outcome.report);
  PassCounter progress(hooks);
  outcome.files = runUpdate(environment, progress, steps);
  outcome.passes = progress.passes;
  if (hooks.beforeClose) hooks.beforeClose();
  return outcome;
}

std::string integrityCheck(const fs::path& file) {
  return queryLines(file, "PRAGMA integrity_check");
}

std::string fileState(const fs::path& file) {
  std::string beside;  // looked at first: opening the file may add to them
  for (const char* suffix : {"-journal", "-wal", "-shm"})
    if (fs::exists(file.string() + suffix))
      beside += (beside.empty() ? "" : " ") + std::string(suffix);
  return queryLines(file, "PRAGMA journal_mode") + " [" + beside + "]";
}

std::string sortedRows(const fs::path& mainFile) {
  std::string text;
  for (const Table& table : tables()) {
    std::istringstream dumped(dump(mainFile, table.main));
    std::vector<std::string> rows;
    for (std::string row; std::getline(dumped, row);) rows.push_back(row + "\n");
    std::sort(rows.begin(), rows.end());
    text += table.main + ":\n";
    for (const std::string& row : rows) text += row;
  }
  return text;
}

MainRows readMain(const fs::path& mainFile) {
  sample::SqlCipherFile db(mainFile, sample::kPassword);
  MainRows main;
  for (const Table& table : tables()) {
    const std::vector<FieldCopy>& copies = table.definition->copies;
    std::string sql = "SELECT rowid";
    for (const FieldCopy& copy : copies) sql += ", " + copy.targetField;
    Statement select(db.handle(), sql + ", Alta FROM " + table.main + " ORDER BY rowid",
                     table.main);
    while (select.step()) {
      std::vector<std::string> state, starred;
      for (std::size_t i = 0; i < copies.size(); ++i) {
        state.push_back(describe(select.column(static_cast<int>(i + 1))));
        starred.push_back(copies[i].guard == FieldCopy::Guard::SkipNullOrEmpty ? "*"
                                                                               : state.back());
      }
      main[table.main].push_back({select.columnInt64(0), joined(state), joined(starred),
                                  describe(select.column(static_cast<int>(copies.size() + 1)))});
    }
  }
  return main;
}

RunModel::RunModel(const fs::path& updateFile) {
  sample::SqlCipherFile db(updateFile, sample::kPassword);
  for (const Table& table : tables()) {
    const std::vector<FieldCopy>& copies = table.definition->copies;
    std::string sql;
    for (const FieldCopy& copy : copies) sql += (sql.empty() ? "SELECT " : ", ") + copy.sourceField;
    Statement select(db.handle(), sql + " FROM " + table.update, table.update);
    while (select.step()) {
      std::vector<std::string> state;
      for (std::size_t i = 0; i < copies.size(); ++i) {
        const FieldValue value = select.column(static_cast<int>(i));
        const auto* text = std::get_if<std::string>(&value);
        const bool blank = isNull(value) || (text != nullptr && text->empty());
        if (copies[i].guard == FieldCopy::Guard::SkipNullOrEmpty && blank)
          state.push_back("*");
        else if (copies[i].guard == FieldCopy::Guard::ZeroWhenNull && isNull(value))
          state.push_back(describe(FieldValue(std::string("0"))));  // as the text column keeps it
        else
          state.push_back(describe(value));
      }
      states_[table.main].insert(joined(state));
    }
  }
}

std::string RunModel::unexplainedChanges(const MainRows& before, const MainRows& after) const {
  constexpr int kShownPerTable = 5;
  std::string problems;
  for (const auto& [name, states] : states_) {
    const std::vector<MainRow>& was = before.at(name);
    const std::vector<MainRow>& is = after.at(name);
    int shown = 0;
    auto problem = [&](const MainRow& row, const char* what) {
      if (shown++ < kShownPerTable)
        problems += name + " rowid " + std::to_string(row.rowid) + " " + what + ": " + row.state +
                    " | " + row.alta + "\n";
    };
    auto written = [&](const MainRow& row) {
      return states.count(row.state) > 0 || states.count(row.starred) > 0;
    };
    std::size_t j = 0;
    for (const MainRow& row : is) {
      for (; j < was.size() && was[j].rowid < row.rowid; ++j) problem(was[j], "lost");
      if (j < was.size() && was[j].rowid == row.rowid) {
        if (row.alta != was[j].alta) problem(row, "has another Alta");
        if (row.state != was[j++].state && !written(row)) problem(row, "is half written");
      } else {
        if (row.alta != describe(FieldValue(std::string("N"))))
          problem(row, "is new with another Alta");
        if (!written(row)) problem(row, "is new and half written");
      }
    }
    for (; j < was.size(); ++j) problem(was[j], "lost");
  }
  return problems;
}

}  // namespace kestova::test
