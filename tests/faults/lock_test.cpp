// Runs on a main file that another program has locked for writing.
#include <gtest/gtest.h>

#include <optional>
#include <thread>

#include "fault_support.h"
#include "fault_vfs.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
#include "statement.h"
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

// The lock is waited for once, for the command time-out, not once per row:
// then the run stops writing, and every row counts as not saved.
TEST_P(HeldLock, IsWaitedForOnceThenTheRunStopsAndChangesNothing) {
  const Holder& holder = GetParam();
  TestFolder folder;
  const sample::Sizes sizes{20, 30, 30};
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
            marcasYModelos().title + ": 0 added, 0 updated, 0 rejected, 20 not saved\n" +
                valuaciones1().title + ": 0 added, 0 updated, 0 rejected, 30 not saved\n" +
                valuaciones2().title + ": 0 added, 0 updated, 0 rejected, 30 not saved\n")
      << outcome.report.details();
  EXPECT_EQ(outcome.report.failureCount(), 1) << outcome.report.details();
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
                      Holder{"ExclusiveOnLog", "BEGIN EXCLUSIVE", "wal"},
                      Holder{"ReaderOnRollbackJournal", "BEGIN; SELECT count(*) FROM RNAMarMod",
                             "delete"}),
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

// A main file its owner keeps in write-ahead mode is left in it.
TEST_F(ReleasedLock, AFileItsOwnerKeepsInWriteAheadModeStaysSo) {
  sample::SqlCipherFile(folder_.mainPath(), sample::kPassword).exec("PRAGMA journal_mode = WAL");
  test::RunOutcome outcome = test::runAll(folder_.settings(5s));
  EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
  EXPECT_TRUE(test::readMain(folder_.mainPath()) == reference_);
  EXPECT_EQ(
      test::journalMode(folder_.mainPath()) + " [" + test::filesBeside(folder_.mainPath()) + "]",
      "wal []");
}

// A second Kestova started on the same files while a run goes on (a double
// launch) is refused before it writes anything.
TEST_F(ReleasedLock, ASecondRunMeanwhileIsRefusedAndWritesNothing) {
  test::RunOutcome second;
  test::RunHooks hooks;
  hooks.onPass = [&](std::int64_t pass) {
    if (pass == 5) second = test::runAll(folder_.settings(5s));
  };
  test::RunOutcome first = test::runAll(folder_.settings(5s), hooks);
  expectCompleteUpdate(first);
  EXPECT_EQ(second.passes, 0);
  EXPECT_EQ(second.report.failureCount(), 1) << second.report.details();
  EXPECT_NE(second.report.details().find("otro Kestova"), std::string::npos)
      << second.report.details();
}

// Another program (Nevaro, say) adds rows during the run with keys the run is
// about to add: the run finds and updates them instead of adding the keys a
// second time.
TEST_F(ReleasedLock, KeysAnotherProgramAddsDuringTheRunAreNotAddedAgain) {
  auto count = [&](const std::string& sql) {
    sample::SqlCipherFile file(folder_.mainPath(), sample::kPassword);
    Statement statement(file.handle(), sql, "RNAValVehi2");
    statement.step();
    return statement.columnInt64(0);
  };
  const std::string duplicates =
      "SELECT count(*) FROM (SELECT 1 FROM RNAValVehi2 GROUP BY AnioImpuesto, Tipo, CodMar, "
      "CodMod, ModAnio HAVING count(*) > 1)";
  const std::int64_t rowsBefore = count("SELECT count(*) FROM RNAValVehi2");
  const std::int64_t duplicatesBefore = count(duplicates);
  test::RunHooks hooks;
  hooks.onPass = [&](std::int64_t pass) {
    if (pass != 45) return;  // in the last table, once its key index is built
    sample::SqlCipherFile other(folder_.mainPath(), sample::kPassword);
    other.exec("ATTACH '" + folder_.updatePath().string() + "' AS u KEY '" + sample::kPassword +
               "'; INSERT INTO RNAValVehi2 (AnioImpuesto, Tipo, CodMar, CodMod, ModAnio, Importe) "
               "SELECT DISTINCT Anioimp, Tipo, CodMar, CodMod, Modanio, -1 FROM u.ValVehi2 v "
               "WHERE typeof(Anioimp) || typeof(Tipo) || typeof(CodMar) || typeof(CodMod) || "
               "typeof(Modanio) = 'integerintegerintegerintegerinteger' AND NOT EXISTS (SELECT 1 "
               "FROM RNAValVehi2 r WHERE r.AnioImpuesto = v.Anioimp AND r.Tipo = v.Tipo AND "
               "r.CodMar = v.CodMar AND r.CodMod = v.CodMod AND r.ModAnio = v.Modanio) LIMIT 10");
  };
  test::RunOutcome outcome = test::runAll(folder_.settings(5s), hooks);
  EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
  const std::int64_t added = outcome.report.tally(valuaciones2().title).added;
  EXPECT_EQ(count("SELECT count(*) FROM RNAValVehi2 WHERE Importe = -1"), 0);
  EXPECT_EQ(count(duplicates), duplicatesBefore);
  EXPECT_EQ(count("SELECT count(*) FROM RNAValVehi2"), rowsBefore + added + 10);
  EXPECT_EQ(added + 10,
            test::readMain(folder_.mainPath()).at("RNAValVehi2").rowids.size() - rowsBefore);
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
