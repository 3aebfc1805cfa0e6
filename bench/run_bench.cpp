// run_bench: how long a whole Kestova run takes and how much memory it needs,
// against two baselines measured in the same invocation on the same data:
//   run        the real window, offscreen, clicked from "Comenzar" to "Salir";
//   floor      the same inserts and updates over connections with the same
//              settings, one autocommit statement per row, targets known;
//   set-based  the same end result from one SQL script in one transaction.
// Each measure runs in a child process of its own (this program started again
// with an internal mode), so that its peak RSS is its own, and starts from a
// fresh copy of the main file. The three must leave the same main-file content.
//
//   run_bench [--scale F] [--repeat N]     F: sample size factor (1), N: repetitions (3)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_support.h"
#include "data_environment.h"
#include "floor_loop.h"
#include "frm_ppal.h"
#include "run_control.h"
#include "sample_data.h"
#include "set_based.h"
#include "warning_box.h"

namespace kestova::bench {

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "usage: run_bench [--scale F] [--repeat N]\n"
    "  --scale F   sample size factor, 0 < F <= 20; 1 (default) is 20,000 Marcas,\n"
    "              200,000 ValVehi1 and 1,000,000 ValVehi2 rows on each side\n"
    "  --repeat N  repetitions of each measure, 1..100 (default 3)\n";

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

Values generate(const Layout& layout, double scale) {
  Stopwatch clock;
  layout.createFolders();
  const sample::Options options{sample::Sizes::scaled(scale), 1};
  sample::createUpdateDatabase(layout.updatePath(), options);
  sample::createMainDatabase(layout.canonicalMainPath(), options);
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

// A person's run: the window shown, "Comenzar" clicked, the run checked,
// "Salir" clicked, the data environment released as the program releases it
// when its window has closed.
Values measureRun(const Layout& layout, char* program) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // Qt wants a private runtime folder and says so on every start without one.
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    const fs::path runtime = layout.root / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    qputenv("XDG_RUNTIME_DIR", runtime.string().c_str());
  }
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
  QApplication::processEvents();
  QPushButton* button = window->Cmd_Comenzar_Salir();

  Stopwatch clock;
  button->click();
  const std::string caption = button->text().toStdString();
  const bool clean = window->runControl().lastReport().clean() && reports.empty();
  const std::int64_t repaints = window->runControl().repaints();
  std::int64_t sourceRows = 0;
  for (const char* member :
       {"rsC_MarMod_Actualizacion", "rsC_ValVehi1_Actualizacion", "rsC_ValVehi2_Actualizacion"})
    sourceRows += environment->recordset(member).recordCount();
  button->click();
  QApplication::processEvents();
  const bool closed = !window->isVisible();
  environment.reset();
  const double seconds = clock.seconds();

  Values values{{"seconds", fixed(seconds, 6)},         {"rows", std::to_string(sourceRows)},
                {"repaints", std::to_string(repaints)}, {"caption", caption},
                {"clean", clean ? "yes" : "no"},        {"closed", closed ? "yes" : "no"}};
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
  const double seconds = clock.seconds();
  return {{"seconds", fixed(seconds, 6)},
          {"rows", std::to_string(floorPlan.sourceRows())},
          {"inserted", std::to_string(outcome.inserted)},
          {"updated", std::to_string(outcome.updated)},
          {"skipped", std::to_string(outcome.skipped)}};
}

Values measureSetBased(const Layout& layout) {
  Stopwatch clock;
  runSetBased(layout);
  return {{"seconds", fixed(clock.seconds(), 6)}};
}

Values checksum(const Layout& layout) {
  return {{"checksum", describe(checksumMain(layout.mainPath()))}};
}

int childMain(int argc, char** argv) {
  // argv: program --child MODE ROOT RESULT [SCALE]
  if (argc < 5) throw std::invalid_argument("internal mode needs MODE ROOT RESULT");
  const std::string mode = argv[2];
  const Layout layout{argv[3]};
  const fs::path resultFile = argv[4];
  Values values;
  if (mode == "generate" && argc == 6) {
    values = generate(layout, std::strtod(argv[5], nullptr));
  } else if (mode == "plan") {
    values = plan(layout);
  } else if (mode == "run") {
    values = measureRun(layout, argv[0]);
  } else if (mode == "floor") {
    values = measureFloor(layout);
  } else if (mode == "set-based") {
    values = measureSetBased(layout);
  } else if (mode == "checksum") {
    values = checksum(layout);
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

class ChildFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starts this program again in an internal mode and waits for it. The parent
// stays small (it generates and reads nothing itself), so what a child's
// ru_maxrss inherits from the fork is a few megabytes of shared libraries.
ChildResult runChild(const Layout& layout, const std::string& mode,
                     const std::vector<std::string>& extra = {}) {
  const fs::path resultFile = layout.root / ("result-" + mode);
  fs::remove(resultFile);
  std::vector<std::string> args = {"run_bench", kChildMode, mode, layout.root.string(),
                                   resultFile.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

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
    throw ChildFailed(mode + " ended with " +
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

struct Arguments {
  double scale = 1;
  int repeat = 3;
};

Arguments parseArguments(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if ((option != "--scale" && option != "--repeat") || i + 1 == argc)
      throw std::invalid_argument("unknown argument or missing value: " + std::string(option));
    const std::string_view value = argv[++i];
    bool valid;
    if (option == "--scale") {
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), args.scale);
      valid = error == std::errc() && end == value.data() + value.size() && args.scale > 0 &&
              args.scale <= 20;
    } else {
      auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), args.repeat);
      valid = error == std::errc() && end == value.data() + value.size() && args.repeat >= 1 &&
              args.repeat <= 100;
    }
    if (!valid) throw std::invalid_argument("bad value for " + std::string(option));
  }
  return args;
}

