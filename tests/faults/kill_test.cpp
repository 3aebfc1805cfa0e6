// Runs killed at random moments: the driver, a separate process, is started
// with fork and exec and ended with SIGKILL while it works.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "fault_support.h"
#include "sample_data.h"
#include "test_support.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Child;
using test::RunModel;
using test::TestFolder;

static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// A file of one 8-byte counter that the driver bumps as each pass begins.
class PassFile {
 public:
  explicit PassFile(fs::path path) : path_(std::move(path)) {
    std::ofstream(path_, std::ios::binary).write(std::string(8, '\0').data(), 8);
    int fd = ::open(path_.c_str(), O_RDWR);
    void* mapped = ::mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) throw std::runtime_error("mmap failed");
    passes_ = static_cast<std::atomic<std::int64_t>*>(mapped);
  }
  ~PassFile() { ::munmap(passes_, 8); }

  const fs::path& path() const { return path_; }
  std::int64_t passes() const { return passes_->load(std::memory_order_acquire); }
  void reset() { passes_->store(0); }

 private:
  fs::path path_;
  std::atomic<std::int64_t>* passes_;
};

std::vector<std::string> driverArguments(const TestFolder& folder) {
  return {folder.work().string(), folder.prefix().string()};
}

// A moment to kill the run at: once `pass` passes have begun, `extra` later;
// or, with `closing`, once the run has begun to switch the main file back to
// its rollback journal as it closes it.
struct Moment {
  std::int64_t pass;
  std::chrono::microseconds extra{0};
  bool closing = false;
};

// Starts the driver and kills it at `moment`. Returns the passes begun when it
// died, or -1 when it ended on its own first.
std::int64_t runAndKill(const TestFolder& folder, PassFile& passes, const Moment& moment) {
  passes.reset();
  std::vector<std::string> arguments = driverArguments(folder);
  arguments.push_back(passes.path().string());
  Child driver(KESTOVA_RUN_DRIVER, arguments, folder.root() / "driver.out");
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  auto late = [&] {
    if (std::chrono::steady_clock::now() < deadline) return false;
    ADD_FAILURE() << "the driver did not reach pass " << moment.pass << ": " << passes.passes();
    return true;
  };
  while (passes.passes() < moment.pass) {
    if (driver.poll() || late()) return -1;
    std::this_thread::sleep_for(200us);
  }
  const fs::path journal = folder.mainPath().string() + "-journal";
  while (moment.closing && !fs::exists(journal))
    if (driver.poll() || late()) return -1;
  const auto killAt = std::chrono::steady_clock::now() + moment.extra;
  while (std::chrono::steady_clock::now() < killAt)
    if (driver.poll()) return -1;
  driver.kill();
  return passes.passes();
}

void runToCompletion(const TestFolder& folder) {
  Child driver(KESTOVA_RUN_DRIVER, driverArguments(folder), folder.root() / "driver.out");
  ASSERT_TRUE(driver.wait(180s)) << "the run did not end";
  EXPECT_TRUE(driver.exitedCleanly()) << driver.output();
  EXPECT_EQ(driver.output(), "");
}

void copyDatabases(const TestFolder& from, const TestFolder& to) {
  fs::copy_file(from.mainPath(), to.mainPath(), fs::copy_options::overwrite_existing);
  fs::copy_file(from.updatePath(), to.updatePath(), fs::copy_options::overwrite_existing);
}

// SIGTERM, SIGINT and SIGHUP (shutdown, Ctrl-C, the end of the session) end a
// run within moments: the current row is finished or rolled back, the main
// file returns to its own journal mode, and the file alone holds every saved
// row.
class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheRunWithTheMainFileSettledAndEverySavedRowInIt) {
  TestFolder folder, copy;
  sample::Options options{sample::Sizes{500, 5000, 20000}, 11};
  sample::createUpdateDatabase(folder.updatePath(), options);
  sample::createMainDatabase(folder.mainPath(), options);
  const RunModel model(folder.updatePath());
  const test::MainRows before = test::readMain(folder.mainPath());

