// Runs on a main file that another program has locked for writing.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "fault_support.h"
#include "fault_vfs.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
#include "table_definition.h"
#include "test_support.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FaultVfs;
using test::TestFolder;

const std::vector<const TableDefinition*> kTables = {&marcasYModelos(), &valuaciones1(),
                                                     &valuaciones2()};

void createFiles(const TestFolder& folder, const sample::Sizes& sizes,
                 const std::string& journalMode) {
  sample::Options options{sizes, 4};
  sample::createUpdateDatabase(folder.updatePath(), options);
  sample::createMainDatabase(folder.mainPath(), options);
  sample::SqlCipherFile(folder.mainPath(), sample::kPassword)
      .exec("PRAGMA journal_mode = " + journalMode);
}

std::string tallies(const RunReport& report) {
  std::string text;
  RunReport copy = report;
  for (const TableDefinition* table : kTables) {
    const RunReport::Tally& tally = copy.tally(table->title);
    text += table->title + ": " + std::to_string(tally.added) + " added, " +
            std::to_string(tally.updated) + " updated, " + std::to_string(tally.rejected) +
            " rejected, " + std::to_string(tally.notSaved) + " not saved\n";
  }
  return text;
}

struct Holder {
  const char* name;
  const char* begin;  // what the other program runs to take its lock
  const char* mode;   // the main file's journal mode before the run
};

void PrintTo(const Holder& holder, std::ostream* out) {
  *out << holder.name;
}

class HeldLock : public ::testing::TestWithParam<Holder> {};

TEST_P(HeldLock, FailsEveryRowAfterTheTimeOutAndChangesNothing) {
  const Holder& holder = GetParam();
  TestFolder folder;
  const sample::Sizes sizes{2, 3, 3};
  createFiles(folder, sizes, holder.mode);
  const test::MainRows before = test::readMain(folder.mainPath());
  const std::string update = test::readBytes(folder.updatePath());

  test::RunOutcome outcome;
  auto start = std::chrono::steady_clock::now();
  {
    sample::SqlCipherFile other(folder.mainPath(), sample::kPassword);
    other.exec(holder.begin);
    start = std::chrono::steady_clock::now();
    outcome = test::runAll(folder.settings(200ms));
    other.exec("ROLLBACK");
  }
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_NE(outcome.report.details().find("database is locked"), std::string::npos)
      << outcome.report.details();
  EXPECT_EQ(tallies(outcome.report),
            marcasYModelos().title + ": 0 added, 0 updated, 0 rejected, 2 not saved\n" +
                valuaciones1().title + ": 0 added, 0 updated, 0 rejected, 3 not saved\n" +
                valuaciones2().title + ": 0 added, 0 updated, 0 rejected, 3 not saved\n")
      << outcome.report.details();
  // Each row, or each attempt to open the file, waits out the time-out once;
  // the bound leaves room for a slow machine.
  EXPECT_LT(took, 30s);
  EXPECT_EQ(test::integrityCheck(folder.mainPath()), "ok");
  EXPECT_TRUE(test::readMain(folder.mainPath()) == before);
  EXPECT_EQ(
      test::journalMode(folder.mainPath()) + " [" + test::filesBeside(folder.mainPath()) + "]",
      std::string(holder.mode) + " []");
  EXPECT_EQ(test::readBytes(folder.updatePath()), update);
  RecordProperty("seconds", std::to_string(std::chrono::duration<double>(took).count()));
  RecordProperty("report", outcome.report.details());
}

INSTANTIATE_TEST_SUITE_P(
    Lock, HeldLock,
    ::testing::Values(Holder{"ImmediateOnRollbackJournal", "BEGIN IMMEDIATE", "delete"},
                      Holder{"ExclusiveOnRollbackJournal", "BEGIN EXCLUSIVE", "delete"},
                      Holder{"ImmediateOnLog", "BEGIN IMMEDIATE", "wal"},
                      Holder{"ExclusiveOnLog", "BEGIN EXCLUSIVE", "wal"}),
    [](const auto& param) { return std::string(param.param.name); });

