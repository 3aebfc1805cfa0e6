#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

namespace kestova {

// Where connections look for their files, how long they wait for a lock, and
// what they ask and do meanwhile. The program uses defaults(); tests point it
// at their own folders.
struct DataSettings {
  std::filesystem::path currentDirectory;  // against which relative data sources resolve
  std::filesystem::path windowsPrefix;     // whose drive_c stands for drive C:; none on Windows
  std::chrono::milliseconds commandTimeout{30'000};
  // How long the end of a run waits for other programs to let the log be
  // folded back into the main file.
  std::chrono::milliseconds settleTimeout{1'000};
  // Called over and over while a connection waits for another program's
  // lock, so that a window keeps serving its paints meanwhile; may be empty.
  std::function<void()> whileWaiting = nullptr;
  // True once the run is asked to stop: it is checked between rows and while
  // a connection waits, which then ends early. By default nobody asks.
  std::function<bool()> stopRequested = [] { return false; };
  // The file a connection that writes opens for the path its connection
  // string names; empty for the path itself. The program's: this user's
  // VirtualStore copy of it where Windows keeps one, the file an older
  // Nevaro run by this user reads and writes instead (program_files.h).
  std::function<std::filesystem::path(const std::filesystem::path&)> fileToWrite = nullptr;
  // How the program was started, for the advice of its warning: without the
  // administrator rights that would give it the right to write, and from
  // inside the user's temporary folder, where Explorer runs a program opened
  // inside a zip without the files beside it.
  bool administratorCouldWrite = false;
  bool startedInTemporaryFolder = false;

  // The process's current directory, its Windows prefix, the time-outs above,
  // the process's stop request (stop_signals.h) and what the system says of
  // the files to write and of how the program was started.
  static DataSettings defaults();
};

}  // namespace kestova
