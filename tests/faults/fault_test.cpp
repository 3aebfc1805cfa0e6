// Runs on a failing disk: reads, writes and syncs of the main database's files
// fail at chosen points of a run, through FaultVfs; and runs of an update file
// that cannot be applied whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "sync/table_definition.h"
#include "tests/faults/fault_support.h"
#include "tests/faults/fault_vfs.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using test::FaultVfs;
using test::TestFolder;
using Operation = FaultVfs::Operation;

struct FaultKind {
  const char* name;
  Operation operation;
  int code;
  bool sticky;  // the disk stays failed from then on
  friend void PrintTo(const FaultKind& kind, std::ostream* out) { *out << kind.name; }
};

// Operation counts of an undisturbed run: after opening, after the last row,
// once the main file has settled, and at the end, once the files are closed.
struct Phases {
  FaultVfs::Counts opened, rowsDone, settled, closed;
};

class DiskFault : public ::testing::TestWithParam<FaultKind> {
 protected:
  static void SetUpTestSuite() {
    pristine_ = std::make_unique<TestFolder>();
    sample::Options options{sample::Sizes{10, 40, 80}, 3};
    sample::createUpdateDatabase(pristine_->updatePath(), options);
    sample::createMainDatabase(pristine_->mainPath(), options);
    model_ = std::make_unique<test::RunModel>(pristine_->updatePath());
    initial_ = test::readMain(pristine_->mainPath());

    TestFolder folder;
    copyPristine(folder);
    {
      FaultVfs vfs(folder.mainPath());
      vfs.disarm();
      test::runAll(folder.settings(), {[&](std::int64_t pass) {
                                         if (pass == 1) phases_.opened = vfs.counts();
                                       },
                                       [&] { phases_.rowsDone = vfs.counts(); },
                                       [&] { phases_.settled = vfs.counts(); }});
      phases_.closed = vfs.counts();
    }
    reference_ = test::sortedRows(folder.mainPath());
  }

  static void TearDownTestSuite() {
    pristine_.reset();
    model_.reset();
  }

  static void copyPristine(const TestFolder& folder) {
    fs::copy_file(pristine_->mainPath(), folder.mainPath());
    fs::copy_file(pristine_->updatePath(), folder.updatePath());
  }

  // Points spread over a run: the first operation, within and at the end of
  // opening, through the rows, within and at the end of settling the main
  // file, and within and at the end of closing.
  static std::vector<std::int64_t> points(Operation operation) {
    const std::int64_t o = phases_.opened.of(operation), r = phases_.rowsDone.of(operation),
                       e = phases_.settled.of(operation), t = phases_.closed.of(operation);
    std::vector<std::int64_t> points = {
        1, o / 2, o,           o + 1, o + (r - o) / 3, o + 2 * (r - o) / 3,
        r, r + 1, (r + e) / 2, e,     e + 1,           t};
    std::erase_if(points, [&](std::int64_t n) { return n < 1 || n > t; });
    std::sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
  }

  static std::unique_ptr<TestFolder> pristine_;
  static std::unique_ptr<test::RunModel> model_;
  static test::MainRows initial_;
  static std::string reference_;  // the rows an undisturbed run leaves, sorted
  static Phases phases_;
};

std::unique_ptr<TestFolder> DiskFault::pristine_;
std::unique_ptr<test::RunModel> DiskFault::model_;
test::MainRows DiskFault::initial_;
std::string DiskFault::reference_;
Phases DiskFault::phases_;

// The run with the fault armed at operation `n`: where the fault struck, what
// the run said of it and what it left.
struct FaultyRun {
  std::string where;   // "opening", "pass N", "last pass", "settling", "closing"
  std::string failed;  // the failed operation, as FaultVfs names it
  test::RunOutcome outcome;
  std::string integrity, state;  // the main file's as fileState() gives it
  test::MainRows after;
};

