// Runs ended from outside while they work: the driver, a separate process, is
// killed with SIGKILL or asked to stop by a signal. What it leaves is compared
// with what an undisturbed run from the same files holds at that point.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>

#include "platform/stop_signals.h"
#include "tests/faults/child.h"
#include "tests/faults/fault_support.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Child;
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

// Starts the driver on `folder`, counting its passes in `passes` when given.
std::unique_ptr<Child> startDriver(const TestFolder& folder, const PassFile* passes = nullptr) {
  std::vector<std::string> command = {KESTOVA_RUN_DRIVER, folder.work().string(),
                                      folder.prefix().string()};
  if (passes != nullptr) command.push_back(passes->path().string());
  return std::make_unique<Child>(command, folder.root() / "driver.out");
}

// Waits until `pass` passes have begun. False when the driver ended first.
bool awaitPass(Child& driver, const PassFile& passes, std::int64_t pass) {
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (passes.passes() < pass) {
    if (driver.poll()) return false;
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "the driver did not reach pass " << pass << ": " << passes.passes();
      return false;
    }
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// Copies the main file, with a write-ahead log left beside it, and the update.
void copyFiles(const TestFolder& from, const TestFolder& to) {
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(to.mainPath().string() + suffix);
  for (const char* suffix : {"", "-wal"})
    if (fs::exists(from.mainPath().string() + suffix))
      fs::copy_file(from.mainPath().string() + suffix, to.mainPath().string() + suffix);
  fs::copy_file(from.updatePath(), to.updatePath(), fs::copy_options::overwrite_existing);
}

// The main tables as an undisturbed run from the files in `copy` holds them
// once pass `pass` - 1 and once pass `pass` has ended (past the last pass: at
// the run's end). Pass n begins only once pass n - 1 has been saved, so a run
// ended from outside once `pass` passes had begun leaves one of the two.
std::pair<std::string, std::string> statesAround(const TestFolder& copy, std::int64_t pass) {
  std::string before, after;
  test::RunHooks hooks;
  hooks.onPass = [&](std::int64_t begun) {
    if (begun == pass) before = test::dumpMain(copy.mainPath());
    if (begun != pass + 1) return;
    after = test::dumpMain(copy.mainPath());
    requestStop(SIGTERM);  // the rest of the run is not needed
  };
  hooks.afterTables = [&] {
    if (before.empty()) before = test::dumpMain(copy.mainPath());
    if (after.empty()) after = test::dumpMain(copy.mainPath());
  };
  test::runAll(copy.settings(), hooks);
  clearStopRequest();
  return {before, after};
}

// SIGTERM, SIGINT and SIGHUP (shutdown, Ctrl-C, the end of the session) end a
// run within moments: the current row is finished or rolled back, the main
// file returns to its own journal mode, and the file alone holds every saved
// row.
class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheRunWithTheMainFileSettledAndEverySavedRowInIt) {
  TestFolder folder, oracle;
  const sample::Sizes sizes{500, 5000, 20000};
  test::createFiles(folder, {sizes, 11});
  copyFiles(folder, oracle);

  PassFile passes(folder.root() / "passes");
  std::unique_ptr<Child> driver = startDriver(folder, &passes);
  ASSERT_TRUE(awaitPass(*driver, passes, sizes.marcas + 2000))
      << "the run ended before the signal: " << driver->output();
  driver->signal(GetParam());
  ASSERT_TRUE(driver->wait(30s)) << "the run did not end";
  EXPECT_TRUE(WIFSIGNALED(driver->status()) && WTERMSIG(driver->status()) == GetParam())
      << driver->output();
  const std::int64_t reached = passes.passes();
  EXPECT_LT(reached, sizes.marcas + sizes.valVehi1 + sizes.valVehi2);

  EXPECT_EQ(test::fileState(folder.mainPath()), "delete []");
  ASSERT_EQ(test::integrityCheck(folder.mainPath()), "ok");
  const auto [before, after] = statesAround(oracle, reached);
  const std::string left = test::dumpMain(folder.mainPath());
  EXPECT_TRUE(left == before || left == after) << "not the rows saved up to pass " << reached;
}