  PassFile passes(folder.root() / "passes");
  std::vector<std::string> arguments = driverArguments(folder);
  arguments.push_back(passes.path().string());
  Child driver(KESTOVA_RUN_DRIVER, arguments, folder.root() / "driver.out");
  const std::int64_t at = model.tableStarts()[1] + 2000;
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (passes.passes() < at && !driver.poll() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(200us);
  ASSERT_FALSE(driver.poll()) << "the run ended before the signal: " << driver.output();
  const auto sent = std::chrono::steady_clock::now();
  driver.signal(GetParam());
  ASSERT_TRUE(driver.wait(30s)) << "the run did not end";
  RecordProperty("milliseconds to end", std::to_string((std::chrono::steady_clock::now() - sent) /
                                                       std::chrono::milliseconds(1)));
  EXPECT_TRUE(WIFSIGNALED(driver.status()) && WTERMSIG(driver.status()) == GetParam())
      << driver.output();
  const std::int64_t reached = passes.passes();
  EXPECT_LT(reached, model.passes());

  EXPECT_EQ(test::journalMode(folder.mainPath()) + " [" + test::filesBeside(folder.mainPath()) + "]",
            "delete []");
  fs::copy_file(folder.mainPath(), copy.mainPath());
  ASSERT_EQ(test::integrityCheck(copy.mainPath()), "ok");
  const test::MainRows after = test::readMain(copy.mainPath());
  EXPECT_EQ(model.missingSavedRows(after, reached), "");
  EXPECT_EQ(model.unexplainedChanges(before, after), "");
}

INSTANTIATE_TEST_SUITE_P(Kill, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

TEST(Kill, EveryCommittedRowSurvivesEachKillAndARerunConverges) {
  const std::uint32_t seed = 20240611;
  TestFolder folder, reference;
  sample::Options options{sample::Sizes{2000, 30000, 80000}, 5};
  sample::createUpdateDatabase(folder.updatePath(), options);
  sample::createMainDatabase(folder.mainPath(), options);
  copyDatabases(folder, reference);
  const std::string update = test::readBytes(folder.updatePath());
  // The content an uninterrupted run gives, made on the other core meanwhile.
  Child referenceRun(KESTOVA_RUN_DRIVER, driverArguments(reference),
                     reference.root() / "driver.out");

  const RunModel model(folder.updatePath());
  const std::vector<std::int64_t> starts = model.tableStarts();
  std::mt19937 random(seed);
  // Three or four moments in each table, in random order, and first of all
  // one as the run closes the main file: that switch back to the rollback
  // journal happens only while the file still has that mode.
  std::vector<Moment> moments;
  for (std::size_t table = 0; table + 1 < starts.size(); ++table)
    for (std::size_t i = 0; i < (table == 2 ? 4u : 3u); ++i)
      moments.push_back({std::uniform_int_distribution<std::int64_t>(starts[table],
                                                                     starts[table + 1] - 1)(random),
                         std::chrono::microseconds(random() % 100)});
  std::shuffle(moments.begin(), moments.end(), random);
  moments.insert(moments.begin(), {model.passes(), 0us, true});

  PassFile passes(folder.root() / "passes");
  test::MainRows before = test::readMain(folder.mainPath());
  int killed = 0;
  std::string journey;
  for (const Moment& moment : moments) {
    const std::int64_t reached = runAndKill(folder, passes, moment);
    if (HasFailure()) return;
    journey += "pass " + std::to_string(moment.pass) + (moment.closing ? " closing" : "") + " -> " +
               (reached < 0 ? "ended first" : "killed at " + std::to_string(reached)) + " [" +
               test::filesBeside(folder.mainPath()) + "]; ";
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + journey);
    if (reached >= 0) ++killed;

    ASSERT_EQ(test::integrityCheck(folder.mainPath()), "ok");
    test::MainRows after = test::readMain(folder.mainPath());
    // Pass n begins only once pass n - 1 has been saved.
    EXPECT_EQ(model.missingSavedRows(after, reached < 0 ? model.passes() : reached - 1), "");
    EXPECT_EQ(model.unexplainedChanges(before, after), "");
    before = std::move(after);
  }
  EXPECT_GE(killed, 10) << journey;
  ::testing::Test::RecordProperty("kills", journey);

  runToCompletion(folder);
  ASSERT_TRUE(referenceRun.wait(180s)) << "the reference run did not end";
  ASSERT_TRUE(referenceRun.exitedCleanly()) << referenceRun.output();
  EXPECT_EQ(test::integrityCheck(folder.mainPath()), "ok");
  EXPECT_TRUE(test::dumpMain(folder.mainPath()) == test::dumpMain(reference.mainPath()))
      << "the main tables differ from an uninterrupted run's";
  EXPECT_EQ(test::readBytes(folder.updatePath()), update);
}

// Before its first run the main file is in the rollback-journal mode the other
// programs that share it use; a run switches it to write-ahead logging and
// back. A run killed in between must not leave it switched for good.
TEST(Kill, ARerunLeavesTheMainFileInTheJournalModeItHadBeforeTheKilledRun) {
  TestFolder folder, reference;
  sample::Options options{sample::Sizes{100, 1000, 2000}, 9};
  sample::createUpdateDatabase(folder.updatePath(), options);
  sample::createMainDatabase(folder.mainPath(), options);
  copyDatabases(folder, reference);
  runToCompletion(reference);
  ASSERT_EQ(test::journalMode(reference.mainPath()), "delete");

  PassFile passes(folder.root() / "passes");
  ASSERT_GT(runAndKill(folder, passes, {1500}), 0);
  ASSERT_EQ(test::filesBeside(folder.mainPath()), "-wal -shm");
  runToCompletion(folder);
  EXPECT_EQ(
      test::journalMode(folder.mainPath()) + " [" + test::filesBeside(folder.mainPath()) + "]",
      "delete []");
  EXPECT_TRUE(test::dumpMain(folder.mainPath()) == test::dumpMain(reference.mainPath()));
}

}  // namespace
}  // namespace kestova