FaultyRun runWithFault(const TestFolder& folder, const FaultKind& kind, std::int64_t n) {
  FaultyRun run;
  {
    FaultVfs vfs(folder.mainPath());
    vfs.arm(kind.operation, n, kind.code, kind.sticky);
    std::int64_t passes = 0;
    auto place = [&](const std::string& where) {
      if (run.where.empty() && vfs.failures() > 0) run.where = where;
    };
    run.outcome = test::runAll(
        folder.settings(),
        {[&](std::int64_t pass) {
           passes = pass;
           place(pass == 1 ? "opening" : "pass " + std::to_string(pass - 1));
         },
         [&] { place(passes == 0 ? "opening" : "last pass"); }, [&] { place("settling"); }});
    place("closing");
    run.failed = vfs.firstFailure();
  }
  run.state = test::fileState(folder.mainPath());
  run.integrity = test::integrityCheck(folder.mainPath());
  run.after = test::readMain(folder.mainPath());
  return run;
}

TEST_P(DiskFault, EachPointEndsTheRunWithTheFileWholeAndARerunCompletesIt) {
#ifdef _WIN32
  GTEST_SKIP() << "dozens of whole runs: minutes under Wine, so they run on Linux only";
#endif
  const FaultKind& kind = GetParam();
  const std::vector<std::int64_t> ns = points(kind.operation);
  ASSERT_GE(ns.size(), 5u) << "too few " << kind.name << " points to spread over a run";
  std::string record;
  for (std::int64_t n : ns) {
    TestFolder folder;
    copyPristine(folder);
    const std::string update = test::readBytes(folder.updatePath());
    FaultyRun run = runWithFault(folder, kind, n);
    SCOPED_TRACE(std::string(kind.name) + " at operation " + std::to_string(n) + " (" + run.failed +
                 ", " + run.where + ")");
    EXPECT_FALSE(run.failed.empty()) << "the fault did not fire";
    EXPECT_EQ(run.integrity, "ok");
    EXPECT_EQ(model_->unexplainedChanges(initial_, run.after), "");
    // A fault the run could work around need not be reported, but one that
    // cost a row must be.
    const bool complete = test::sortedRows(folder.mainPath()) == reference_;
    EXPECT_TRUE(complete || !run.outcome.report.clean())
        << "a clean report over an incomplete update";
    // The sample's keys are all usable: a disk's fault is never the key's.
    for (const TableDefinition* table : runTables())
      EXPECT_EQ(run.outcome.report.tally(table->title).rejected, 0) << table->title;

    test::RunOutcome rerun = test::runAll(folder.settings());
    EXPECT_TRUE(rerun.report.clean()) << rerun.report.details();
    // A row whose addition failed is added by the rerun, after rows the
    // faulty run added later: the same rows, not in the same order.
    EXPECT_EQ(test::sortedRows(folder.mainPath()), reference_);
    EXPECT_EQ(test::readBytes(folder.updatePath()), update);

    record += std::to_string(n) + " " + run.where + " (" + run.failed +
              "): " + std::to_string(run.outcome.report.failureCount()) + " failures, " +
              (complete ? "complete" : "incomplete") + ", left " + run.state + "; ";
  }
  RecordProperty("points", record);
}

// After the last row the main file's log is folded into it and the file
// returns to its own journal mode, so that it alone holds every saved row.
// When the disk fails just then, the person must not be told that all went
// well while the rows stay in a log beside the file.
TEST_P(DiskFault, AFailureWhileSettlingTheMainFileIsNotHiddenBehindACleanReport) {
  const FaultKind& kind = GetParam();
  TestFolder folder;
  copyPristine(folder);
  const FaultyRun run = runWithFault(folder, kind, phases_.rowsDone.of(kind.operation) + 1);
  ASSERT_EQ(run.where, "settling");
  EXPECT_TRUE(!run.outcome.report.clean() || run.state == "delete []")
      << "clean report; the main file was left " << run.state << " after " << run.failed;
}

// The log is folded into the file often enough that a run needs little more
// room on the disk than what the file grows by, however many rows it saves:
// the log never holds more than a few megabytes.
TEST(DiskRoom, TheLogStaysSmallHoweverManyRowsARunSaves) {
#ifdef _WIN32
  GTEST_SKIP() << "dozens of whole runs: minutes under Wine, so they run on Linux only";
#endif
  TestFolder folder;
  test::createFiles(folder, {{500, 5000, 20000}, 11});
  const fs::path log = folder.mainPath().string() + "-wal";
  std::uintmax_t largest = 0;
  test::runAll(folder.settings(), {[&](std::int64_t) {
                 if (fs::exists(log)) largest = std::max(largest, fs::file_size(log));
               }});
  // 4 MB between folds, and a row's transaction.
  EXPECT_TRUE(largest > 0 && largest <= std::uintmax_t{5} << 20) << largest;
}

