#include "data/table_rows.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "data/connection.h"
#include "data/database_error.h"
#include "data/statement.h"
#include "data/table_schema.h"

namespace kestova {

namespace {

constexpr std::uint32_t kNone = KeyIndex::kNone;
constexpr std::int64_t kLargestRowid = std::numeric_limits<std::int64_t>::max();
constexpr std::chrono::seconds kLeastBetweenReloads{1};
constexpr int kReloadShare = 10;  // reloads take at most one part in this of the time

// Appends the key of the row `row` stands on, from `count` columns starting at
// `first`; false when no filter can match it.
bool appendKey(std::string& key, const Statement& row, int first, std::size_t count) {
  bool matchable = true;
  for (std::size_t i = 0; i < count && matchable; ++i)
    matchable = appendKeyPart(key, row.column(first + static_cast<int>(i)));
  return matchable;
}

// Read with the keys, the row ids take the scan's positions: the table as the
// file holds it. Row ids read before, when no other program has committed
// since, keep theirs, and the rows added since stay last.
class ScanPositions {
 public:
  ScanPositions(std::vector<std::int64_t>& rowids, bool ascending, bool withRowids)
      : rowids_(rowids), ascending_(ascending), withRowids_(withRowids) {
    if (!withRowids && !ascending)
      for (std::uint32_t i = 0; i < rowids.size(); ++i) positions_.emplace(rowids[i], i);
  }

  std::uint32_t operator()(std::int64_t rowid) {
    if (withRowids_) {
      rowids_.push_back(rowid);
      return static_cast<std::uint32_t>(rowids_.size() - 1);
    }
    if (!ascending_) {
      auto found = positions_.find(rowid);
      return found == positions_.end() ? kNone : found->second;
    }
    // The scan meets row ids in ascending order, so positions only move forward.
    while (next_ < rowids_.size() && rowids_[next_] < rowid) ++next_;
    return next_ < rowids_.size() && rowids_[next_] == rowid ? static_cast<std::uint32_t>(next_)
                                                             : kNone;
  }

