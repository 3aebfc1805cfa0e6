#pragma once

#include "step_runner.h"
#include "table_definition.h"

namespace kestova {

class DataEnvironment2;

// Told at the start of every pass, before the pass touches the target, so
// that the window can show how much of the run is done.
class Progress {
 public:
  virtual ~Progress() = default;
  virtual void advance() = 0;
};

// Brings one table of the main database up to date from the update database.
// For each source row, from the row the source stands on to its end: the
// progress advances; the target is filtered on the row's key; a row is added
// when none matches; the fields are copied into the target's current row (the
// first match, or the new row) and the row is saved by its own update().
// Nothing is deleted. Every step runs under `steps`; beyond that rule:
//  - a row whose key cannot be used is rejected: nothing of it is written;
//  - a row whose matches cannot be counted, or that cannot be added, is skipped;
//  - a failed end test or move to the next row ends the table;
//  - a table whose recordsets are not both open is not processed at all.
// Each row's outcome is counted in the report's tally for the table.
void syncTable(const TableDefinition& table, DataEnvironment2& environment, Progress& progress,
               StepRunner& steps);

// When the main database is open, makes it whole (Connection::settle), as a
// step of its own so that a disk error there is reported like any other.
void settleMainDatabase(DataEnvironment2& environment, StepRunner& steps);

// The three tables in run order, each to the end of its source, then
// settleMainDatabase().
void syncTables(DataEnvironment2& environment, Progress& progress, StepRunner& steps);

}  // namespace kestova
