#pragma once

#include "sync/progress.h"
#include "sync/step_runner.h"
#include "sync/table_definition.h"

namespace kestova {

class DataEnvironment2;

// Brings one table of the main database up to date from the update database.
// For each source row, from the row the source stands on to its end: the
// progress advances; the target is filtered on the row's key; a row is added
// when none matches; the fields are copied into the target's current row (the
// first match, or the new row) and the row is saved by its own update().
// Nothing is deleted. Every step runs under `steps`; beyond that rule:
//  - a target that lacks a field the copies write gets none of the rows;
//  - a row whose key cannot be used is rejected: nothing of it is written;
//  - a row whose filter fails otherwise, whose matches cannot be counted, or
//    that cannot be added, is skipped;
//  - a failed end test or move to the next row ends the table;
//  - a lock another program held past the command time-out, or a request to
//    stop, ends the table and the run's writing: the rows not begun count as
//    not saved.
// Each row's outcome is counted in the report's tally for the table. Requires:
// both recordsets of the table are open. Returns false when the run must stop
// writing.
bool syncTable(const TableDefinition& table, DataEnvironment2& environment, Progress& progress,
               StepRunner& steps);

}  // namespace kestova
