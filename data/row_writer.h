#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "data/field_value.h"

namespace kestova {

class Connection;
class Statement;
struct TableSchema;

// Writes one row of a table at a time through statements prepared once per
// set of columns. Each write must change exactly one row: one the database
// drops without an error (a trigger's RAISE(IGNORE), an ON CONFLICT IGNORE),
// or that changes several, throws DatabaseError. Transactions are the
// caller's.
class RowWriter {
 public:
  // The values to write: `values[column]` for each of `columns`. They are
  // bound without a copy, so they must not change during a call.
  using Values = std::vector<std::optional<FieldValue>>;

  RowWriter(Connection& connection, const TableSchema& schema);
  ~RowWriter();

  // True when row `rowid` already holds every value, as its columns would
  // store it (their affinity applied), byte for byte.
  bool holds(std::int64_t rowid, const std::vector<int>& columns, const Values& values);
  // Inserts a row with the values (the rest take their defaults); returns its row id.
  std::int64_t insert(const std::vector<int>& columns, const Values& values);
  void update(std::int64_t rowid, const std::vector<int>& columns, const Values& values);

 private:
  enum class Sql { Insert, Update, Compare };

  Statement& statement(Sql kind, const std::vector<int>& columns);
  std::string sqlFor(Sql kind, const std::vector<int>& columns) const;
  void requireOneRowChanged(std::int64_t changed) const;

  Connection& connection_;
  const TableSchema& schema_;
  std::map<std::pair<Sql, std::vector<int>>, std::unique_ptr<Statement>> statements_;
  // The statement of each kind used last: rows mostly write the same columns.
  struct LastUsed {
    std::vector<int> columns;
    Statement* statement = nullptr;
  };
  std::array<LastUsed, 3> lastUsed_;
  bool lastHeld_ = false;  // the last row compared already held its values
};

}  // namespace kestova
