#pragma once

// Pieces shared by the benchmark programs: a scratch folder that lays the two
// databases out where the program looks for them, a fresh copy of the main
// file for every measure, medians, a clock, and a checksum of the main file's
// content that tells whether two ways of updating it ended with the same rows.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection.h"

namespace kestova::bench {

// A folder of its own under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchFolder {
 public:
  explicit ScratchFolder(std::string_view stem);
  ~ScratchFolder();

  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Where one benchmark's files live under its root, for one case: an update
// file and the main file the case starts from. The update file is in the
// case's working folder, named as the program looks for it; the main file is
// copied from the case's start folder to its place under the Windows prefix's
// drive C before every measure.
struct Layout {
  // Working folders: the plain update, and the typical one (one row in ten changed).
  static constexpr char kPlainUpdate[] = "work";
  static constexpr char kTypicalUpdate[] = "typical";
  // Start folders: the generated main file, and the main file a completed run left.
  static constexpr char kGeneratedMain[] = "canonical";
  static constexpr char kMainAfterRun[] = "after-run";

  std::filesystem::path root;
  std::string update = kPlainUpdate;
  std::string start = kGeneratedMain;

  std::filesystem::path work() const { return root / update; }
  std::filesystem::path prefix() const { return root / "prefix"; }
  std::filesystem::path updatePath() const { return work() / "Kestova.mdb"; }
  std::filesystem::path mainPath() const {
    return prefix() / "drive_c" / "Archivos de programa" / "Nevaro" / "Nevaro.mdb";
  }
  std::filesystem::path startMainPath() const { return root / start / "Nevaro.mdb"; }
  std::filesystem::path floorPlanPath() const { return root / ("floor-" + update + "-" + start); }

  // Settings that point a data environment at this layout.
  DataSettings settings() const { return {work(), prefix(), std::chrono::milliseconds(30'000)}; }

  // Every case's folders.
  void createFolders() const;
  // Replaces the main file (and any log beside it) with a copy of the start one.
  void freshMain() const;
};

// A connection string naming `file` by its file name alone, as the program's
// own connection strings name the update file: it is found in the current
// folder of the settings it is opened with, folderSettings(file's folder).
std::string connectionStringFor(const std::filesystem::path& file);
DataSettings folderSettings(const std::filesystem::path& folder);

// A benchmark's options: --scale F (0 < F <= 20), the sample size factor, and
// --repeat N (1..100), the repetitions.
struct Arguments {
  double scale = 1;
  int repeat = 3;
};

// Options over `defaults`. --help or -h prints `usage` and ends the program;
// an unknown option or a bad value throws std::invalid_argument.
Arguments parseArguments(int argc, char** argv, Arguments defaults, std::string_view usage);

// Requires: values not empty. The mean of the two middle values for an even count.
double median(std::vector<double> values);

// The median of over[i] / under[i]: ratios taken within one repetition share
// that moment's load on the machine. Requires: both of the same, nonzero size.
double medianRatio(const std::vector<double>& over, const std::vector<double>& under);

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Row count and a 64-bit hash of every row of one table in rowid order: the
// rowid, then each value with its storage class.
struct TableChecksum {
  std::string table;
  std::int64_t rows = 0;
  std::uint64_t hash = 0;
};

// The three main tables of the file, read through a read-only connection.
std::vector<TableChecksum> checksumMain(const std::filesystem::path& file);
// One line: "RNAMarMod 20200 rows 0123abcd... | ...".
std::string describe(const std::vector<TableChecksum>& checksums);

// The whole text of a small file; throws std::runtime_error naming the file.
std::string readText(const std::filesystem::path& file);
void writeText(const std::filesystem::path& file, std::string_view text);

// The local date and time, as "2024-06-01 12:00:00 UTC".
std::string now();

// The argument array that execv and posix_spawn take: pointers into `args`,
// then a null pointer.
std::vector<char*> argvOf(std::vector<std::string>& args);

}  // namespace kestova::bench