 private:
  std::vector<std::int64_t>& rowids_;
  bool ascending_, withRowids_;
  std::unordered_map<std::int64_t, std::uint32_t> positions_;
  std::size_t next_ = 0;
};

}  // namespace

TableRows::TableRows(Connection& connection, const TableSchema& schema)
    : connection_(connection), schema_(schema) {
  sqlite3* db = connection.handle();
  const std::string table = schema.quotedTable();
  selectRow_ = std::make_unique<Statement>(
      db, "SELECT " + table + ".* FROM " + table + " WHERE " + schema.rowid + " = ?", schema.table);
  if (!connection.readOnly()) return;
  requireRows();
  // A read-only connection holds one read transaction, so a cursor stepping
  // through the table meets the same rows in the same order as the scan of
  // row ids, and reads a source row by row for less than a lookup by row id.
  sequential_ = std::make_unique<Statement>(
      db, "SELECT " + schema.rowid + ", " + table + ".* FROM " + table + " NOT INDEXED",
      schema.table);
}

TableRows::~TableRows() = default;

void TableRows::requireRows() {
  if (rowsRead_) return;
  ReadTransaction snapshot(connection_);
  readRowids();
}

void TableRows::readRowids() {
  const Clock::time_point started = Clock::now();
  // NOT INDEXED keeps the table's own order, the one in which the command
  // delivers its rows.
  Statement scan(connection_.handle(),
                 "SELECT " + schema_.rowid + " FROM " + schema_.quotedTable() + " NOT INDEXED",
                 schema_.table);
  rowids_.clear();
  while (scan.step()) rowids_.push_back(scan.columnInt64(0));
  rowidsRead(started);
}

void TableRows::rowidsRead(Clock::time_point started) {
  if (rowids_.size() >= kNone)
    throw DatabaseError("Abrir el recordset", schema_.table, "la tabla tiene demasiadas filas");
  // Row ids are ascending unless the table's ran out and SQLite reused lower ones.
  ascending_ = std::is_sorted(rowids_.begin(), rowids_.end());
  lastRowid_ = rowids_.empty() ? std::numeric_limits<std::int64_t>::min()
               : ascending_    ? rowids_.back()
                               : *std::max_element(rowids_.begin(), rowids_.end());
  dataVersion_ = fullVersion_ = connection_.dataVersion();
  const Clock::time_point now = Clock::now();
  nextReload_ =
      now + std::max<Clock::duration>(kLeastBetweenReloads, kReloadShare * (now - started));
  loadedPosition_ = kNone;
  rowsRead_ = true;
}

std::uint32_t TableRows::positionOf(std::int64_t rowid) {
  requireRows();
  auto found = ascending_ ? std::lower_bound(rowids_.begin(), rowids_.end(), rowid)
                          : std::find(rowids_.begin(), rowids_.end(), rowid);
  if (found == rowids_.end() || *found != rowid) return kNone;
  return static_cast<std::uint32_t>(found - rowids_.begin());
}

std::uint32_t TableRows::append(std::int64_t rowid) {
  requireRows();
  if (!rowids_.empty() && rowid <= rowids_.back()) ascending_ = false;
  rowids_.push_back(rowid);
  lastRowid_ = std::max(lastRowid_, rowid);
  return size() - 1;
}

bool TableRows::stale() const {
  return rowsRead_ && !connection_.readOnly() && connection_.dataVersion() != dataVersion_;
}

bool TableRows::changedSinceFullRead() const {
  return rowsRead_ && !connection_.readOnly() && connection_.dataVersion() != fullVersion_;
}

void TableRows::readNewRows() {
  if (lastRowid_ == kLargestRowid) return reload();
  ReadTransaction snapshot(connection_);
  const std::string keys = index_ ? ", " + schema_.columnList(indexColumns_) : "";
  Statement scan(connection_.handle(),
                 "SELECT " + schema_.rowid + keys + " FROM " + schema_.quotedTable() + " WHERE " +
                     schema_.rowid + " > ? ORDER BY " + schema_.rowid,
                 schema_.table);
  scan.bind(1, lastRowid_);
  std::string key;
  while (scan.step()) {
    const std::uint32_t position = append(scan.columnInt64(0));
    if (!index_) continue;
    key.clear();
    index_->assign(position, appendKey(key, scan, 1, indexColumns_.size())
                                 ? std::optional<std::string_view>(key)
                                 : std::nullopt);
  }
  dataVersion_ = connection_.dataVersion();
  loadedPosition_ = kNone;
}

bool TableRows::reloadDue() {
  const Clock::time_point now = Clock::now();
  if (!rowsRead_ || connection_.readOnly() || now < nextReload_) return false;
  if (changedSinceFullRead()) return true;
  nextReload_ = now + kLeastBetweenReloads;
  return false;
}

void TableRows::reload() {
  ReadTransaction snapshot(connection_);
  if (index_)
    readWithIndex(std::vector<int>(indexColumns_), true);
  else
    readRowids();
}

const std::vector<FieldValue>& TableRows::values(std::uint32_t position) {
  requireRows();
  if (loadedPosition_ == position || readSequentially(position)) return loaded_;
  selectRow_->bind(1, rowids_[position]);
  if (!selectRow_->step()) {
    selectRow_->reset();
    throw DatabaseError("Leer la fila", schema_.table, "la fila ya no existe en la tabla", 0,
                        DatabaseError::Cause::RowGone);
  }
  loaded_.clear();
  for (int i = 0; i < selectRow_->columnCount(); ++i) loaded_.push_back(selectRow_->column(i));
  selectRow_->reset();
  loadedPosition_ = position;
  return loaded_;
}

bool TableRows::readSequentially(std::uint32_t position) {
  // Stepping past a few rows is cheaper than a lookup; a longer jump, or one
  // backwards, is left to the lookup by row id.
  constexpr std::int64_t kLongestStep = 16;
  const auto target = static_cast<std::int64_t>(position);
  if (!sequential_ || target < sequentialPosition_ || target - sequentialPosition_ > kLongestStep)
    return false;
  while (sequentialPosition_ < target) {
    if (!sequential_->step()) {
      sequential_.reset();
      return false;
    }
    ++sequentialPosition_;
  }
  if (sequential_->columnInt64(0) != rowids_[position]) return false;
  loaded_.clear();
  for (int i = 1; i < sequential_->columnCount(); ++i) loaded_.push_back(sequential_->column(i));
  loadedPosition_ = position;
  return true;
}

const KeyIndex& TableRows::index(const std::vector<int>& columns) {
  if (!index_ || columns != indexColumns_) {
    ReadTransaction snapshot(connection_);
    readWithIndex(columns, !rowsRead_ || stale());
  }
  return *index_;
}

void TableRows::readWithIndex(const std::vector<int>& columns, bool withRowids) {
  const Clock::time_point started = Clock::now();
  sqlite3* db = connection_.handle();
  const std::string list = schema_.columnList(columns);
  Statement scan(
      db,
      "SELECT " + schema_.rowid + ", " + list + " FROM " + schema_.quotedTable() + " NOT INDEXED",
      schema_.table);
  auto selectKey = std::make_unique<Statement>(
      db, "SELECT " + list + " FROM " + schema_.quotedTable() + " WHERE " + schema_.rowid + " = ?",
      schema_.table);

  ScanPositions positionOfScanned(rowids_, ascending_, withRowids);
  auto index = std::make_unique<KeyIndex>();
  index->reserve(rowids_.size());
  if (withRowids) rowids_.clear();
  // Each row is filed a row late, once the place of its key is on its way
  // from memory: filing is then no longer bound by the index's cache misses.
  struct Scanned {
    std::uint32_t position = kNone;
    std::string key;
    bool matchable = false;
  } row, late;
  auto file = [&](const Scanned& scanned) {
    if (scanned.position != kNone)
      index->assign(scanned.position, scanned.matchable
                                          ? std::optional<std::string_view>(scanned.key)
                                          : std::nullopt);
  };
  while (scan.step()) {
    row.position = positionOfScanned(scan.columnInt64(0));
    if (row.position == kNone) continue;
    row.key.clear();
    row.matchable = appendKey(row.key, scan, 1, columns.size());
    if (row.matchable) index->prefetch(row.key);
    file(late);
    std::swap(row, late);
  }
  file(late);
  if (withRowids) rowidsRead(started);
  index_ = std::move(index);
  indexColumns_ = columns;
  selectKey_ = std::move(selectKey);
}

std::optional<std::string> TableRows::readKey(std::int64_t rowid) {
  selectKey_->bind(1, rowid);
  std::optional<std::string> key;
  if (selectKey_->step() && !appendKey(key.emplace(), *selectKey_, 0, indexColumns_.size()))
    key.reset();
  selectKey_->reset();
  return key;
}

}  // namespace kestova
