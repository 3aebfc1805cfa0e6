#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "field_value.h"
#include "key_index.h"

namespace kestova {

class Connection;
class Statement;
struct TableSchema;

// The rows of one table in the order the database delivers them, known by
// their position, as one state of the file: their row ids, their values (read
// when they are used) and a key index over chosen columns, read together.
// Positions stay valid until reload().
class TableRows {
 public:
  // Reads the row ids. Requires: `connection` and `schema` outlive the rows.
  TableRows(Connection& connection, const TableSchema& schema);
  ~TableRows();

  std::uint32_t size() const { return static_cast<std::uint32_t>(rowids_.size()); }
  std::int64_t rowid(std::uint32_t position) const { return rowids_[position]; }
  // The position of a row id, or KeyIndex::kNone.
  std::uint32_t positionOf(std::int64_t rowid) const;
  // Files a row this recordset added, at the end; returns its position.
  std::uint32_t append(std::int64_t rowid);

  // True when another program has committed to the file since the rows were read.
  bool stale() const;
  // Reads the row ids again, and the key index over the same columns.
  void reload();

  // The values of the row at `position`, in column order. Valid until the
  // next call. Throws when the row is no longer in the table.
  const std::vector<FieldValue>& values(std::uint32_t position);

  // The key index over `columns`, built from the same state of the file as
  // the row ids when it covers other columns or none was built yet.
  const KeyIndex& index(const std::vector<int>& columns);
  // The index built last, or none.
  KeyIndex* index() const { return index_.get(); }
  const std::vector<int>& indexColumns() const { return indexColumns_; }
  // The key the file now stores for `rowid` over the index's columns; none
  // when no filter can match it.
  std::optional<std::string> readKey(std::int64_t rowid);

 private:
  void readRowids();
  void buildIndex(const std::vector<int>& columns);
  bool readSequentially(std::uint32_t position);

  Connection& connection_;
  const TableSchema& schema_;
  std::vector<std::int64_t> rowids_;  // per position
  bool ascending_ = true;
  std::int64_t dataVersion_ = 0;  // the file's, when the rows were read

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