INSTANTIATE_TEST_SUITE_P(Kill, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

// The main file renamed over by a copy (a backup restored) or removed while a
// run writes to it. The run stops writing; what it saved is in the file it
// opened, wherever that is now, and nothing of it is left beside the path, so
// the file there is whole for a program that opens it during the run as after.
// Parameters: the main file's journal mode before the run, and whether it is
// removed rather than renamed over.
class SwappedFile : public ::testing::TestWithParam<std::tuple<const char*, bool>> {};

TEST_P(SwappedFile, StopsTheRunAndNeverDamagesTheFileAtThePath) {
  const auto [mode, removed] = GetParam();
  TestFolder folder, oracle;
  test::createFiles(folder, {{500, 5000, 20000}, 11}, mode);
  const fs::path path = folder.mainPath(), copy = folder.root() / "copy.mdb",
                 opened = folder.root() / "opened.mdb";
  copyFiles(folder, oracle);
  fs::copy_file(path, copy);
  fs::create_hard_link(path, opened);  // the file the run opens, once its name is gone
  // What a program that opens the path finds: the copy, whole, or nothing at all.
  auto atPath = [&](const fs::path& file) {
    if (removed) return std::string(fs::is_empty(path.parent_path()) ? "nothing" : "files");
    return test::integrityCheck(file) + "\n" + test::fileState(file) + "\n" + test::dumpMain(file);
  };
  const std::string held = removed ? "nothing" : atPath(copy);

  PassFile passes(folder.root() / "passes");
  std::unique_ptr<Child> driver = startDriver(folder, &passes);
  ASSERT_TRUE(awaitPass(*driver, passes, 2500)) << driver->output();  // in Valuaciones 1
  ASSERT_EQ(removed ? ::unlink(path.c_str()) : std::rename(copy.c_str(), path.c_str()), 0);
  // Opened once the run has given up the log and its index (the index goes
  // last), or a thousand rows after the swap, and again after the run.
  for (const std::int64_t until = passes.passes() + 1000;
       fs::exists(path.string() + "-shm") && passes.passes() < until && !driver->poll();)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(atPath(path), held);
  ASSERT_TRUE(driver->wait(60s)) << "the run did not end";
  EXPECT_EQ(atPath(path), held);
  EXPECT_NE(driver->output().find("reemplazado o borrado"), std::string::npos) << driver->output();
  const auto [before, after] = statesAround(oracle, passes.passes());
  const std::string state = test::integrityCheck(opened) + "\n" + test::dumpMain(opened);
  EXPECT_TRUE(state == "ok\n" + before || state == "ok\n" + after) << "not the rows saved";
}

// Named after the journal mode of the file renamed over, or "Removed".
INSTANTIATE_TEST_SUITE_P(Kill, SwappedFile,
                         ::testing::Values(std::tuple{"delete", false}, std::tuple{"wal", false},
                                           std::tuple{"delete", true}),
                         [](const auto& p) {
                           return std::get<1>(p.param) ? "Removed" : std::get<0>(p.param);
                         });

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
  std::unique_ptr<Child> driver = startDriver(folder, &passes);
  if (!awaitPass(*driver, passes, moment.pass)) return -1;
  while (moment.closing && !fs::exists(folder.mainPath().string() + "-journal"))
    if (driver->poll()) return -1;
  const auto killAt = std::chrono::steady_clock::now() + moment.extra;
  while (std::chrono::steady_clock::now() < killAt)
    if (driver->poll()) return -1;
  driver->kill();
  return passes.passes();
}

// Each run starts on the files as the killed run before it left them, a log
// beside the main file included; the last is left to finish and must leave
// what one uninterrupted run does, the main file back in its own journal mode.
TEST(Kill, EachKillLeavesTheRowsSavedBeforeItAndARerunConverges) {
  const std::uint32_t seed = 20240611;
  const sample::Sizes sizes{2000, 30000, 80000};
  TestFolder folder, reference, oracle, left;
  test::createFiles(folder, {sizes, 5});
  copyFiles(folder, reference);
  const std::string update = test::readBytes(folder.updatePath());
  // The content an uninterrupted run gives, made on the other core meanwhile.
  std::unique_ptr<Child> referenceRun = startDriver(reference);

  const std::int64_t starts[] = {1, 1 + sizes.marcas, 1 + sizes.marcas + sizes.valVehi1,
                                 1 + sizes.marcas + sizes.valVehi1 + sizes.valVehi2};
  const std::int64_t passCount = starts[3] - 1;
  std::mt19937 random(seed);
  // Three or four moments in each table, in random order, and first of all
  // one as the run closes the main file: that switch back to the rollback
  // journal happens only while the file still has that mode.
  std::vector<Moment> moments;
  for (std::size_t table = 0; table < 3; ++table)
    for (std::size_t i = 0; i < (table == 2 ? 4u : 3u); ++i)
      moments.push_back({std::uniform_int_distribution<std::int64_t>(starts[table],
                                                                     starts[table + 1] - 1)(random),
                         std::chrono::microseconds(random() % 100)});
  std::shuffle(moments.begin(), moments.end(), random);
  moments.insert(moments.begin(), {passCount, 0us, true});

  PassFile passes(folder.root() / "passes");
  int killed = 0;
  std::string journey;
  for (const Moment& moment : moments) {
    copyFiles(folder, oracle);
    const std::int64_t reached = runAndKill(folder, passes, moment);
    if (HasFailure()) return;
    // Read in a copy: reading folds the log into the file.
    copyFiles(folder, left);
    journey += "pass " + std::to_string(moment.pass) + (moment.closing ? " closing" : "") + " -> " +
               (reached < 0 ? "ended first" : "killed at " + std::to_string(reached)) + " [" +
               test::fileState(left.mainPath()) + "]; ";
    SCOPED_TRACE("seed " + std::to_string(seed) + ": " + journey);
    if (reached >= 0) ++killed;

    ASSERT_EQ(test::integrityCheck(left.mainPath()), "ok");
    const auto [before, after] = statesAround(oracle, reached < 0 ? passCount + 1 : reached);
    const std::string state = test::dumpMain(left.mainPath());
    EXPECT_TRUE(state == before || state == after) << "not the rows saved up to the kill";
  }
  EXPECT_GE(killed, 10) << journey;
  RecordProperty("kills", journey);

  std::unique_ptr<Child> rerun = startDriver(folder);
  ASSERT_TRUE(rerun->wait(180s)) << "the run did not end";
  EXPECT_EQ(rerun->status(), 0) << rerun->output();
  ASSERT_TRUE(referenceRun->wait(180s)) << "the reference run did not end";
  ASSERT_EQ(referenceRun->status(), 0) << referenceRun->output();
  EXPECT_EQ(test::fileState(folder.mainPath()), "delete []");
  EXPECT_EQ(test::integrityCheck(folder.mainPath()), "ok");
  EXPECT_TRUE(test::dumpMain(folder.mainPath()) == test::dumpMain(reference.mainPath()))
      << "the main tables differ from an uninterrupted run's";
  EXPECT_EQ(test::readBytes(folder.updatePath()), update);
}

}  // namespace
}  // namespace kestova
