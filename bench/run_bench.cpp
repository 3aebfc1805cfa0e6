// run_bench: how long a whole Kestova run takes and how much memory it needs,
// against two baselines measured in the same invocation on the same data, and
// how long the runs take that follow it:
//   run              the real window on the X display (xcb), clicked from
//                    "Comenzar" to "Salir";
//   run (offscreen)  the same on Qt's offscreen platform: what the display costs;
//   floor            the same inserts and updates over connections with the same
//                    settings, one autocommit statement per row, targets known;
//   set-based        the same end result from one SQL script in one transaction;
//   again            the same update, real window, on the main file a run left:
//                    every row already current;
//   typical          an update in which one row in ten differs, real window, on
//                    the main file a run left.
// Each measure runs in a child process of its own (this program started again
// with an internal mode), so that its peak RSS is its own, and starts from a
// fresh copy of its main file. Measures that must end with the same content
// are checked to do so. Without DISPLAY, an Xvfb of its own gives the display.
//
//   run_bench [--scale F] [--repeat N]     F: sample size factor (1), N: repetitions (3)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QWindow>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/frm_ppal.h"
#include "app/qt/warning_box.h"
#include "app/run_control.h"
#include "bench/bench_support.h"
#include "bench/floor_loop.h"
#include "bench/set_based.h"
#include "bench/x_display.h"
#include "data/data_environment.h"
#include "sync/run_report.h"
#include "sync/table_definition.h"
#include "tools/sample/sample_data.h"

namespace kestova::bench {

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "usage: run_bench [--scale F] [--repeat N]\n"
    "  --scale F   sample size factor, 0 < F <= 20; 1 (default) is 20,000 Marcas,\n"
    "              200,000 ValVehi1 and 1,000,000 ValVehi2 rows on each side\n"
    "  --repeat N  repetitions of each measure, 1..100 (default 3)\n"
    "The real window goes to DISPLAY; without one, run_bench starts an Xvfb of its own.\n";

constexpr char kChildMode[] = "--child";

// What a child tells its parent: one "name value" pair per line.
using Values = std::map<std::string, std::string>;

std::string formatValues(const Values& values) {
  std::string text;
  for (const auto& [name, value] : values) text += name + ' ' + value + '\n';
  return text;
}

Values parseValues(const std::string& text) {
  Values values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
  }
  return values;
}

std::string fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

// ---- Child modes -------------------------------------------------------------

// Both updates come from one seed: the typical one is the plain one with one
// data field changed in about one row in ten, so "again" and "typical" differ
// in those rows only.
Values generate(const Layout& layout, double scale) {
  Stopwatch clock;
  layout.createFolders();
  const sample::Options options{sample::Sizes::scaled(scale), 1};
  Layout typical = layout;
  typical.update = Layout::kTypicalUpdate;
  sample::createUpdateDatabase(layout.updatePath(), options);
  sample::createTypicalUpdateDatabase(typical.updatePath(), options);
  sample::createMainDatabase(layout.startMainPath(), options);
  return {{"seconds", fixed(clock.seconds(), 3)},
          {"marcas", std::to_string(options.sizes.marcas)},
          {"valvehi1", std::to_string(options.sizes.valVehi1)},
          {"valvehi2", std::to_string(options.sizes.valVehi2)}};
}

Values plan(const Layout& layout) {
  Stopwatch clock;
  const FloorPlan floorPlan = planFloor(layout);
  floorPlan.save(layout.floorPlanPath());
  return {{"seconds", fixed(clock.seconds(), 3)}, {"rows", std::to_string(floorPlan.sourceRows())}};
}

// Lets the window system deliver what it has, until the window can be seen or
// the time is up: on xcb a shown window is mapped and exposed by the server,
// not by show() itself.
bool waitUntilExposed(QWidget& window) {
  const Stopwatch clock;
  for (;;) {
    QApplication::processEvents();
    const QWindow* handle = window.windowHandle();
    if (handle != nullptr && handle->isExposed()) break;
    if (clock.seconds() > 10) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  QApplication::processEvents();  // the first paint
  return true;
}

// Makes Qt start on `platform` ("xcb": the X display named by DISPLAY;
// "offscreen").
void useQtPlatform(const Layout& layout, const std::string& platform) {
  if (platform != "xcb" && platform != "offscreen")
    throw std::invalid_argument("unknown platform " + platform);
  if (platform == "xcb" && qEnvironmentVariableIsEmpty("DISPLAY"))
    throw std::runtime_error("the real window needs DISPLAY");
  qputenv("QT_QPA_PLATFORM", platform.c_str());
  // Qt wants a private runtime folder and says so on every start without one.
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    const fs::path runtime = layout.root / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", runtime.string().c_str());
  }
}

