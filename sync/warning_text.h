#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "data/database_error.h"
#include "sync/run_report.h"

namespace kestova {

// The words of a run's warning, apart from the counting of RunReport: the
// summary told to office staff in Spanish (which file, where it was looked
// for, what to do; no step, recordset or internal table names) and the lines
// of the details for support.

// Which file a failure is about.
enum class FileRole { Main, Update };

// The failures of one kind about one file, told in one paragraph.
struct Topic {
  FailureKind kind = FailureKind::ByCause;
  DatabaseError::Cause cause = DatabaseError::Cause::Other;
  FileRole role = FileRole::Main;
  std::int64_t failures = 0;
  std::int64_t rows = 0;                                     // distinct source rows
  std::vector<std::pair<std::string, std::int64_t>> tables;  // title, rows
  std::vector<std::string> messages;                         // distinct, up to a bound
};

// A heading, one paragraph per topic, then how the rows of each table ended
// when any table met a row.
std::string warningSummary(const std::vector<Topic>& topics, const RunReport::Tallies& tallies,
                           const RunFiles& files);

// Lines of the details, each with its line break: a kept failure with where it
// happened, the count of those of one step not kept, a table's tally, a note.
std::string failureDetail(const RunReport::Failure& failure);
std::string moreFailuresDetail(const std::string& table, const std::string& step,
                               std::int64_t more);
std::string tallyDetail(const std::string& table, const RunReport::Tally& tally);
std::string noteDetail(const std::string& note);

}  // namespace kestova
