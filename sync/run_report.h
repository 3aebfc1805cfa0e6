#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "data/database_error.h"

namespace kestova {

// The two files of a run as a person knows them, so that a failure can be told
// as "the main database" or "the update file" with the place it was looked
// for. A failure that names neither the update file nor one of its tables is
// taken to be about the main database, the only file a run writes.
struct RunFiles {
  std::string main;                       // the main database's resolved path; empty when not known
  std::string update;                     // the update file's resolved path; empty when not known
  std::vector<std::string> updateTables;  // the update file's tables, as the database names them
  bool administratorCouldWrite = false;   // as DataSettings says
  bool startedInTemporaryFolder = false;  // as DataSettings says
};

// What a person is told a failure was: most are told by the database's cause;
// two are told apart from it, a source row whose key could not be used and the
// run's final settling held up by another program (every row is safe then).
enum class FailureKind { ByCause, KeyRejected, SettleHeldUp };

// What a run did and what went wrong in it, kept so that a person can be told
// at the end. Failures of the same step of the same table are counted together
// and the first few are kept in full (and the first of each different message),
// so that a table that fails on every one of a million rows costs no more than
// one that fails once.
class RunReport {
 public:
  struct Failure {
    std::string table;     // the table the step worked on, by its title; empty for the run itself
    std::int64_t row = 0;  // 1-based position in the source table; 0 outside the rows
    std::string step;
    std::string message;  // the whole error: operation, object and the database's own words
    DatabaseError::Cause cause = DatabaseError::Cause::Other;
    std::string object;        // the file, table or field the error names; empty when none
    bool keyRejected = false;  // the row's key could not be used: nothing of it was written
    bool settles = false;      // the step was the run's final settling of the main file
  };

  // How the source rows of one table ended.
  struct Tally {
    std::int64_t added = 0;
    std::int64_t updated = 0;
    std::int64_t unchanged = 0;  // already held every value: nothing written
    std::int64_t rejected = 0;   // key unusable: nothing of the row was written
    std::int64_t notSaved = 0;   // the row could not be saved or counted
  };
  using Tallies = std::vector<std::pair<std::string, Tally>>;  // in the order of first use

  void recordFailure(Failure failure);
  // The tally of `table`, created empty; tables keep the order of first use.
  Tally& tally(const std::string& table);

  // Something support may want to know that is not a failure: a run with
  // notes alone is clean.
  void addNote(std::string note) { notes_.push_back(std::move(note)); }

  bool clean() const { return failureCount_ == 0; }
  std::int64_t failureCount() const { return failureCount_; }

  // The Spanish text for the person: each distinct cause once, in words office
  // staff know (which file, where it was looked for, what to do), then per
  // table how its rows ended. No step, recordset or internal table names.
  std::string summary(const RunFiles& files = {}) const;
  // Every kept failure, one per line, with the counts of those not kept, the
  // notes and the tallies: for standard error and the warning's details.
  std::string details() const;
  // The notes, one per line: what a clean run writes on standard error.
  std::string notes() const;

 private:
  struct Group {
    std::int64_t count = 0;
    std::vector<Failure> kept;
    std::vector<std::string> messages;  // the distinct messages met, up to a bound
  };

  // Failures of one kind on one object of one table: one paragraph of the
  // summary, or part of one.
  struct Kind {
    FailureKind kind = FailureKind::ByCause;
    DatabaseError::Cause cause = DatabaseError::Cause::Other;
    std::string object;
    std::string table;
    auto operator<=>(const Kind&) const = default;
  };
  struct KindCount {
    std::int64_t failures = 0;
    std::int64_t rows = 0;  // distinct source rows among them
    std::int64_t lastRow = 0;
    std::vector<std::string> messages;  // distinct, up to a bound
  };

  std::vector<std::string> notes_;
  Tallies tallies_;
  std::vector<std::pair<std::string, std::string>> groupOrder_;  // (table, step)
  std::map<std::pair<std::string, std::string>, Group> groups_;
  std::vector<Kind> kindOrder_;
  std::map<Kind, KindCount> kinds_;
  std::int64_t failureCount_ = 0;
};

}  // namespace kestova
