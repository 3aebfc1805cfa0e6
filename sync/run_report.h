#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kestova {

// What a run did and what went wrong in it, kept so that a person can be told
// at the end. Failures of the same step of the same table are counted together
// and the first few are kept in full, so that a table that fails on every one
// of a million rows costs no more than one that fails once.
class RunReport {
 public:
  struct Failure {
    std::string table;     // the table or database the step worked on; empty for the run itself
    std::int64_t row = 0;  // 1-based position in the source table; 0 outside the rows
    std::string step;
    std::string message;
  };

  // How the source rows of one table ended.
  struct Tally {
    std::int64_t added = 0;
    std::int64_t updated = 0;
    std::int64_t unchanged = 0;  // already held every value: nothing written
    std::int64_t rejected = 0;  // key unusable: nothing of the row was written
    std::int64_t notSaved = 0;  // the row could not be saved or counted
  };

  void recordFailure(Failure failure);
  // The tally of `table`, created empty; tables keep the order of first use.
  Tally& tally(const std::string& table);

  bool clean() const { return failureCount_ == 0; }
  std::int64_t failureCount() const { return failureCount_; }

  // A short Spanish text for the person: what could not be opened and why,
  // and per table how its rows ended, with the first failure of each kind.
  std::string summary() const;
  // Every kept failure, one per line, with the counts of those not kept.
  std::string details() const;

 private:
  struct Group {
    std::int64_t count = 0;
    std::vector<Failure> first;
  };

  std::vector<std::pair<std::string, Tally>> tallies_;
  std::vector<std::pair<std::string, std::string>> groupOrder_;  // (table, step)
  std::map<std::pair<std::string, std::string>, Group> groups_;
  std::int64_t failureCount_ = 0;
};

}  // namespace kestova
