// share_bench: Kestova's run while another program saves to the main file, as
// Nevaro does while a person works, against the same run alone, on the
// reference schema and with key indexes on the main tables.
//
// The other program is a stand-in, a process of its own (this program started
// again with --stand-in): every 50 ms it runs BEGIN IMMEDIATE, then either
// updates Importe of the first RNAValVehi2 row holding a key or, when no row
// holds it, inserts the key, then COMMIT, with SQLite's own busy handler and a
// 10 s busy time-out. Half its keys are the update's (spread over the table),
// half are keys no file holds. For each save it notes when it asked for the
// lock, when it got it, when it had committed, and whether it failed.
//
// Printed per schema, medians over the repetitions: the stand-in's failed
// saves, the median, 95th percentile and slowest of its waits for the lock
// (saves begun during the run), Kestova's time with the stand-in less the time
// the stand-in held the lock during the run, and Kestova's time alone. Each
// run with the stand-in is checked: every row saved, no key of RNAValVehi2 on
// more rows than after the run alone, and the last value the stand-in saved
// under each key no file holds still there.
//
//   share_bench [--scale F] [--repeat N]   F: sample size factor (0.2), N: repetitions (3)

#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "bench/bench_support.h"
#include "data/data_environment.h"
#include "data/statement.h"
#include "sync/run_report.h"
#include "sync/run_update.h"
#include "sync/step_runner.h"
#include "sync/table_definition.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

extern char** environ;

namespace kestova::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kKeys[] = "AnioImpuesto, Tipo, CodMar, CodMod, ModAnio";
constexpr char kIndexes[] =
    "CREATE INDEX MarModKey ON RNAMarMod(CodMar, CodMod);"
    "CREATE INDEX ValVehi1Key ON RNAValVehi1(AnioImpuesto, Tipo, SubTipo, Categoria, SubCat, "
    "ModAnio);"
    "CREATE INDEX ValVehi2Key ON RNAValVehi2(AnioImpuesto, Tipo, CodMar, CodMod, ModAnio);";
constexpr char kUsage[] =
    "usage: share_bench [--scale F] [--repeat N]\n"
    "  F: sample size factor, 0 < F <= 20 (0.2); N: repetitions, 1..100 (3)\n";
constexpr std::int64_t kOwnKeys = 50;  // keys no file holds: AnioImpuesto 1800 + i

