#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "data/database_error.h"
#include "sync/key_text.h"
#include "sync/run_report.h"

namespace kestova {

// A step whose failures a person is told apart from the same failure at any
// other step: the run's final settling of the main file. Ordinary steps are
// named by their text alone.
struct Step {
  std::string_view name;
  bool settles = false;  // folds the main file's log back into the file
  constexpr operator std::string_view() const { return name; }
};

// The run's rule on errors: a step that fails ends where it failed, the
// failure is recorded with where it happened and its cause, and the run goes on
// with the next step. Every step of a run goes through run(); nothing else
// catches.
class StepRunner {
 public:
  explicit StepRunner(RunReport& report) : report_(report) {}

  // Where the next steps happen: a table and a 1-based source row (0: none).
  void setPlace(std::string table, std::int64_t row = 0) {
    table_ = std::move(table);
    row_ = row;
  }

  // Runs one step. True when it completed; false when it threw, in which case
  // the failure has been recorded.
  template <class Body>
  bool run(std::string_view step, Body&& body) {
    return run(Step{step}, std::forward<Body>(body));
  }
  template <class Body>
  bool run(const Step& step, Body&& body) {
    keyRejected_ = false;
    try {
      body();
      return true;
    } catch (const DatabaseError& failure) {
      writingStopped_ = writingStopped_ || failure.busy() ||
                        failure.cause() == DatabaseError::Cause::FileReplaced;
      record(step, failure.what(), failure.cause(), failure.object());
    } catch (const RejectedKey& failure) {
      keyRejected_ = true;
      record(step, failure.what(), DatabaseError::Cause::Other, {}, true);
    } catch (const std::exception& failure) {
      record(step, failure.what());
    } catch (...) {
      record(step, "error desconocido");
    }
    return false;
  }

  RunReport& report() { return report_; }
  // True when the last step failed because a source row's key cannot be used.
  bool keyRejected() const { return keyRejected_; }
  // True once a step failed because another program held a lock past the
  // command time-out (the run then stops writing rather than wait again), or
  // because the main file was replaced or removed.
  bool writingStopped() const { return writingStopped_; }

 private:
  void record(const Step& step, std::string message,
              DatabaseError::Cause cause = DatabaseError::Cause::Other, std::string object = {},
              bool keyRejected = false) {
    report_.recordFailure({table_, row_, std::string(step.name), std::move(message), cause,
                           std::move(object), keyRejected, step.settles});
  }

  RunReport& report_;
  std::string table_;
  std::int64_t row_ = 0;
  bool writingStopped_ = false;
  bool keyRejected_ = false;
};

}  // namespace kestova
