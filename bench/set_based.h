#pragma once

// The run's end result reached by one SQL script in one transaction instead of
// one saved row per source row: what a set-based rewrite of the table
// synchronisation would cost. The script follows the same rules as the run
// (first target row of a key in rowid order, last source row of a key wins,
// new keys added in the order they first appear, Alta kept, the SubCat guards)
// and is written for the SQLite in SQLCipher 3.4 (3.15): no UPSERT, no
// UPDATE ... FROM, no window functions.

#include "bench/bench_support.h"

namespace kestova::bench {

// Opens the layout's main file through the program's own data environment (so
// with the run's settings), runs the script and closes the file (checkpointed,
// in its original journal mode).
void runSetBased(const Layout& layout);

}  // namespace kestova::bench
