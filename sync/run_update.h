#pragma once

#include <cstdint>
#include <initializer_list>

#include "data/write_ahead_mode.h"
#include "sync/step_runner.h"
#include "sync/table_sync.h"

namespace kestova {

class DataEnvironment2;

// The run's last step: the main file's log is folded back into the file. When
// another program keeps the log from being folded, every saved row is safe in
// it and the next run finishes the work; when another program merely has the
// file open, the file keeps write-ahead mode until the next run (a note, not
// a failure).
inline constexpr Step kSettleStep{kSettleOperation, true};

// The sum of the source row counts in signed 32 bits, added left to right.
// Throws std::overflow_error when a count or a partial sum does not fit.
std::int32_t rowTotal(std::initializer_list<std::int64_t> counts);

// One whole run, the one entry point of the window, the tests and the
// benchmarks: opens the main connection, then for each table in run order its
// target and its source recordset (the update connection with the first of
// them), counts the source rows, checks that the update file is whole, brings
// the three tables up to date in order and settles the main file. Every step
// runs under `steps`. A connection that could not be opened is tried once: the
// recordsets on it are left closed and their tables are not processed (their
// rows count as not saved). An update file that is damaged, or lacks a table
// or a field a table reads, is not applied at all: no table is processed.
// Nothing is closed: the data environment keeps its members open. Returns the
// run's files, as far as they are known, for the warning to name.
RunFiles runUpdate(DataEnvironment2& environment, Progress& progress, StepRunner& steps);

}  // namespace kestova