// The source rows of every table, and the sum of the run's tallies.
struct RunCounts {
  std::int64_t sourceRows = 0;
  RunReport::Tally sum;
};

// A copy of the report: tally() makes an empty tally for a table the run did
// not reach.
RunCounts countRun(DataEnvironment2& environment, RunReport report) {
  RunCounts counts;
  for (const TableDefinition* table : runTables()) {
    counts.sourceRows += environment.recordset(table->source).recordCount();
    const RunReport::Tally& tally = report.tally(table->title);
    counts.sum.added += tally.added;
    counts.sum.updated += tally.updated;
    counts.sum.unchanged += tally.unchanged;
    counts.sum.rejected += tally.rejected;
  }
  return counts;
}

// A person's run: the window shown on `platform`, "Comenzar" clicked, the run
// checked, "Salir" clicked, the data environment released as the program
// releases it when its window has closed.
Values measureRun(const Layout& layout, char* program, const std::string& platform) {
  useQtPlatform(layout, platform);
  int qtArgc = 1;
  char* qtArgv[] = {program, nullptr};
  QApplication application(qtArgc, qtArgv);
  Frm_ppal::substituteClassicFont();

  auto environment = std::make_unique<DataEnvironment2>(layout.settings());
  DataEnvironment2* current = environment.get();
  auto window = std::make_unique<Frm_ppal>([current]() -> DataEnvironment2& { return *current; });
  std::vector<std::string> reports;
  window->reportFailures = [&reports](const RunWarning& warning) {
    reports.push_back(warning.text.toStdString());
  };
  window->show();
  const bool exposed = waitUntilExposed(*window);
  QPushButton* button = window->Cmd_Comenzar_Salir();

  Stopwatch clock;
  button->click();
  const std::string caption = button->text().toStdString();
  const bool clean = window->runControl().lastReport().clean() && reports.empty();
  const std::int64_t repaints = window->runControl().repaints();
  const RunCounts counts = countRun(*environment, window->runControl().lastReport());
  const RunReport::Tally& sum = counts.sum;
  button->click();
  QApplication::processEvents();
  const bool closed = !window->isVisible();
  environment.reset();
  const double seconds = clock.seconds();

  Values values{{"seconds", fixed(seconds, 6)},
                {"rows", std::to_string(counts.sourceRows)},
                {"repaints", std::to_string(repaints)},
                {"caption", caption},
                {"clean", clean ? "yes" : "no"},
                {"closed", closed ? "yes" : "no"},
                {"platform", QGuiApplication::platformName().toStdString()},
                {"exposed", exposed ? "yes" : "no"},
                {"added", std::to_string(sum.added)},
                {"updated", std::to_string(sum.updated)},
                {"unchanged", std::to_string(sum.unchanged)},
                {"rejected", std::to_string(sum.rejected)}};
  if (!reports.empty()) {
    std::string first = reports.front();
    for (char& c : first)
      if (c == '\n') c = ' ';
    values["report"] = first;
  }
  return values;
}

Values measureFloor(const Layout& layout) {
  const FloorPlan floorPlan = FloorPlan::load(layout.floorPlanPath());
  Stopwatch clock;
  const FloorOutcome outcome = runFloor(layout, floorPlan);
  return {{"seconds", fixed(clock.seconds(), 6)},
          {"inserted", std::to_string(outcome.inserted)},
          {"updated", std::to_string(outcome.updated)}};
}

Values measureSetBased(const Layout& layout) {
  Stopwatch clock;
  runSetBased(layout);
  return {{"seconds", fixed(clock.seconds(), 6)}};
}

int childMain(int argc, char** argv) {
  // argv: program --child MODE ROOT RESULT UPDATE START [ARGUMENT]
  if (argc < 7) throw std::invalid_argument("internal mode needs MODE ROOT RESULT UPDATE START");
  const std::string mode = argv[2];
  const Layout layout{argv[3], argv[5], argv[6]};
  const fs::path resultFile = argv[4];
  const std::string argument = argc > 7 ? argv[7] : "";
  Values values;
  if (mode == "generate" && !argument.empty()) {
    values = generate(layout, std::strtod(argument.c_str(), nullptr));
  } else if (mode == "plan") {
    values = plan(layout);
  } else if (mode == "run" && !argument.empty()) {
    values = measureRun(layout, argv[0], argument);
  } else if (mode == "floor") {
    values = measureFloor(layout);
  } else if (mode == "set-based") {
    values = measureSetBased(layout);
  } else if (mode == "checksum") {
    values = {{"checksum", describe(checksumMain(layout.mainPath()))}};
  } else {
    throw std::invalid_argument("unknown internal mode " + mode);
  }
  writeText(resultFile, formatValues(values));
  return 0;
}

