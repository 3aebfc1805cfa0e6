// Runs one whole update of the main database, as the window's run does, on the
// folders given on the command line: kestova_run_driver WORK PREFIX [PASSES].
// SIGTERM, SIGINT and SIGHUP end the run as they end the program's: the
// current row is finished, the main file settled, and the process then ends
// by the signal.
// The update file is WORK/Kestova.mdb and the main file lies under PREFIX's
// drive_c. When PASSES names a file of at least 8 bytes, the number of passes
// begun so far is kept in its first 8 bytes, so that another process can tell
// how far the run has come (pass n begins only once pass n - 1 has been saved
// or has failed). Prints nothing and exits 0 when the run was clean; otherwise
// prints the report's details and exits 1.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <iostream>

#include "data/data_environment.h"
#include "platform/stop_signals.h"
#include "sync/run_update.h"
#include "sync/step_runner.h"

namespace {

using kestova::DataEnvironment2;
using kestova::RunReport;
using kestova::StepRunner;

class PublishedProgress : public kestova::Progress {
 public:
  explicit PublishedProgress(std::atomic<std::int64_t>* passes) : passes_(passes) {}
  void advance() override {
    if (passes_ != nullptr) passes_->fetch_add(1, std::memory_order_release);
  }

 private:
  std::atomic<std::int64_t>* passes_;
};

std::atomic<std::int64_t>* mapPasses(const char* path) {
  int fd = ::open(path, O_RDWR);
  if (fd < 0) return nullptr;
  void* mapped = ::mmap(nullptr, sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) return nullptr;
  return static_cast<std::atomic<std::int64_t>*>(mapped);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr
        << "uso: kestova_run_driver CARPETA_DE_TRABAJO PREFIJO_WINDOWS [ARCHIVO_DE_PASADAS]\n";
    return 2;
  }
  std::atomic<std::int64_t>* passes = nullptr;
  if (argc == 4 && (passes = mapPasses(argv[3])) == nullptr) {
    std::cerr << "kestova_run_driver: no se puede usar " << argv[3] << "\n";
    return 2;
  }

  kestova::installStopSignals();
  RunReport report;
  {
    kestova::DataSettings settings{argv[1], argv[2], std::chrono::milliseconds(30'000)};
    settings.stopRequested = &kestova::stopRequested;
    DataEnvironment2 environment(settings);
    StepRunner steps(report);
    PublishedProgress progress(passes);
    kestova::runUpdate(environment, progress, steps);
  }
  if (kestova::stopRequested()) {
    std::signal(kestova::stopSignal(), SIG_DFL);
    std::raise(kestova::stopSignal());
  }
  if (report.clean()) return 0;
  std::cerr << report.details();
  return 1;
}