double nanoseconds(Clock::time_point time) {
  return static_cast<double>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

std::atomic<bool> stopStandIn{false};

// The stand-in's keys: keys no file holds (AnioImpuesto 1800 + i) alternating
// with the update's, spread over its ValVehi2.
std::vector<std::vector<FieldValue>> standInKeys(const fs::path& update) {
  std::vector<std::vector<FieldValue>> keys;
  sample::SqlCipherFile source(update, sample::kPassword);
  Statement select(source.handle(),
                   "SELECT Anioimp, Tipo, CodMar, CodMod, Modanio FROM ValVehi2 WHERE typeof("
                   "Anioimp + Tipo + CodMar + CodMod + Modanio) = 'integer' AND rowid % (SELECT "
                   "max(1, count(*) / 50) FROM ValVehi2) = 0 LIMIT 50",
                   "ValVehi2");
  for (std::int64_t i = 0; i < kOwnKeys; ++i) {
    keys.push_back({std::int64_t{1800} + i, std::int64_t{1}, std::int64_t{1}, std::int64_t{1},
                    std::int64_t{2000}});
    if (select.step()) {
      keys.emplace_back();
      for (int c = 0; c < 5; ++c) keys.back().push_back(select.column(c));
    }
  }
  return keys;
}

// One save every 50 ms until SIGTERM; then one line per save to `result`:
// asked, granted and committed (ns), failed (0/1), key number, value. A file
// beside it tells that the first save is done.
int standIn(const fs::path& main, const fs::path& update, const fs::path& result) {
  std::signal(SIGTERM, [](int) { stopStandIn = true; });
  const std::vector<std::vector<FieldValue>> keys = standInKeys(update);
  sample::SqlCipherFile file(main, sample::kPassword);
  sqlite3_busy_timeout(file.handle(), 10'000);
  const std::string where =
      " WHERE AnioImpuesto = ?1 AND Tipo = ?2 AND CodMar = ?3 AND CodMod = "
      "?4 AND ModAnio = ?5";
  Statement begin(file.handle(), "BEGIN IMMEDIATE", "stand-in"),
      commit(file.handle(), "COMMIT", "stand-in"),
      change(file.handle(),
             "UPDATE RNAValVehi2 SET Importe = ?6 WHERE rowid = (SELECT rowid FROM RNAValVehi2" +
                 where + " ORDER BY rowid LIMIT 1)",
             "stand-in"),
      add(file.handle(),
          std::string("INSERT INTO RNAValVehi2 (") + kKeys +
              ", Importe) VALUES (?1, ?2, ?3, ?4, "
              "?5, ?6)",
          "stand-in");
  std::ostringstream lines;
  auto next = Clock::now();
  for (std::int64_t save = 0; !stopStandIn; ++save) {
    std::this_thread::sleep_until(next);
    const std::size_t key = static_cast<std::size_t>(save) % keys.size();
    const double value = -1.0 - static_cast<double>(save);
    const Clock::time_point asked = Clock::now();
    Clock::time_point granted = asked;
    bool failed = false;
    try {
      begin.execute();
      granted = Clock::now();
      for (Statement* statement : {&change, &add}) {
        for (int c = 0; c < 5; ++c) statement->bind(c + 1, keys[key][c]);
        statement->bind(6, value);
      }
      if (change.execute() == 0) add.execute();
      commit.execute();
    } catch (const DatabaseError&) {
      failed = true;
      sqlite3_exec(file.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    // The ticks missed while it saved are skipped, as a timer's would be.
    while (next <= Clock::now()) next += std::chrono::milliseconds(50);
    if (save == 0) writeText(result.string() + ".ready", "");
    lines << std::fixed << nanoseconds(asked) << ' ' << nanoseconds(granted) << ' '
          << nanoseconds(Clock::now()) << ' ' << failed << ' ' << key << ' ' << value << '\n';
  }
  writeText(result, lines.str());
  return 0;
}

struct Save {
  double asked, granted, committed;
  bool failed;
  std::size_t key;
  double value;
};

std::vector<Save> readSaves(const fs::path& file) {
  std::istringstream lines(readText(file));
  std::vector<Save> saves;
  Save save{};
  while (lines >> save.asked >> save.granted >> save.committed >> save.failed >> save.key >>
         save.value)
    saves.push_back(save);
  return saves;
}

std::int64_t queryNumber(const fs::path& file, const std::string& sql) {
  sample::SqlCipherFile db(file, sample::kPassword);
  Statement statement(db.handle(), sql, file.string());
  return statement.step() ? statement.columnInt64(0) : 0;
}

std::int64_t keysOnSeveralRows(const fs::path& file) {
  return queryNumber(
      file, std::string("SELECT count(*) FROM (SELECT 1 FROM RNAValVehi2 GROUP BY ") + kKeys +
                " HAVING count(*) > 1)");
}

// One run through runUpdate, timed to the closed file. Rows not saved are
// failures; the stand-in still holding the file at the end may keep it from
// returning to its journal mode, which is not counted here.
double runKestova(const Layout& layout, const char* label, std::vector<std::string>& failures) {
  struct Passes : Progress {
    void advance() override {}
  } progress;
  RunReport report;
  const Stopwatch clock;
  {
    DataEnvironment2 environment(layout.settings());
    StepRunner steps(report);
    runUpdate(environment, progress, steps);
  }
  const double seconds = clock.seconds();
  for (const TableDefinition* table : runTables())
    if (report.tally(table->title).notSaved != 0) {
      failures.push_back(layout.start + label + ": rows not saved: " + report.details());
      break;
    }
  return seconds;
}

struct Figures {
  std::vector<double> failed, median, p95, slowest, shared, alone;
};

void measure(const Layout& layout, const std::string& program, Figures& figures,
             std::vector<std::string>& failures) {
  layout.freshMain();
  figures.alone.push_back(runKestova(layout, " alone", failures));
  const std::int64_t severalAlone = keysOnSeveralRows(layout.mainPath());

  layout.freshMain();
  const fs::path result = layout.root / "stand-in", ready = result.string() + ".ready";
  fs::remove(ready);
  std::vector<std::string> args = {program, "--stand-in", layout.mainPath().string(),
                                   layout.updatePath().string(), result.string()};
  std::vector<char*> argv = argvOf(args);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start the stand-in");
  while (!fs::exists(ready) && waitpid(pid, nullptr, WNOHANG) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const double start = nanoseconds(Clock::now());
  runKestova(layout, " with the stand-in", failures);
  const double end = nanoseconds(Clock::now());
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (status != 0) throw std::runtime_error("the stand-in failed");

  std::vector<double> waits;
  double failed = 0, held = 0;
  std::map<std::size_t, double> last;  // key no file holds -> the value saved last
  for (const Save& save : readSaves(result)) {
    if (!save.failed && save.key % 2 == 0) last[save.key] = save.value;
    if (save.asked < start || save.asked > end) continue;
    failed += save.failed;
    waits.push_back((save.failed ? save.committed : save.granted) - save.asked);
    if (!save.failed)
      held += std::max(0.0, std::min(end, save.committed) - std::max(start, save.granted));
  }
  if (waits.empty()) throw std::runtime_error("the stand-in saved nothing during the run");
  std::sort(waits.begin(), waits.end());
  figures.failed.push_back(failed);
  figures.median.push_back(median(waits) / 1e6);
  figures.p95.push_back(waits[waits.size() * 95 / 100] / 1e6);
  figures.slowest.push_back(waits.back() / 1e6);
  figures.shared.push_back((end - start - held) / 1e9);

  if (keysOnSeveralRows(layout.mainPath()) != severalAlone)
    failures.push_back("a key of RNAValVehi2 is on more rows than after the run alone");
  for (const auto& [key, value] : last) {
    const std::int64_t anio = 1800 + static_cast<std::int64_t>(key / 2);
    if (queryNumber(layout.mainPath(), "SELECT count(*) FROM RNAValVehi2 WHERE AnioImpuesto = " +
                                           std::to_string(anio) +
                                           " AND Importe = " + std::to_string(value)) != 1)
      failures.push_back("the stand-in's last save under AnioImpuesto " + std::to_string(anio) +
                         " is lost or doubled");
  }
}

int parentMain(int argc, char** argv) {
  const auto [scale, repeat] = parseArguments(argc, argv, {0.2, 3}, kUsage);
  ScratchFolder scratch("kestova-share-bench");
  const Layout reference{scratch.path()};
  const Layout indexed{scratch.path(), Layout::kPlainUpdate, "indexed"};
  reference.createFolders();
  fs::create_directories(indexed.startMainPath().parent_path());
  const sample::Options options{sample::Sizes::scaled(scale), 1};
  sample::createUpdateDatabase(reference.updatePath(), options);
  sample::createMainDatabase(reference.startMainPath(), options);
  fs::copy_file(reference.startMainPath(), indexed.startMainPath());
  sample::SqlCipherFile(indexed.startMainPath(), sample::kPassword).exec(kIndexes);
  std::cout << "share_bench: scale " << scale << " ("
            << options.sizes.marcas + options.sizes.valVehi1 + options.sizes.valVehi2
            << " update rows), " << repeat << " repetitions\n";

  std::vector<std::string> failures;
  std::map<std::string, Figures> figures;
  for (int rep = 0; rep < repeat; ++rep)
    for (const Layout* layout : {&reference, &indexed})
      measure(*layout, argv[0], figures[layout->start], failures);

  std::cout << "schema        failed  median ms  p95 ms  slowest ms  shared s  alone s  ratio\n";
  for (const auto& [schema, f] : figures) {
    std::printf("%-12s %7.0f %10.1f %7.1f %11.1f %9.2f %8.2f %6.2f\n",
                schema == Layout::kGeneratedMain ? "reference" : "key indexes", median(f.failed),
                median(f.median), median(f.p95), median(f.slowest), median(f.shared),
                median(f.alone), medianRatio(f.shared, f.alone));
  }
  for (const std::string& failure : failures) std::cout << "FAIL: " << failure << '\n';
  return failures.empty() ? 0 : 1;
}

}  // namespace
}  // namespace kestova::bench

int main(int argc, char** argv) {
  try {
    if (argc == 5 && std::string_view(argv[1]) == "--stand-in")
      return kestova::bench::standIn(argv[2], argv[3], argv[4]);
    return kestova::bench::parentMain(argc, argv);
  } catch (const std::invalid_argument& error) {
    std::cerr << "share_bench: " << error.what() << '\n' << kestova::bench::kUsage;
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "share_bench: " << error.what() << '\n';
    return 1;
  }
}
