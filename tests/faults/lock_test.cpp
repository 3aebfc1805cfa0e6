// Runs on a main file that another program has locked for writing.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#ifndef _WIN32
#include <sys/xattr.h>
#endif

#include <atomic>
#include <fstream>
#include <map>
#include <optional>
#include <thread>

#include "data/data_environment.h"
#include "data/statement.h"
#include "platform/file_identity.h"
#include "platform/user_folders.h"
#include "sync/table_definition.h"
#include "tests/faults/fault_support.h"
#include "tests/faults/fault_vfs.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FaultVfs;
using test::TestFolder;

// Where a run notes the journal mode of `file` while it leaves the file in
// write-ahead mode: with the user, named after the file's identity.
fs::path noteOf(const fs::path& file) {
  const FileIdentity identity = fileIdentity(file).value();
  return stateFolder() /
         ("journal-mode-" + std::to_string(identity.device) + "-" + std::to_string(identity.inode));
}

struct Holder {
  const char* name;
  const char* begin;  // what the other program runs to take its lock
  const char* mode;   // the main file's journal mode before the run
};

class HeldLock : public ::testing::TestWithParam<Holder> {};

// The lock is waited for once, for the command time-out, not once per row:
// then the run stops writing, and every row counts as not saved.
TEST_P(HeldLock, IsWaitedForOnceThenTheRunStopsAndChangesNothing) {
  const Holder& holder = GetParam();
  TestFolder folder;
  const std::int64_t rows[] = {20, 30, 30};
  test::createFiles(folder, {{rows[0], rows[1], rows[2]}, 4}, holder.mode);
  const std::string before = test::dumpMain(folder.mainPath());
  const std::string update = test::readBytes(folder.updatePath());

  test::RunOutcome outcome;
  {
    sample::SqlCipherFile other(folder.mainPath(), sample::kPassword);
    other.exec(holder.begin);
    outcome = test::runAll(folder.settings(200ms));
    other.exec("ROLLBACK");
  }

  RunReport& report = outcome.report;
  EXPECT_NE(report.details().find("database is locked"), std::string::npos) << report.details();
  EXPECT_EQ(report.failureCount(), 1) << report.details();
  for (std::size_t i = 0; i < runTables().size(); ++i) {
    const RunReport::Tally& tally = report.tally(runTables()[i]->title);
    EXPECT_EQ(std::vector<std::int64_t>(
                  {tally.added, tally.updated, tally.unchanged, tally.rejected, tally.notSaved}),
              std::vector<std::int64_t>({0, 0, 0, 0, rows[i]}))
        << runTables()[i]->title;
  }
  EXPECT_EQ(test::integrityCheck(folder.mainPath()), "ok");
  EXPECT_EQ(test::dumpMain(folder.mainPath()), before);
  EXPECT_EQ(test::fileState(folder.mainPath()), std::string(holder.mode) + " []");
  EXPECT_EQ(test::readBytes(folder.updatePath()), update);
  RecordProperty("report", report.details());
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

// A main file shared with other programs, its update, and what an undisturbed
// run makes of them.
class SharedMainFile : public ::testing::Test {
 protected:
  void SetUp() override {
    test::createFiles(folder_, {sizes_, 4});
    fs::copy_file(folder_.mainPath(), undisturbed_.mainPath());
    fs::copy_file(folder_.updatePath(), undisturbed_.updatePath());
    ASSERT_TRUE(test::runAll(undisturbed_.settings()).report.clean());
    reference_ = test::dumpMain(undisturbed_.mainPath());
    referenceRows_ = test::sortedRows(undisturbed_.mainPath());
  }

  // The file as an undisturbed run leaves it.
  void expectCompleteUpdate(const test::RunOutcome& outcome) {
    EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
    EXPECT_EQ(test::dumpMain(folder_.mainPath()), reference_);
    EXPECT_EQ(test::fileState(folder_.mainPath()), "delete []");
  }

  sample::Sizes sizes_{10, 30, 60};
  TestFolder folder_, undisturbed_;  // the second: the files an undisturbed run leaves
  std::string reference_, referenceRows_;
};

// When another program lets go of its lock: before the run opens the file, or
// once a row has been saved (pass 50).
struct Release {
  const char* name;
  const char* begin;  // what the other program runs to take its lock
  std::int64_t pass;  // 0: before the run
};

class ReleasedLock : public SharedMainFile, public ::testing::WithParamInterface<Release> {};

TEST_P(ReleasedLock, IsWaitedForAndTheRunCompletes) {
  std::optional<sample::SqlCipherFile> other(std::in_place, folder_.mainPath(), sample::kPassword);
  FaultVfs vfs(folder_.mainPath());
  std::thread releaser;
  // The other program lets go 100 ms after the run was first refused its
  // lock, and closes the file.
  auto take = [&] {
    other->exec(GetParam().begin);
    releaser = std::thread([&] {
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      while (vfs.busyLocks() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
      std::this_thread::sleep_for(100ms);
      other->exec("ROLLBACK");
      other.reset();
    });
  };
  if (GetParam().pass == 0) take();
  test::RunOutcome outcome = test::runAll(folder_.settings(5s), {[&](std::int64_t pass) {
                                            if (pass == GetParam().pass) take();
                                          }});
  releaser.join();
  EXPECT_GT(vfs.busyLocks(), 0) << "the run never waited";
  expectCompleteUpdate(outcome);
}

INSTANTIATE_TEST_SUITE_P(Lock, ReleasedLock,
                         ::testing::Values(Release{"ImmediateAtOpen", "BEGIN IMMEDIATE", 0},
                                           Release{"ExclusiveAtOpen", "BEGIN EXCLUSIVE", 0},
                                           Release{"ImmediateBetweenRows", "BEGIN IMMEDIATE", 50}),
                         [](const auto& param) { return std::string(param.param.name); });

// A main file its owner keeps in write-ahead mode is left in it, also when
// a note of a file no longer at its path bears its identity.
TEST_F(SharedMainFile, AFileItsOwnerKeepsInWriteAheadModeStaysSo) {
  sample::SqlCipherFile(folder_.mainPath(), sample::kPassword).exec("PRAGMA journal_mode = WAL");
  fs::create_directories(stateFolder());
  std::ofstream(noteOf(folder_.mainPath()))
      << "delete\n" + (folder_.root() / "gone.mdb").string() + "\n";
  test::RunOutcome outcome = test::runAll(folder_.settings(5s));
  EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
  EXPECT_EQ(test::dumpMain(folder_.mainPath()), reference_);
  EXPECT_EQ(test::fileState(folder_.mainPath()), "wal []");
}

#ifndef _WIN32
// When the journal mode cannot be noted, the file is not switched to
// write-ahead mode: the run saves every row in the file's own mode.
TEST_F(SharedMainFile, WithoutItsNoteTheFileKeepsItsOwnMode) {
  const std::string state = std::getenv("XDG_STATE_HOME");
  std::ofstream(folder_.root() / "file") << "not a folder";
  ::setenv("XDG_STATE_HOME", (folder_.root() / "file").c_str(), 1);
  bool logged = false;
  test::RunOutcome outcome = test::runAll(
      folder_.settings(5s),
      {[&](std::int64_t) { logged = logged || fs::exists(folder_.mainPath().string() + "-wal"); }});
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  EXPECT_FALSE(logged);
  expectCompleteUpdate(outcome);
}
#endif

// A second Kestova started on the same files while a run goes on (a double
// launch) is refused before it writes anything.
TEST_F(SharedMainFile, ASecondRunMeanwhileIsRefusedAndWritesNothing) {
  test::RunOutcome second;
  test::RunOutcome first = test::runAll(folder_.settings(5s), {[&](std::int64_t pass) {
                                          if (pass == 5)
                                            second = test::runAll(folder_.settings(5s));
                                        }});
  expectCompleteUpdate(first);
  EXPECT_EQ(second.passes, 0);
  EXPECT_EQ(second.report.failureCount(), 1) << second.report.details();
  EXPECT_NE(second.report.details().find("otro Kestova"), std::string::npos)
      << second.report.details();
}

// Another program (Nevaro, say) adds rows during the run with keys the run is
// about to add: the run finds and updates them instead of adding the keys a
// second time, and the main file holds the rows an undisturbed run leaves.
TEST_F(SharedMainFile, KeysAnotherProgramAddsDuringTheRunAreNotAddedAgain) {
  std::int64_t inserted = 0;
  test::RunOutcome outcome = test::runAll(
      folder_.settings(5s), {[&](std::int64_t pass) {
        if (pass != 45) return;  // in the last table, once its key index is built
        sample::SqlCipherFile other(folder_.mainPath(), sample::kPassword);
        other.exec(
            "ATTACH '" + folder_.updatePath().string() + "' AS u KEY '" + sample::kPassword +
            "'; INSERT INTO RNAValVehi2 (AnioImpuesto, Tipo, CodMar, CodMod, ModAnio, Importe) "
            "SELECT DISTINCT Anioimp, Tipo, CodMar, CodMod, Modanio, -1 FROM u.ValVehi2 v "
            "WHERE typeof(Anioimp) || typeof(Tipo) || typeof(CodMar) || typeof(CodMod) || "
            "typeof(Modanio) = 'integerintegerintegerintegerinteger' AND NOT EXISTS (SELECT 1 "
            "FROM RNAValVehi2 r WHERE r.AnioImpuesto = v.Anioimp AND r.Tipo = v.Tipo AND "
            "r.CodMar = v.CodMar AND r.CodMod = v.CodMod AND r.ModAnio = v.Modanio) LIMIT 10");
        Statement changes(other.handle(), "SELECT changes()", "RNAValVehi2");
        changes.step();
        inserted = changes.columnInt64(0);
      }});
  EXPECT_EQ(inserted, 10);
  EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
  EXPECT_EQ(test::sortedRows(folder_.mainPath()), referenceRows_);
}

// Another program (Nevaro, say) saves one short transaction after another all
// through the run, each of which changes Importe of the first RNAValVehi2 row
// holding a key, or adds the key when no row holds it: keys the run adds later
// (it must find the other program's row rather than add the key again), keys
// the run added earlier (the other program's value must stay), and keys the
// update does not have. Each key must end with the values of the program that
// committed to it last: the file an undisturbed run leaves, with the other
// program's saves that came after the run's own write of their key made on it.
class AnotherWriter : public SharedMainFile {
 protected:
  AnotherWriter() { sizes_ = {10, 30, 500}; }

  struct Save {
    std::vector<std::int64_t> key;
    double importe;
    bool last;  // no later write of the run's
  };
  static void save(sqlite3* db, const Save& save) {
    const std::string where =
        " WHERE AnioImpuesto = ?1 AND Tipo = ?2 AND CodMar = ?3 AND CodMod = ?4 AND ModAnio = ?5";
    Statement change(db,
                     "UPDATE RNAValVehi2 SET Importe = ?6 WHERE rowid = (SELECT min(rowid) FROM "
                     "RNAValVehi2" +
                         where + ")",
                     "RNAValVehi2");
    Statement add(db,
                  "INSERT INTO RNAValVehi2 (AnioImpuesto, Tipo, CodMar, CodMod, ModAnio, Importe) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                  "RNAValVehi2");
    for (Statement* statement : {&change, &add}) {
      for (int i = 0; i < 5; ++i) statement->bind(i + 1, save.key[i]);
      statement->bind(6, save.importe);
    }
    if (change.execute() == 0) add.execute();
  }
};

TEST_F(AnotherWriter, SavingAllThroughTheRunLosesNoWriteOfEitherAndAddsNoKeyTwice) {
  // The update's keys the main file lacks and the update holds once, by the
  // pass that writes them.
  std::map<std::int64_t, std::vector<std::int64_t>> newKeys;
  {
    sample::SqlCipherFile update(folder_.updatePath(), sample::kPassword);
    update.exec("ATTACH '" + folder_.mainPath().string() + "' AS m KEY '" + sample::kPassword +
                "'");
    auto key = [](const std::string& of) {
      return "(" + of + "Anioimp, " + of + "Tipo, " + of + "CodMar, " + of + "CodMod, " + of +
             "Modanio)";
    };
    Statement select(update.handle(),
                     "SELECT (SELECT count(*) FROM ValVehi2 w WHERE w.rowid <= v.rowid), * FROM "
                     "ValVehi2 v WHERE typeof(Anioimp + Tipo + CodMar + CodMod + Modanio) = "
                     "'integer' AND (SELECT count(*) FROM ValVehi2 w WHERE " +
                         key("w.") + " = " + key("v.") + ") = 1 AND " + key("v.") +
                         " NOT IN (SELECT AnioImpuesto, Tipo, CodMar, CodMod, ModAnio FROM "
                         "m.RNAValVehi2)",
                     "ValVehi2");
    while (select.step())
      for (int i = 1; i < 6; ++i)
        newKeys[sizes_.marcas + sizes_.valVehi1 + select.columnInt64(0)].push_back(
            select.columnInt64(i));
  }
  ASSERT_GT(newKeys.size(), 100u);

  std::atomic<std::int64_t> pass{0}, committed{0};
  std::atomic<bool> running{true};
  std::vector<Save> saves;
  std::int64_t failed = 0;
  // Opened before the run, which may lock the file for a moment as it opens,
  // and closed before the run settles the file.
  std::optional<sample::SqlCipherFile> file(std::in_place, folder_.mainPath(), sample::kPassword);
  // It asks for the lock again every 100 µs, for at most 10 s.
  sqlite3_busy_handler(
      file->handle(),
      [](void*, int attempt) {
        std::this_thread::sleep_for(100us);
        return attempt < 100'000 ? 1 : 0;
      },
      nullptr);
  std::thread other([&] {
    for (std::int64_t n = 0; running; ++n) {
      try {
        file->exec("BEGIN IMMEDIATE");
        // The run's pass p is under way: passes before it have committed,
        // passes after it will commit after this save.
        const std::int64_t p = pass;
        const std::int64_t skip = n / 3 % 7;
        Save next{{1800 + n % 5, 1, 1, 1, 2000}, -1.0 - static_cast<double>(n), true};
        if (n % 3 == 0) {
          auto ahead = newKeys.upper_bound(p + skip);
          if (ahead != newKeys.end()) next = {ahead->second, next.importe, false};
        } else if (n % 3 == 1) {
          auto behind = newKeys.lower_bound(p - skip);
          if (behind != newKeys.begin()) next.key = std::prev(behind)->second;
        }
        save(file->handle(), next);
        file->exec("COMMIT");
        saves.push_back(next);
        ++committed;
      } catch (const DatabaseError&) {
        ++failed;
        sqlite3_exec(file->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  // Every eighth pass waits (a second at most) for one more save, so that
  // saves come all through the run however fast it goes.
  auto onPass = [&](std::int64_t n) {
    pass = n;
    const auto until = std::chrono::steady_clock::now() + 1s;
    for (const std::int64_t target = committed + 1;
         n % 8 == 0 && committed < target && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(100us);
  };
  test::RunOutcome outcome = test::runAll(folder_.settings(5s), {onPass, [&] {
                                                                   running = false;
                                                                   other.join();
                                                                   file.reset();
                                                                 }});
  EXPECT_TRUE(outcome.report.clean()) << outcome.report.details();
  EXPECT_EQ(failed, 0);
  EXPECT_GT(saves.size(), 50u);
  sample::SqlCipherFile expected(undisturbed_.mainPath(), sample::kPassword);
  for (const Save& made : saves)
    if (made.last) save(expected.handle(), made);
  EXPECT_EQ(test::sortedRows(folder_.mainPath()), test::sortedRows(undisturbed_.mainPath()));
}

// The log lets other programs read the main file during a run. One that
// merely has the file open as the run ends keeps it in write-ahead mode: not
// a failure, since the file alone holds every saved row (a note on standard
// error says so). One that holds an old snapshot keeps the log from being
// folded into the file: that is told. Either way, once the other program has
// closed the file, the next run returns it to its own mode.
class ReaderAtTheEnd : public SharedMainFile, public ::testing::WithParamInterface<bool> {};

TEST_P(ReaderAtTheEnd, IsToldOnlyWhenItKeepsRowsOutOfTheFile) {
  {
    sample::SqlCipherFile reader(folder_.mainPath(), sample::kPassword);
    test::RunOutcome first = test::runAll(folder_.settings(5s), {[&](std::int64_t pass) {
                                            if (pass == 50)
                                              reader.exec(std::string(GetParam() ? "BEGIN; " : "") +
                                                          "SELECT count(*) FROM RNAValVehi1");
                                          }});
    EXPECT_EQ(first.report.failureCount(), GetParam() ? 1 : 0) << first.report.details();
    EXPECT_EQ(first.report.notes().empty(), GetParam()) << first.report.details();
    EXPECT_NE(first.report.details().find("otro programa"), std::string::npos);
    // With a snapshot held, the file alone is not even one whole state.
    if (!GetParam() && fs::copy_file(folder_.mainPath(), folder_.root() / "alone.mdb")) {
      EXPECT_EQ(test::dumpMain(folder_.root() / "alone.mdb"), reference_);
    }
  }
  // The mode is noted with the user; nothing is left on the file or beside it.
  const fs::path main = folder_.mainPath();
  EXPECT_EQ(test::readBytes(noteOf(main)), "delete\n" + main.string() + "\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(main.parent_path()), {}), 1);
#ifndef _WIN32
  EXPECT_LE(::listxattr(main.c_str(), nullptr, 0), 0);
#endif
  expectCompleteUpdate(test::runAll(folder_.settings(5s)));
  EXPECT_FALSE(fs::exists(noteOf(main)));
}

INSTANTIATE_TEST_SUITE_P(Lock, ReaderAtTheEnd, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Snapshot" : "Open"; });

// A disk error as the main file switches to write-ahead mode leaves a wait
// for another program's lock as long as before, not the second the switch
// waits: here the other program lets go after one and a half seconds.
TEST(LockWait, IsTheCommandTimeOutAgainAfterAFailedSwitchToTheLog) {
  TestFolder folder;
  test::createFiles(folder, {{1, 1, 1}, 4});
  FaultVfs vfs(folder.mainPath());
  std::optional<sample::SqlCipherFile> other;
  std::optional<std::chrono::steady_clock::time_point> since;
  DataSettings settings = folder.settings(10s);
  settings.whileWaiting = [&] {
    if (!since) since = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::now() - *since > 1500ms) other.reset();
  };
  DataEnvironment2 environment(settings);
  environment.openConnection("Nevaro");
  Connection& main = environment.connection("Nevaro");
  vfs.arm(FaultVfs::Operation::Write, 1, SQLITE_IOERR_WRITE);
  EXPECT_THROW(main.begin(), DatabaseError);
  ASSERT_EQ(vfs.failures(), 1);
  other.emplace(folder.mainPath(), sample::kPassword);
  other->exec("BEGIN EXCLUSIVE");
  EXPECT_NO_THROW(main.readCurrent());
  EXPECT_FALSE(other.has_value());
}

}  // namespace
}  // namespace kestova