// A main file, its update, and what an undisturbed run makes of them.
class ReleasedLock : public ::testing::Test {
 protected:
  void SetUp() override {
    createFiles(folder_, sample::Sizes{10, 30, 60}, "delete");
    TestFolder undisturbed;
    fs::copy_file(folder_.mainPath(), undisturbed.mainPath());
    fs::copy_file(folder_.updatePath(), undisturbed.updatePath());
    ASSERT_TRUE(test::runAll(undisturbed.settings()).report.clean());
    reference_ = test::readMain(undisturbed.mainPath());
  }

  // The file as an undisturbed run leaves it.
  void expectCompleteUpdate(const test::RunOutcome& outcome) {
    EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
    EXPECT_TRUE(test::readMain(folder_.mainPath()) == reference_);
    EXPECT_EQ(
        test::journalMode(folder_.mainPath()) + " [" + test::filesBeside(folder_.mainPath()) + "]",
        "delete []");
  }

  TestFolder folder_;
  test::MainRows reference_;
};

// The other program lets go 100 ms after the run was first refused its lock,
// and closes the file.
void releaseWhenRefused(const FaultVfs& vfs, std::optional<sample::SqlCipherFile>& other) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (vfs.busyLocks() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(100ms);
  other->exec("ROLLBACK");
  other.reset();
}

class ReleasedAtOpen : public ReleasedLock, public ::testing::WithParamInterface<const char*> {};

TEST_P(ReleasedAtOpen, HeldAsTheRunOpensTheFileTheRunWaitsAndCompletes) {
  std::optional<sample::SqlCipherFile> other(std::in_place, folder_.mainPath(), sample::kPassword);
  other->exec(GetParam());
  FaultVfs vfs(folder_.mainPath());
  std::thread releaser(releaseWhenRefused, std::cref(vfs), std::ref(other));
  test::RunOutcome outcome = test::runAll(folder_.settings(5s));
  releaser.join();
  EXPECT_GT(vfs.busyLocks(), 0) << "the run never waited";
  expectCompleteUpdate(outcome);
}

INSTANTIATE_TEST_SUITE_P(Lock, ReleasedAtOpen,
                         ::testing::Values("BEGIN IMMEDIATE", "BEGIN EXCLUSIVE"),
                         [](const auto& param) {
                           return std::string(param.param) == "BEGIN IMMEDIATE" ? "Immediate"
                                                                                : "Exclusive";
                         });

TEST_F(ReleasedLock, TakenBetweenTwoRowsTheNextRowWaitsAndTheRunCompletes) {
  std::optional<sample::SqlCipherFile> other(std::in_place, folder_.mainPath(), sample::kPassword);
  FaultVfs vfs(folder_.mainPath());
  std::thread releaser;
  test::RunHooks hooks;
  hooks.onPass = [&](std::int64_t pass) {
    if (pass != 50) return;
    other->exec("BEGIN IMMEDIATE");
    releaser = std::thread(releaseWhenRefused, std::cref(vfs), std::ref(other));
  };
  test::RunOutcome outcome = test::runAll(folder_.settings(5s), hooks);
  if (releaser.joinable()) releaser.join();
  EXPECT_GT(vfs.busyLocks(), 0) << "the run never waited";
  expectCompleteUpdate(outcome);
}

// The log lets other programs read the main file during a run. One that still
// has it open when the run ends keeps the run from leaving the log; once it
// has closed the file, the next run must return the file to its own mode.
TEST_F(ReleasedLock, AReaderStillThereAsTheRunEndsDoesNotLeaveTheFileInTheLogForGood) {
  {
    sample::SqlCipherFile reader(folder_.mainPath(), sample::kPassword);
    test::RunHooks hooks;
    hooks.onPass = [&](std::int64_t pass) {
      if (pass == 50) reader.exec("SELECT count(*) FROM RNAValVehi1");
    };
    test::RunOutcome first = test::runAll(folder_.settings(5s), hooks);
    // Every row is saved; that the log could not be folded back is told.
    EXPECT_EQ(first.report.failureCount(), 1) << first.report.details();
    EXPECT_NE(first.report.details().find("otro programa"), std::string::npos)
        << first.report.details();
    RecordProperty("after the first run", test::journalMode(folder_.mainPath()) + " [" +
                                              test::filesBeside(folder_.mainPath()) + "]");
  }
  test::RunOutcome second = test::runAll(folder_.settings(5s));
  expectCompleteUpdate(second);
  EXPECT_EQ(test::journalMode(folder_.mainPath()), "delete");
}

}  // namespace
}  // namespace kestova