std::string now() {
  const std::time_t time = std::time(nullptr);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&time));
  return text;
}

struct Measure {
  const char* name;
  std::vector<double> seconds, cpuSeconds, peakRssMb;
};

int parentMain(int argc, char** argv) {
  const Arguments args = parseArguments(argc, argv);
  std::cout << "run_bench: " << now() << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, scale "
            << args.scale << ", " << args.repeat << " repetitions\n";

  ScratchFolder scratch("kestova-run-bench");
  const Layout layout{scratch.path()};
  layout.createFolders();

  ChildResult generated = runChild(layout, "generate", {fixed(args.scale, 6)});
  std::cout << "data: Marcas " << generated.values["marcas"] << ", ValVehi1 "
            << generated.values["valvehi1"] << ", ValVehi2 " << generated.values["valvehi2"]
            << " rows in the update file and in the main file (made in "
            << fixed(number(generated.values, "seconds"), 1) << " s)\n";
  ChildResult planned = runChild(layout, "plan");
  const auto sourceRows = static_cast<std::int64_t>(number(planned.values, "rows"));
  std::cout << "floor plan: " << sourceRows << " source rows (worked out in "
            << fixed(number(planned.values, "seconds"), 1) << " s, before any clock)\n";

  std::vector<Measure> measures = {
      {"run", {}, {}, {}}, {"floor", {}, {}, {}}, {"set-based", {}, {}, {}}};
  std::vector<double> repaints, runRows;
  std::optional<std::string> reference;
  std::vector<std::string> failures;

  for (int rep = 1; rep <= args.repeat; ++rep) {
    for (Measure& measure : measures) {
      layout.freshMain();
      ChildResult result = runChild(layout, measure.name);
      const Values& v = result.values;
      const double seconds = number(v, "seconds");
      measure.seconds.push_back(seconds);
      measure.cpuSeconds.push_back(result.cpuSeconds);
      measure.peakRssMb.push_back(result.peakRssMb);

      std::cout << "rep " << rep << '/' << args.repeat << ' ' << std::left << std::setw(9)
                << measure.name << std::right << " wall " << fixed(seconds, 3) << " s, "
                << fixed(static_cast<double>(sourceRows) / seconds, 0) << " rows/s, cpu "
                << fixed(result.cpuSeconds, 3) << " s, peak RSS " << fixed(result.peakRssMb, 1)
                << " MB";
      if (std::string(measure.name) == "run") {
        repaints.push_back(number(v, "repaints"));
        runRows.push_back(number(v, "rows"));
        std::cout << ", " << v.at("repaints") << " repaints";
        if (v.at("caption") != "Salir")
          failures.push_back("run: caption is '" + v.at("caption") + "'");
        if (v.at("clean") != "yes")
          failures.push_back("run: the report has failures: " +
                             (v.count("report") != 0 ? v.at("report") : std::string("?")));
        if (v.at("closed") != "yes") failures.push_back("run: Salir did not close the window");
        if (static_cast<std::int64_t>(number(v, "rows")) != sourceRows)
          failures.push_back("run: " + v.at("rows") + " source rows, the plan has " +
                             std::to_string(sourceRows));
      } else if (std::string(measure.name) == "floor") {
        std::cout << ", " << v.at("inserted") << " inserts, " << v.at("updated") << " updates";
      }
      std::cout << '\n';

      const std::string sum = runChild(layout, "checksum").values["checksum"];
      if (!reference) {
        reference = sum;
      } else if (sum != *reference) {
        failures.push_back(std::string(measure.name) + " (rep " + std::to_string(rep) +
                           ") left other content: " + sum);
      }
    }
  }

  std::cout << "\nmedians over " << args.repeat << " repetitions, " << sourceRows
            << " source rows:\n"
            << "measure       wall s     rows/s      cpu s  peak RSS MB\n";
  for (const Measure& measure : measures) {
    const double seconds = median(measure.seconds);
    std::cout << std::left << std::setw(10) << measure.name << std::right << std::setw(11)
              << fixed(seconds, 3) << std::setw(11)
              << fixed(static_cast<double>(sourceRows) / seconds, 0) << std::setw(11)
              << fixed(median(measure.cpuSeconds), 3) << std::setw(13)
              << fixed(median(measure.peakRssMb), 1) << '\n';
  }
  // Ratios within a repetition share that moment's load on the machine. CPU
  // time leaves out waiting for the disk (checkpoint syncs), the noisiest part
  // of the wall time on a shared machine.
  auto ratio = [&](std::vector<double> Measure::*times, std::size_t over) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < measures[0].seconds.size(); ++i)
      ratios.push_back((measures[0].*times)[i] / (measures[over].*times)[i]);
    return fixed(median(ratios), 3);
  };
  std::cout << "ratios, medians of the per-repetition ratios:\n"
            << "run/floor      wall " << ratio(&Measure::seconds, 1) << "  cpu "
            << ratio(&Measure::cpuSeconds, 1) << '\n'
            << "run/set-based  wall " << ratio(&Measure::seconds, 2) << "  cpu "
            << ratio(&Measure::cpuSeconds, 2) << '\n'
            << "run: " << fixed(median(repaints), 0) << " label repaints, "
            << fixed(median(runRows), 0) << " source rows\n"
            << "main file after each measure: " << reference.value_or("?") << '\n';

  if (!failures.empty()) {
    for (const std::string& failure : failures) std::cout << "FAIL: " << failure << '\n';
    return 1;
  }
  std::cout << "PASS: run, floor and set-based left the same main-file content in every "
               "repetition\n";
  return 0;
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
