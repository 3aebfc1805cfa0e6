#include "fault_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "data_environment.h"
#include "run_update.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
#include "statement.h"
#include "step_runner.h"
#include "text_rules.h"

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
    if (!text.empty()) text += "\n";
    FieldValue value = statement.column(0);
    text +=
        std::holds_alternative<std::string>(value) ? std::get<std::string>(value) : describe(value);
  }
  return text;
}

// How a copied column is written.
enum class Rule { Plain, SkipBlank, ZeroForNull };

struct ColumnModel {
  const char* target;
  const char* source;
  Rule rule = Rule::Plain;
  enum { NoKey, NumberKey, TextKey } key = NoKey;
};

struct TableModel {
  const char* source;
  const char* target;
  std::vector<ColumnModel> columns;
};

const std::vector<TableModel>& tableModels() {
  static const std::vector<TableModel> models = {
      {"Marcas",
       "RNAMarMod",
       {{"CodMar", "CodMar", Rule::Plain, ColumnModel::NumberKey},
        {"CodMod", "CodMod", Rule::Plain, ColumnModel::NumberKey},
        {"Nombre", "Nombre"},
        {"Tipo", "Tipo"},
        {"SubTipo", "SubTipo"},
        {"Categoria", "Categoria"},
        {"SubCat", "SubCate", Rule::SkipBlank},
        {"Peso", "Peso"}}},
      {"ValVehi1",
       "RNAValVehi1",
       {{"AnioImpuesto", "Anioimp", Rule::Plain, ColumnModel::NumberKey},
        {"Tipo", "Tipo", Rule::Plain, ColumnModel::NumberKey},
        {"SubTipo", "SubTipo"},
        {"Categoria", "Categoria", Rule::Plain, ColumnModel::NumberKey},
        {"SubCat", "SubCate", Rule::ZeroForNull, ColumnModel::TextKey},
        {"ModAnio", "Modanio", Rule::Plain, ColumnModel::NumberKey},
        {"Importe", "Importe"}}},
      {"ValVehi2",
       "RNAValVehi2",
       {{"AnioImpuesto", "Anioimp", Rule::Plain, ColumnModel::NumberKey},
        {"Tipo", "Tipo", Rule::Plain, ColumnModel::NumberKey},
        {"CodMar", "CodMar", Rule::Plain, ColumnModel::NumberKey},
        {"CodMod", "CodMod", Rule::Plain, ColumnModel::NumberKey},
        {"ModAnio", "Modanio", Rule::Plain, ColumnModel::NumberKey},
        {"Importe", "Importe"},
        {"Alicuota", "Alicuota"},
        {"DispTipo", "DispTipo"},
        {"DispNro", "DispNro"},
        {"DispAnio", "DispAnio"}}},
  };
  return models;
}

}  // namespace

RunOutcome runAll(const DataSettings& settings, const RunHooks& hooks) {
  RunOutcome outcome;
  DataEnvironment2 environment(settings);
  StepRunner steps(outcome.report);
  PassCounter progress(hooks);
  runUpdate(environment, progress, steps);
  outcome.passes = progress.passes;
  if (hooks.beforeClose) hooks.beforeClose();
  return outcome;
}

std::string integrityCheck(const fs::path& file) {
  return queryLines(file, "PRAGMA integrity_check");
}

std::string journalMode(const fs::path& file) {
  return queryLines(file, "PRAGMA journal_mode");
}

std::string filesBeside(const fs::path& file) {
  std::string text;
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    if (!fs::exists(file.string() + suffix)) continue;
    text += (text.empty() ? "" : " ") + std::string(suffix);
  }
  return text;
}

bool operator==(const TableRows& a, const TableRows& b) {
  return a.rowids == b.rowids && a.states == b.states && a.altas == b.altas;
}

