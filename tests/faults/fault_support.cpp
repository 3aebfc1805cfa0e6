#include "fault_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <thread>

#include "data_environment.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
#include "statement.h"
#include "step_runner.h"
#include "table_sync.h"

namespace kestova::test {

namespace fs = std::filesystem;

namespace {

class PassCounter : public Progress {
 public:
  explicit PassCounter(const std::function<void(std::int64_t)>& onPass) : onPass_(onPass) {}
  void advance() override {
    ++passes;
    if (onPass_) onPass_(passes);
  }
  std::int64_t passes = 0;

 private:
  const std::function<void(std::int64_t)>& onPass_;
};

std::string queryLines(const fs::path& file, const std::string& sql) {
  sample::SqlCipherFile db(file, sample::kPassword);
  Statement statement(db.handle(), sql, file.string());
  std::string text;
  while (statement.step()) {
    if (!text.empty()) text += "\n";
    FieldValue value = statement.column(0);
    text += std::holds_alternative<std::string>(value) ? std::get<std::string>(value)
                                                       : describe(value);
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

const TableModel& modelOf(const std::string& target) {
  for (const TableModel& model : tableModels())
    if (model.target == target) return model;
  throw std::logic_error("no model for " + target);
}

std::string folded(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  std::string trimmed =
      begin == std::string::npos ? "" : text.substr(begin, text.find_last_not_of(' ') - begin + 1);
  for (char& c : trimmed) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return trimmed;
}

std::string joined(const std::vector<std::string>& values, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += (i > 0 ? " | " : "") + values[i];
  return text;
}

// The state of a target row's copied columns, with the columns a run may leave
// unwritten shown as "*".
std::string starred(const TableModel& model, const std::vector<std::string>& row) {
  std::vector<std::string> values(row.begin(), row.begin() + model.columns.size());
  for (std::size_t i = 0; i < model.columns.size(); ++i)
    if (model.columns[i].rule == Rule::SkipBlank) values[i] = "*";
  return joined(values, values.size());
}

}  // namespace

RunOutcome runAll(const DataSettings& settings, const std::function<void(std::int64_t)>& onPass) {
  RunOutcome outcome;
  DataEnvironment2 environment(settings);
  StepRunner steps(outcome.report);
  for (const char* name : {"rsC_Marmod_Nevaro", "rsC_MarMod_Actualizacion", "rsC_ValVehi1_Nevaro",
                           "rsC_ValVehi1_Actualizacion", "rsC_ValVehi2_Nevaro",
                           "rsC_ValVehi2_Actualizacion"})
    steps.run(name, [&] { environment.openRecordset(name); });
  PassCounter progress(onPass);
  for (const TableDefinition* table : {&marcasYModelos(), &valuaciones1(), &valuaciones2()})
    syncTable(*table, environment, progress, steps);
  outcome.passes = progress.passes;
  return outcome;
}

std::string integrityCheck(const fs::path& file) {
  return queryLines(file, "PRAGMA integrity_check");
}

std::string journalMode(const fs::path& file) { return queryLines(file, "PRAGMA journal_mode"); }

std::string filesBeside(const fs::path& file) {
  std::string text;
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    if (!fs::exists(file.string() + suffix)) continue;
    text += (text.empty() ? "" : " ") + std::string(suffix);
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
    while (select.step()) {
      table.rowids.push_back(select.columnInt64(0));
      std::vector<std::string> row;
      for (int i = 1; i < select.columnCount(); ++i) row.push_back(describe(select.column(i)));
      table.rows.push_back(std::move(row));
    }
  }
  return main;
}

RunModel::RunModel(const fs::path& updateFile) {
  sample::SqlCipherFile db(updateFile, sample::kPassword);
  for (const TableModel& model : tableModels()) {
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < model.columns.size(); ++i)
      sql += (i > 0 ? ", " : "") + std::string(model.columns[i].source);
    sql += " FROM " + std::string(model.source) + " ORDER BY rowid";
    Statement select(db.handle(), sql, model.source);
    Table& table = tables_[model.target];
    while (select.step()) {
      SourceRow row;
      std::vector<std::string> state;
      for (std::size_t i = 0; i < model.columns.size(); ++i) {
        const ColumnModel& column = model.columns[i];
        FieldValue value = select.column(static_cast<int>(i));
        auto* text = std::get_if<std::string>(&value);
        if (column.key == ColumnModel::NumberKey) {
          // A Null or blank number cannot form a filter: the row writes nothing.
          if (isNull(value) || (text != nullptr && folded(*text).empty())) row.usable = false;
          row.key += describe(value) + "|";
        } else if (column.key == ColumnModel::TextKey) {
          row.key += (isNull(value) ? "0" : text != nullptr ? folded(*text) : describe(value)) + "|";
        }
        if (column.rule == Rule::SkipBlank && (isNull(value) || (text != nullptr && text->empty())))
          state.push_back("*");
        else if (column.rule == Rule::ZeroForNull && isNull(value))
          state.push_back(describe(FieldValue(std::string("0"))));
        else
          state.push_back(describe(value));
      }
      row.state = joined(state, state.size());
      if (row.usable) table.states.insert(row.state);
      order_.emplace_back(model.target, table.rows.size());
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
  std::string problems;
  for (const TableModel& model : tableModels()) {
    const TableRows& was = before.at(model.target);
    const TableRows& is = after.at(model.target);
    const Table& table = tables_.at(model.target);
    const std::size_t alta = model.columns.size();
    int shown = 0;
    auto problem = [&](std::int64_t rowid, const std::string& what,
                       const std::vector<std::string>& row) {
      if (shown++ < kShownPerTable)
        problems += std::string(model.target) + " rowid " + std::to_string(rowid) + " " + what +
                    ": " + joined(row, row.size()) + "\n";
    };
    auto written = [&](const std::vector<std::string>& row) {
      return table.states.count(joined(row, alta)) > 0 ||
             table.states.count(starred(model, row)) > 0;
    };
    std::size_t j = 0;
    for (std::size_t i = 0; i < is.rowids.size(); ++i) {
      while (j < was.rowids.size() && was.rowids[j] < is.rowids[i]) {
        problem(was.rowids[j], "lost", was.rows[j]);
        ++j;
      }
      const std::vector<std::string>& row = is.rows[i];
      if (j < was.rowids.size() && was.rowids[j] == is.rowids[i]) {
        const std::vector<std::string>& old = was.rows[j++];
        if (row == old) continue;
        if (row[alta] != old[alta]) problem(is.rowids[i], "has another Alta", row);
        if (!written(row)) problem(is.rowids[i], "is half written", row);
      } else {
        if (row[alta] != defaultAlta) problem(is.rowids[i], "is new with another Alta", row);
        if (!written(row)) problem(is.rowids[i], "is new and half written", row);
      }
    }
    for (; j < was.rowids.size(); ++j) problem(was.rowids[j], "lost", was.rows[j]);
  }
  return problems;
}

std::string RunModel::missingSavedRows(const MainRows& after, std::int64_t completedPasses) const {
  constexpr int kShown = 10;
  std::map<std::string, std::map<std::string, std::string>> expected;  // table -> key -> state
  for (std::int64_t pass = 0; pass < completedPasses && pass < passes(); ++pass) {
    const auto& [target, index] = order_[static_cast<std::size_t>(pass)];
    const SourceRow& row = tables_.at(target).rows[index];
    if (row.usable) expected[target][row.key] = row.state;
  }
  std::string problems;
  int shown = 0;
  for (const auto& [target, states] : expected) {
    const TableModel& model = modelOf(target);
    std::unordered_set<std::string> present;
    for (const std::vector<std::string>& row : after.at(target).rows) {
      present.insert(joined(row, model.columns.size()));
      present.insert(starred(model, row));
    }
    for (const auto& [key, state] : states) {
      if (present.count(state) > 0 || shown++ >= kShown) continue;
      problems += target + " lacks the saved row " + state + "\n";
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
