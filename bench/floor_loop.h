#pragma once

// The floor under a run: the same inserts and updates the run makes, over
// connections opened with the same settings, one autocommit statement per
// source row and nothing else around them. Which target row each source row
// goes to is worked out beforehand (planFloor), from the key rules the window's
// run follows, so the timed part (runFloor) only reads the update file and
// writes the main one.

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "bench/bench_support.h"

namespace kestova::bench {

// Per table in run order (Marcas, ValVehi1, ValVehi2), one entry per source row
// in delivery order: a target rowid (> 0) to update; kInsert to add a row;
// -(k + 1) to update the row that the table's k-th insert added; kSkip for a
// row whose key cannot be used, which the run rejects without writing.
struct FloorPlan {
  static constexpr std::int64_t kInsert = 0;
  static constexpr std::int64_t kSkip = INT64_MIN;

  std::array<std::vector<std::int64_t>, 3> tables;

  std::int64_t sourceRows() const;
  void save(const std::filesystem::path& file) const;
  static FloorPlan load(const std::filesystem::path& file);
};

// Reads the layout's update file and start main file (read-only).
FloorPlan planFloor(const Layout& layout);

struct FloorOutcome {
  std::int64_t inserted = 0;
  std::int64_t updated = 0;
};

// Writes the plan into the layout's main file, through the program's own data
// environment, and closes it (checkpointed, in its original journal mode).
FloorOutcome runFloor(const Layout& layout, const FloorPlan& plan);

}  // namespace kestova::bench