// ---- Parent ------------------------------------------------------------------

struct ChildResult {
  Values values;
  double peakRssMb = 0;   // ru_maxrss of the child
  double cpuSeconds = 0;  // user and system time of the whole child process
};

// Starts this program again in an internal mode on the layout's case and
// waits for it. The parent stays small (it generates and reads nothing
// itself), so what a child's ru_maxrss inherits from the fork is a few
// megabytes of shared libraries.
ChildResult runChild(const Layout& layout, const std::string& mode,
                     const std::string& argument = {}) {
  const fs::path resultFile = layout.root / ("result-" + mode);
  fs::remove(resultFile);
  std::vector<std::string> args = {"run_bench",          kChildMode,          mode,
                                   layout.root.string(), resultFile.string(), layout.update,
                                   layout.start};
  if (!argument.empty()) args.push_back(argument);
  std::vector<char*> argv = argvOf(args);

  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) throw std::runtime_error(std::string("wait4: ") + std::strerror(errno));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(mode + " ended with " +
                             (WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                                : "signal " + std::to_string(WTERMSIG(status))));
  }
  ChildResult result;
  result.values = parseValues(readText(resultFile));
  result.peakRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  result.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return result;
}

double number(const Values& values, const std::string& name) {
  auto found = values.find(name);
  if (found == values.end()) throw std::runtime_error("a child did not report " + name);
  return std::strtod(found->second.c_str(), nullptr);
}

std::string value(const Values& values, const std::string& name) {
  auto found = values.find(name);
  return found != values.end() ? found->second : "?";
}

// Which content a measure must leave: the plain update's result, or the
// typical update's.
enum class Outcome { kPlain, kTypical };

struct Measure {
  std::string name;
  std::string mode;      // the child's internal mode
  std::string platform;  // for the run mode: xcb or offscreen
  std::string update, start;
  Outcome outcome;
  std::vector<double> seconds{}, cpuSeconds{}, peakRssMb{}, repaints{};
};

// The checks on a run child's report; failures are added to `failures`.
void checkRun(const Measure& measure, const Values& v, std::int64_t sourceRows,
              std::vector<std::string>& failures) {
  const std::string& name = measure.name;
  if (value(v, "caption") != "Salir")
    failures.push_back(name + ": caption is '" + value(v, "caption") + "'");
  if (value(v, "clean") != "yes")
    failures.push_back(name + ": the report has failures: " + value(v, "report"));
  if (value(v, "closed") != "yes") failures.push_back(name + ": Salir did not close the window");
  if (value(v, "platform") != measure.platform)
    failures.push_back(name + ": ran on the platform '" + value(v, "platform") + "'");
  if (value(v, "exposed") != "yes")
    failures.push_back(name + ": the window was not exposed before the click");
  if (static_cast<std::int64_t>(number(v, "rows")) != sourceRows)
    failures.push_back(name + ": " + value(v, "rows") + " source rows, the plan has " +
                       std::to_string(sourceRows));
}

// What the parent keeps between the measures.
struct Bench {
  Layout layout;
  int repeat = 0;
  std::int64_t sourceRows = 0;
  std::vector<Measure> measures;
  std::map<Outcome, std::string> reference;  // the content each outcome must leave
  std::vector<std::string> failures;
};

// Generates the update files and the main file, and works out the floor's
// plan; returns the plan's source rows.
std::int64_t prepareData(const Layout& layout, double scale) {
  ChildResult generated = runChild(layout, "generate", fixed(scale, 6));
  std::cout << "data: Marcas " << value(generated.values, "marcas") << ", ValVehi1 "
            << value(generated.values, "valvehi1") << ", ValVehi2 "
            << value(generated.values, "valvehi2")
            << " rows in each update file and in the main file (made in "
            << fixed(number(generated.values, "seconds"), 1) << " s)\n";
  ChildResult planned = runChild(layout, "plan");
  const auto sourceRows = static_cast<std::int64_t>(number(planned.values, "rows"));
  std::cout << "floor plan: " << sourceRows << " source rows (worked out in "
            << fixed(number(planned.values, "seconds"), 1) << " s, before any clock)\n";
  return sourceRows;
}