std::string rowDifferences(const MainRows& got, const MainRows& expected) {
  constexpr std::size_t kShownPerTable = 5;
  std::string text;
  for (const auto& [table, rows] : expected) {
    auto sorted = [](const TableRows& from) {
      std::vector<std::string> lines;
      for (std::size_t i = 0; i < from.states.size(); ++i)
        lines.push_back(from.states[i] + " | " + from.altas[i]);
      std::sort(lines.begin(), lines.end());
      return lines;
    };
    const std::vector<std::string> mine = sorted(got.at(table)), theirs = sorted(rows);
    std::vector<std::string> onlyMine, onlyTheirs;
    std::set_difference(mine.begin(), mine.end(), theirs.begin(), theirs.end(),
                        std::back_inserter(onlyMine));
    std::set_difference(theirs.begin(), theirs.end(), mine.begin(), mine.end(),
                        std::back_inserter(onlyTheirs));
    for (std::size_t i = 0; i < onlyMine.size() && i < kShownPerTable; ++i)
      text += "+ " + table + ": " + onlyMine[i] + "\n";
    for (std::size_t i = 0; i < onlyTheirs.size() && i < kShownPerTable; ++i)
      text += "- " + table + ": " + onlyTheirs[i] + "\n";
  }
  return text;
}

MainRows readMain(const fs::path& mainFile) {
  sample::SqlCipherFile db(mainFile, sample::kPassword);
  MainRows main;
  for (const TableModel& model : tableModels()) {
    std::string sql = "SELECT rowid";
    for (const ColumnModel& column : model.columns) sql += ", " + std::string(column.target);
    sql += ", Alta FROM " + std::string(model.target) + " ORDER BY rowid";
    Statement select(db.handle(), sql, model.target);
    TableRows& table = main[model.target];
    const int columns = static_cast<int>(model.columns.size());
    while (select.step()) {
      table.rowids.push_back(select.columnInt64(0));
      std::string state, starred;
      for (int i = 0; i < columns; ++i) {
        const std::string value = describe(select.column(i + 1));
        const std::string separator = i > 0 ? " | " : "";
        state += separator + value;
        starred += separator + (model.columns[i].rule == Rule::SkipBlank ? "*" : value);
      }
      table.states.push_back(std::move(state));
      table.starred.push_back(std::move(starred));
      table.altas.push_back(describe(select.column(columns + 1)));
    }
  }
  return main;
}

RunModel::RunModel(const fs::path& updateFile) {
  sample::SqlCipherFile db(updateFile, sample::kPassword);
  const std::hash<std::string> hash;
  for (const TableModel& model : tableModels()) {
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < model.columns.size(); ++i)
      sql += (i > 0 ? ", " : "") + std::string(model.columns[i].source);
    sql += " FROM " + std::string(model.source) + " ORDER BY rowid";
    Statement select(db.handle(), sql, model.source);
    Table& table = tables_[model.target];
    std::unordered_map<std::string, std::size_t> lastWithKey;
    while (select.step()) {
      SourceRow row;
      std::string key;
      for (std::size_t i = 0; i < model.columns.size(); ++i) {
        const ColumnModel& column = model.columns[i];
        FieldValue value = select.column(static_cast<int>(i));
        auto* text = std::get_if<std::string>(&value);
        if (column.key == ColumnModel::NumberKey) {
          // A Null or blank number cannot form a filter: the row writes nothing.
          if (isNull(value) || (text != nullptr && trimSpaces(*text).empty())) row.usable = false;
          key += describe(value) + "|";
        } else if (column.key == ColumnModel::TextKey) {
          key += (isNull(value)     ? "0"
                  : text != nullptr ? comparableText(*text)
                                    : describe(value)) +
                 "|";
        }
        std::string written;
        if (column.rule == Rule::SkipBlank && (isNull(value) || (text != nullptr && text->empty())))
          written = "*";
        else if (column.rule == Rule::ZeroForNull && isNull(value))
          written = describe(FieldValue(std::string("0")));
        else
          written = describe(value);
        row.state += (i > 0 ? " | " : "") + written;
      }
      const std::size_t index = table.rows.size();
      if (row.usable) {
        table.states.insert(hash(row.state));
        auto [earlier, first] = lastWithKey.try_emplace(key, index);
        if (!first) {
          table.rows[earlier->second].nextSameKey = index;
          earlier->second = index;
        }
      }
      order_.emplace_back(model.target, index);
      table.rows.push_back(std::move(row));
    }
  }
}

