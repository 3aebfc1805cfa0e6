#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "data/field_value.h"
#include "data/key_index.h"

namespace kestova {

class Connection;
class Statement;
struct TableSchema;

// The rows of one table in the order the database delivers them, known by
// their position, as one state of the file: their row ids, their values (read
// when they are used) and a key index over chosen columns, read together.
// Positions stay valid until the rows are read again.
//
// On a read-only connection, whose one read transaction keeps the file as it
// is, the row ids are read at once. On a read-write one they are read when
// first needed, and then together with the key index when that is what is
// needed first: one pass over the table instead of two.
class TableRows {
 public:
  // Requires: `connection` and `schema` outlive the rows.
  TableRows(Connection& connection, const TableSchema& schema);
  ~TableRows();

  std::uint32_t size() {
    requireRows();
    return static_cast<std::uint32_t>(rowids_.size());
  }
  std::int64_t rowid(std::uint32_t position) {
    requireRows();
    return rowids_[position];
  }
  // The position of a row id, or KeyIndex::kNone.
  std::uint32_t positionOf(std::int64_t rowid);
  // Files a row this recordset added, at the end; returns its position.
  std::uint32_t append(std::int64_t rowid);

  // True when another program has committed to the file since the rows were
  // last read or followed.
  bool stale() const;
  // True when another program has committed since every row was last read:
  // rows known may since have changed their key or gone.
  bool changedSinceFullRead() const;
  // Files the rows other programs have added since: those past the highest
  // row id known, at the end, with their keys. Positions stay valid. Rows
  // added under lower row ids (chosen by the other program, or freed by
  // deleting the last rows) wait for the next reload(). Once the largest row
  // id is taken SQLite draws new ones at random, and this is a reload().
  void readNewRows();
  // True when another program has committed since every row was last read and
  // that read is old enough to be made again: at least a second ago, and ten
  // times as long ago as it took, so that reading again costs a run at most a
  // tenth of its time.
  bool reloadDue();
  // Reads every row id again, and the key index over the same columns.
  void reload();

  // The values of the row at `position`, in column order. Valid until the
  // next call. Throws when the row is no longer in the table.
  const std::vector<FieldValue>& values(std::uint32_t position);

  // The key index over `columns`, built when it covers other columns or none
  // was built yet, in one pass that also reads the row ids when they were
  // not read yet or another program has committed since.
  const KeyIndex& index(const std::vector<int>& columns);
  // The index built last, or none.
  KeyIndex* index() const { return index_.get(); }
  const std::vector<int>& indexColumns() const { return indexColumns_; }
  // The key the file now stores for `rowid` over the index's columns; none
  // when no filter can match it.
  std::optional<std::string> readKey(std::int64_t rowid);

 private:
  using Clock = std::chrono::steady_clock;

  void requireRows();
  void readRowids();
  void readWithIndex(const std::vector<int>& columns, bool withRowids);
  void rowidsRead(Clock::time_point started);
  bool readSequentially(std::uint32_t position);

  Connection& connection_;
  const TableSchema& schema_;
  bool rowsRead_ = false;
  std::vector<std::int64_t> rowids_;  // per position
  bool ascending_ = true;
  std::int64_t lastRowid_ = 0;    // the highest row id known
  std::int64_t dataVersion_ = 0;  // the file's, when the rows were last read or followed
  std::int64_t fullVersion_ = 0;  // the file's, when every row was last read
  Clock::time_point nextReload_;  // no reload() is due before

  std::vector<int> indexColumns_;
  std::unique_ptr<KeyIndex> index_;
  std::unique_ptr<Statement> selectKey_;

  std::unique_ptr<Statement> selectRow_;
  std::unique_ptr<Statement> sequential_;  // read-only files: every row, in order
  std::int64_t sequentialPosition_ = -1;   // the row sequential_ stands on
  std::uint32_t loadedPosition_ = KeyIndex::kNone;
  std::vector<FieldValue> loaded_;
};

}  // namespace kestova