std::vector<Measure> allMeasures() {
  const std::string plain = Layout::kPlainUpdate, typical = Layout::kTypicalUpdate;
  const std::string generatedMain = Layout::kGeneratedMain, afterRun = Layout::kMainAfterRun;
  return {
      {"run", "run", "xcb", plain, generatedMain, Outcome::kPlain},
      {"run (offscreen)", "run", "offscreen", plain, generatedMain, Outcome::kPlain},
      {"floor", "floor", "", plain, generatedMain, Outcome::kPlain},
      {"set-based", "set-based", "", plain, generatedMain, Outcome::kPlain},
      {"again", "run", "xcb", plain, afterRun, Outcome::kPlain},
      {"typical", "run", "xcb", typical, afterRun, Outcome::kTypical},
  };
}

// Once the first run has left its main file: keeps it as the start of the
// measures that follow a run, and finds what the typical update must leave on
// it, by the floor and by the set-based script.
void afterFirstRun(Bench& bench, const Layout& ran) {
  for (const char* suffix : {"-wal", "-journal"})
    if (fs::exists(ran.mainPath().string() + suffix))
      bench.failures.push_back(std::string("run left a ") + suffix + " file beside the main file");
  const Layout next{bench.layout.root, Layout::kPlainUpdate, Layout::kMainAfterRun};
  fs::copy_file(ran.mainPath(), next.startMainPath(), fs::copy_options::overwrite_existing);

  const Layout typicalCase{bench.layout.root, Layout::kTypicalUpdate, Layout::kMainAfterRun};
  runChild(typicalCase, "plan");
  std::cout << "typical update on the main file the run left, once, for its content:";
  std::vector<std::string> sums;
  for (const char* mode : {"floor", "set-based"}) {
    typicalCase.freshMain();
    const ChildResult result = runChild(typicalCase, mode);
    std::cout << ' ' << mode << ' ' << fixed(number(result.values, "seconds"), 3) << " s";
    if (std::string(mode) == "floor")
      std::cout << " (" << value(result.values, "inserted") << " inserts, "
                << value(result.values, "updated") << " updates)";
    sums.push_back(runChild(typicalCase, "checksum").values["checksum"]);
  }
  std::cout << '\n';
  if (sums[0] != sums[1])
    bench.failures.push_back("typical update: floor and set-based left other contents: " + sums[0] +
                             " / " + sums[1]);
  bench.reference[Outcome::kTypical] = sums[1];
}

// One line per measure and repetition; a run's report is checked as well.
void reportRepetition(Bench& bench, Measure& measure, const ChildResult& result, int rep) {
  const Values& v = result.values;
  const double seconds = measure.seconds.back();
  std::cout << "rep " << rep << '/' << bench.repeat << ' ' << std::left << std::setw(16)
            << measure.name << std::right << " wall " << fixed(seconds, 3) << " s, "
            << fixed(static_cast<double>(bench.sourceRows) / seconds, 0) << " rows/s, cpu "
            << fixed(result.cpuSeconds, 3) << " s, peak RSS " << fixed(result.peakRssMb, 1)
            << " MB";
  if (measure.mode == "run") {
    measure.repaints.push_back(number(v, "repaints"));
    std::cout << ", " << value(v, "repaints") << " repaints, rows: " << value(v, "added")
              << " added, " << value(v, "updated") << " updated, " << value(v, "unchanged")
              << " unchanged, " << value(v, "rejected") << " rejected";
    checkRun(measure, v, bench.sourceRows, bench.failures);
  } else if (measure.mode == "floor") {
    std::cout << ", " << value(v, "inserted") << " inserts, " << value(v, "updated") << " updates";
  }
  std::cout << '\n';
}

// Runs one measure from a fresh main file and checks the content it left.
void measureOnce(Bench& bench, Measure& measure, int rep) {
  const Layout place{bench.layout.root, measure.update, measure.start};
  place.freshMain();
  const ChildResult result = runChild(place, measure.mode, measure.platform);
  measure.seconds.push_back(number(result.values, "seconds"));
  measure.cpuSeconds.push_back(result.cpuSeconds);
  measure.peakRssMb.push_back(result.peakRssMb);
  reportRepetition(bench, measure, result, rep);

  const std::string sum = runChild(place, "checksum").values["checksum"];
  auto [expected, first] = bench.reference.try_emplace(measure.outcome, sum);
  if (!first && sum != expected->second)
    bench.failures.push_back(measure.name + " (rep " + std::to_string(rep) +
                             ") left other content: " + sum + "; expected " + expected->second);
  if (rep == 1 && &measure == &bench.measures.front()) afterFirstRun(bench, place);
}