std::vector<std::int64_t> RunModel::tableStarts() const {
  std::vector<std::int64_t> starts;
  std::int64_t next = 1;
  for (const TableModel& model : tableModels()) {
    starts.push_back(next);
    next += static_cast<std::int64_t>(tables_.at(model.target).rows.size());
  }
  starts.push_back(next);
  return starts;
}

std::string RunModel::unexplainedChanges(const MainRows& before, const MainRows& after) const {
  constexpr int kShownPerTable = 5;
  const std::string defaultAlta = describe(FieldValue(std::string("N")));
  const std::hash<std::string> hash;
  std::string problems;
  for (const TableModel& model : tableModels()) {
    const TableRows& was = before.at(model.target);
    const TableRows& is = after.at(model.target);
    const Table& table = tables_.at(model.target);
    int shown = 0;
    auto problem = [&](const TableRows& rows, std::size_t i, const std::string& what) {
      if (shown++ < kShownPerTable)
        problems += std::string(model.target) + " rowid " + std::to_string(rows.rowids[i]) + " " +
                    what + ": " + rows.states[i] + " | " + rows.altas[i] + "\n";
    };
    auto written = [&](std::size_t i) {
      return table.states.count(hash(is.states[i])) > 0 ||
             table.states.count(hash(is.starred[i])) > 0;
    };
    std::size_t j = 0;
    for (std::size_t i = 0; i < is.rowids.size(); ++i) {
      for (; j < was.rowids.size() && was.rowids[j] < is.rowids[i]; ++j) problem(was, j, "lost");
      if (j < was.rowids.size() && was.rowids[j] == is.rowids[i]) {
        const bool same = is.states[i] == was.states[j];
        if (is.altas[i] != was.altas[j]) problem(is, i, "has another Alta");
        ++j;
        if (!same && !written(i)) problem(is, i, "is half written");
      } else {
        if (is.altas[i] != defaultAlta) problem(is, i, "is new with another Alta");
        if (!written(i)) problem(is, i, "is new and half written");
      }
    }
    for (; j < was.rowids.size(); ++j) problem(was, j, "lost");
  }
  return problems;
}

std::string RunModel::missingSavedRows(const MainRows& after, std::int64_t completedPasses) const {
  constexpr int kShown = 10;
  const std::hash<std::string> hash;
  std::map<std::string, std::size_t> done;  // table -> source rows whose pass has ended
  for (std::int64_t pass = 0; pass < completedPasses && pass < passes(); ++pass)
    done[order_[static_cast<std::size_t>(pass)].first] =
        order_[static_cast<std::size_t>(pass)].second + 1;
  std::string problems;
  int shown = 0;
  for (const auto& [target, count] : done) {
    const Table& table = tables_.at(target);
    const TableRows& rows = after.at(target);
    std::unordered_set<std::size_t> present;
    for (std::size_t i = 0; i < rows.states.size(); ++i) {
      present.insert(hash(rows.states[i]));
      present.insert(hash(rows.starred[i]));
    }
    for (std::size_t i = 0; i < count; ++i) {
      const SourceRow& row = table.rows[i];
      // Only the last row of a key among those done decides its state.
      if (!row.usable || (row.nextSameKey != SIZE_MAX && row.nextSameKey < count)) continue;
      if (present.count(hash(row.state)) > 0 || shown++ >= kShown) continue;
      problems +=
          target + " lacks the saved row " + std::to_string(i + 1) + ": " + row.state + "\n";
    }
  }
  return problems;
}

Child::Child(const std::string& program, const std::vector<std::string>& arguments,
             const fs::path& output)
    : output_(output) {
  // Everything the child needs is made before fork: after it, only calls that
  // are safe in a child of a threaded process.
  std::vector<std::string> owned = {program};
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const std::string outputPath = output.string();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int fd = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::dup2(fd, STDERR_FILENO);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
}

Child::~Child() {
  if (!reaped_) kill();
}

bool Child::poll() {
  if (reaped_) return true;
  int status = 0;
  pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    reaped_ = true;
    status_ = status;
  }
  return reaped_;
}

bool Child::wait(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!poll()) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void Child::kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = status;
}

void Child::signal(int number) {
  if (!reaped_) ::kill(pid_, number);
}

bool Child::exitedCleanly() const {
  return reaped_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

std::string Child::output() const {
  std::ifstream in(output_);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace kestova::test