INSTANTIATE_TEST_SUITE_P(
    Disk, DiskFault,
    ::testing::Values(FaultKind{"WriteError", Operation::Write, SQLITE_IOERR_WRITE, false},
                      FaultKind{"SyncError", Operation::Sync, SQLITE_IOERR_FSYNC, false},
                      FaultKind{"ReadError", Operation::Read, SQLITE_IOERR_READ, false},
                      FaultKind{"DiskFull", Operation::Write, SQLITE_FULL, true}),
    [](const auto& param) { return std::string(param.param.name); });

// An update file cut short, damaged where the run reads it only once rows are
// being written, or lacking what the run reads: nothing of it is applied, not
// even the tables before the damage, and the person is told to ask for it again.
struct DamagedUpdate {
  const char* name;
  const char* sql;                    // run on the update first, when given
  void (*damage)(std::string& file);  // then on its bytes, when given
  const char* says;                   // in the warning
  friend void PrintTo(const DamagedUpdate& damaged, std::ostream* out) { *out << damaged.name; }
};

constexpr char kDamaged[] = "está dañado, incompleto (copiado a medias, por ejemplo)";

const DamagedUpdate kDamagedUpdates[] = {
    {"SecondHalfZeros", nullptr,
     [](std::string& b) { std::fill(b.begin() + b.size() / 2, b.end(), 0); }, kDamaged},
    // The last brand's name fills pages of its own, the file's last: they
    // are read only when that row is copied.
    {"ALongValueChanged",
     "INSERT INTO Marcas VALUES (99, 99, hex(zeroblob(3000)), 1, 1, 1, 'A', 1.0)",
     [](std::string& b) { b[b.size() - 300] ^= 1; }, kDamaged},
    {"BrandsLackPeso",
     "CREATE TABLE m AS SELECT CodMar, CodMod, Nombre, Tipo, SubTipo, Categoria, SubCate FROM "
     "Marcas; DROP TABLE Marcas; ALTER TABLE m RENAME TO Marcas",
     nullptr, "le falta una tabla o un campo de Marcas y modelos"},
    {"LastTableMissing", "DROP TABLE ValVehi2", nullptr,
     "le falta una tabla o un campo de Valuaciones 2"},
};

class DamagedUpdates : public ::testing::TestWithParam<DamagedUpdate> {};

TEST_P(DamagedUpdates, ApplyNothingAndAskForTheFileAgain) {
  TestFolder folder;
  const sample::Options options{sample::Sizes{10, 40, 80}, 3};
  sample::createUpdateDatabase(folder.updatePath(), options);
  sample::createMainDatabase(folder.mainPath(), options);
  const DamagedUpdate& damaged = GetParam();
  if (damaged.sql) sample::SqlCipherFile(folder.updatePath(), sample::kPassword).exec(damaged.sql);
  std::string update = test::readBytes(folder.updatePath());
  if (damaged.damage) damaged.damage(update);
  std::ofstream(folder.updatePath(), std::ios::binary | std::ios::trunc) << update;
  const std::string main = test::readBytes(folder.mainPath());

  test::RunOutcome run = test::runAll(folder.settings());
  EXPECT_TRUE(test::readBytes(folder.mainPath()) == main) << "the main file changed";
  EXPECT_EQ(test::fileState(folder.mainPath()), "delete []");
  EXPECT_TRUE(test::readBytes(folder.updatePath()) == update) << "the update file changed";
  EXPECT_EQ(run.passes, 0);
  const std::string summary = run.report.summary({folder.mainPath().string(),
                                                  folder.updatePath().string(),
                                                  {"Marcas", "ValVehi1", "ValVehi2"}});
  EXPECT_NE(summary.find(damaged.says), std::string::npos) << summary;
  EXPECT_NE(summary.find("no aplicó nada de él"), std::string::npos) << summary;
  for (const TableDefinition* table : runTables()) {
    const RunReport::Tally& tally = run.report.tally(table->title);
    EXPECT_EQ(tally.added + tally.updated + tally.unchanged + tally.rejected, 0) << table->title;
  }
  RecordProperty("details", run.report.details());
}

INSTANTIATE_TEST_SUITE_P(Update, DamagedUpdates, ::testing::ValuesIn(kDamagedUpdates),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace kestova