void printMedians(const Bench& bench) {
  std::cout << "\nmedians over " << bench.repeat << " repetitions, " << bench.sourceRows
            << " source rows:\n"
            << "measure              wall s     rows/s      cpu s  peak RSS MB\n";
  for (const Measure& measure : bench.measures) {
    const double seconds = median(measure.seconds);
    std::cout << std::left << std::setw(16) << measure.name << std::right << std::setw(11)
              << fixed(seconds, 3) << std::setw(11)
              << fixed(static_cast<double>(bench.sourceRows) / seconds, 0) << std::setw(11)
              << fixed(median(measure.cpuSeconds), 3) << std::setw(13)
              << fixed(median(measure.peakRssMb), 1) << '\n';
  }
}

// CPU time leaves out waiting for the disk (checkpoint syncs), the noisiest
// part of the wall time on a shared machine.
void printRatios(const Bench& bench) {
  auto find = [&](const std::string& name) -> const Measure& {
    for (const Measure& measure : bench.measures)
      if (measure.name == name) return measure;
    throw std::logic_error("no measure " + name);
  };
  std::cout << "ratios, medians of the per-repetition ratios:\n";
  const std::pair<std::string, std::string> pairs[] = {
      {"run", "floor"},           {"run", "set-based"}, {"run (offscreen)", "floor"},
      {"run", "run (offscreen)"}, {"again", "run"},     {"typical", "run"},
      {"again", "set-based"}};
  for (const auto& [over, under] : pairs) {
    const Measure& a = find(over);
    const Measure& b = find(under);
    std::cout << std::left << std::setw(28) << (over + '/' + under) << std::right << " wall "
              << fixed(medianRatio(a.seconds, b.seconds), 3) << "  cpu "
              << fixed(medianRatio(a.cpuSeconds, b.cpuSeconds), 3) << '\n';
  }
}

// The repaints, the contents left and the verdict; returns the exit status.
int printVerdict(Bench& bench) {
  std::cout << "label repaints:";
  for (const Measure& measure : bench.measures)
    if (!measure.repaints.empty())
      std::cout << ' ' << measure.name << ' ' << fixed(median(measure.repaints), 0) << ';';
  std::cout << "\nmain file after the plain update: " << bench.reference[Outcome::kPlain] << '\n'
            << "main file after the typical update: " << bench.reference[Outcome::kTypical] << '\n'
            << "ended " << now() << '\n';
  if (!bench.failures.empty()) {
    for (const std::string& failure : bench.failures) std::cout << "FAIL: " << failure << '\n';
    return 1;
  }
  std::cout << "PASS: run, run (offscreen), floor, set-based and again left the same main-file "
               "content in every repetition; typical left what floor and set-based leave with "
               "the typical update\n";
  return 0;
}

int parentMain(int argc, char** argv) {
  const Arguments args = parseArguments(argc, argv, {1, 3}, kUsage);
  std::cout << "run_bench: " << now() << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, scale "
            << args.scale << ", " << args.repeat << " repetitions\n";

  ScratchFolder scratch("kestova-run-bench");
  Bench bench{Layout{scratch.path()}, args.repeat, 0, allMeasures(), {}, {}};
  bench.layout.createFolders();
  // Declared after the scratch folder, so that it goes first.
  const XDisplay display(scratch.path() / "xvfb.log");
  std::cout << "display: " << display.name()
            << (display.started() ? " (Xvfb started by run_bench, 1024x768x24)"
                                  : " (DISPLAY from the environment)")
            << '\n';

  bench.sourceRows = prepareData(bench.layout, args.scale);
  for (int rep = 1; rep <= args.repeat; ++rep)
    for (Measure& measure : bench.measures) measureOnce(bench, measure, rep);
  printMedians(bench);
  printRatios(bench);
  return printVerdict(bench);
}

}  // namespace

}  // namespace kestova::bench

int main(int argc, char** argv) {
  const bool child = argc > 1 && std::string_view(argv[1]) == kestova::bench::kChildMode;
  try {
    return child ? kestova::bench::childMain(argc, argv) : kestova::bench::parentMain(argc, argv);
  } catch (const std::invalid_argument& error) {
    std::cerr << "run_bench: " << error.what() << '\n' << kestova::bench::kUsage;
    return 2;
  } catch (const std::exception& error) {
    if (child) {
      std::cerr << "run_bench (" << argv[2] << "): " << error.what() << '\n';
    } else {
      std::cout << "FAIL: " << error.what() << '\n';
    }
    return 1;
  }
}
