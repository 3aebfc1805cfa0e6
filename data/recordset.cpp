#include "recordset.h"

#include <algorithm>
#include <unordered_map>

#include "connection.h"
#include "criteria.h"
#include "database_error.h"
#include "statement.h"
#include "text_rules.h"

namespace kestova {

namespace {

constexpr std::uint32_t kNone = KeyIndex::kNone;

// How a column's declared type makes SQLite convert the values stored in it.
Affinity affinityOf(const std::string& declaredType) {
  const std::string declared = foldName(declaredType);
  auto has = [&](const char* part) { return declared.find(part) != std::string::npos; };
  if (has("int")) return Affinity::Integer;
  if (has("char") || has("clob") || has("text")) return Affinity::Text;
  if (declared.empty() || has("blob")) return Affinity::None;
  if (has("real") || has("floa") || has("doub")) return Affinity::Real;
  return Affinity::Numeric;
}

// Whether a column of this affinity stores `value` with the same comparison
// form: numbers in numeric columns, texts in text columns, anything in an
// untyped one. A text in a numeric column, or a number in a text column, may
// be converted, and is read back instead.
bool storedAsWritten(Affinity affinity, const FieldValue& value) {
  if (affinity == Affinity::None || isNull(value) || std::holds_alternative<Blob>(value))
    return true;
  if (std::holds_alternative<std::string>(value)) return affinity == Affinity::Text;
  return affinity != Affinity::Text;
}

std::string columnList(const std::vector<std::string>& all, const std::vector<int>& chosen) {
  std::string list;
  for (int column : chosen) {
    if (!list.empty()) list += ", ";
    list += quoteIdentifier(all[column]);
  }
  return list;
}

}  // namespace

Recordset::Recordset(std::string name) : name_(std::move(name)) {}

Recordset::~Recordset() = default;

std::string Recordset::object(std::string_view field) const {
  std::string text = table_.empty() ? name_ : table_;
  if (!field.empty()) text += "." + std::string(field);
  return text;
}

void Recordset::requireOpen(const char* operation) const {
  if (!isOpen()) throw DatabaseError(operation, name_, "el recordset no está abierto");
}

void Recordset::requireCurrent(const char* operation) const {
  requireOpen(operation);
  if (current_ == kNone) throw DatabaseError(operation, object(), "no hay fila actual");
}

int Recordset::columnIndex(std::string_view name, const char* operation) const {
  // Called for every field of every row: compare against names folded once.
  for (std::size_t i = 0; i < foldedColumns_.size(); ++i) {
    const std::string& column = foldedColumns_[i];
    if (column.size() != name.size()) continue;
    std::size_t j = 0;
    while (j < name.size() && column[j] == foldAscii(name[j])) ++j;
    if (j == name.size()) return static_cast<int>(i);
  }
  throw DatabaseError(operation, object(name), "el campo no existe en la tabla", 0,
                      DatabaseError::Cause::TableMissing);
}

void Recordset::open(Connection& connection, const std::string& table) {
  constexpr char kOperation[] = "Abrir el recordset";
  if (isOpen()) throw DatabaseError(kOperation, name_, "el recordset ya está abierto");
  if (!connection.isOpen())
    throw DatabaseError(kOperation, name_, "la conexión " + connection.name() + " no está abierta");
  sqlite3* db = connection.handle();
  const std::string quoted = quoteIdentifier(table);

  std::vector<std::string> columns;
  std::vector<Affinity> affinities;
  std::vector<std::int64_t> rowids;
  std::unique_ptr<Statement> selectRow, sequential;
  try {
    Statement command(db, "SELECT " + quoted + ".* FROM " + quoted, table);
    for (int i = 0; i < command.columnCount(); ++i) {
      columns.push_back(command.columnName(i));
      affinities.push_back(affinityOf(command.columnDeclaredType(i)));
    }

    // The rowid finds each row again for reading and saving. NOT INDEXED keeps
    // the table's own order, the one in which the command delivers its rows.
    Statement scan(db, "SELECT rowid FROM " + quoted + " NOT INDEXED", table);
    while (scan.step()) rowids.push_back(scan.columnInt64(0));
    if (rowids.size() >= kNone)
      throw DatabaseError(kOperation, table, "la tabla tiene demasiadas filas");

    selectRow = std::make_unique<Statement>(
        db, "SELECT " + quoted + ".* FROM " + quoted + " WHERE rowid = ?", table);
    // A read-only connection holds one read transaction, so a cursor stepping
    // through the table meets the same rows in the same order as the scan
    // above, and reads a source row by row for less than a lookup by rowid.
    if (connection.readOnly())
      sequential = std::make_unique<Statement>(
          db, "SELECT rowid, " + quoted + ".* FROM " + quoted + " NOT INDEXED", table);
  } catch (const DatabaseError& failure) {
    const bool missing = failure.message().rfind("no such table", 0) == 0;
    throw DatabaseError("Abrir la tabla " + table, connection.path().string(), failure.message(),
                        failure.code(),
                        missing ? DatabaseError::Cause::TableMissing : failure.cause());
  }

  connection_ = &connection;
  table_ = table;
  columns_ = std::move(columns);
  affinities_ = std::move(affinities);
  foldedColumns_.clear();
  for (const std::string& column : columns_) foldedColumns_.push_back(foldName(column));
  rowids_ = std::move(rowids);
  rowidsAscending_ = std::is_sorted(rowids_.begin(), rowids_.end());
  selectRow_ = std::move(selectRow);
  sequential_ = std::move(sequential);
  sequentialPosition_ = -1;
  current_ = rowids_.empty() ? kNone : 0;
}

bool Recordset::eof() const {
  requireOpen("Consultar EOF");
  return current_ == kNone && edit_ != Edit::Added;
}

std::int64_t Recordset::recordCount() const {
  requireOpen("Contar las filas");
  if (!filtered_) return static_cast<std::int64_t>(rowids_.size());
  return filterKey_ ? index_->find(*filterKey_).count : 0;
}

void Recordset::setFilter(std::string_view criteria) {
  constexpr char kOperation[] = "Filtrar";
  requireOpen(kOperation);
  std::vector<CriteriaTerm> terms = parseCriteria(criteria);
  if (terms.empty()) {
    discardEdit();
    filtered_ = false;
    filterText_.clear();
    filterKey_.reset();
    current_ = rowids_.empty() ? kNone : 0;
    return;
  }

  // Terms in column order, so that one index serves the same columns named in
  // any order; a column named twice with two different values matches nothing.
  // Set once per source row: the buffers are kept from call to call.
  std::vector<std::pair<int, std::string>>& parts = filterParts_;
  parts.resize(terms.size());
  bool matchable = true;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    parts[i].first = columnIndex(terms[i].name, kOperation);
    parts[i].second.clear();
    appendKeyPart(parts[i].second, terms[i].literal);
  }
  std::sort(parts.begin(), parts.end());
  std::vector<int>& columns = filterColumns_;
  columns.clear();
  std::string key;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0 && parts[i].first == parts[i - 1].first) {
      matchable = matchable && parts[i].second == parts[i - 1].second;
      continue;
    }
    columns.push_back(parts[i].first);
    key += parts[i].second;
  }
  if (!index_ || columns != indexColumns_) buildIndex(columns);

  discardEdit();
  filtered_ = true;
  filterText_.assign(criteria);
  filterKey_ = matchable ? std::optional<std::string>(std::move(key)) : std::nullopt;
  current_ = filterKey_ ? index_->find(*filterKey_).first : kNone;
}

void Recordset::buildIndex(const std::vector<int>& columns) {
  sqlite3* db = connection_->handle();
  const std::string quoted = quoteIdentifier(table_);
  const std::string list = columnList(columns_, columns);
  Statement scan(db, "SELECT rowid, " + list + " FROM " + quoted + " NOT INDEXED", table_);
  auto selectKey = std::make_unique<Statement>(
      db, "SELECT " + list + " FROM " + quoted + " WHERE rowid = ?", table_);

  // Rowids are ascending unless the table's rowids ran out and SQLite reused
  // lower ones; then a map finds positions instead of a binary search.
  std::unordered_map<std::int64_t, std::uint32_t> positions;
  if (!rowidsAscending_) {
    for (std::uint32_t i = 0; i < rowids_.size(); ++i) positions.emplace(rowids_[i], i);
  }
  // The scan meets rowids in ascending order, so positions only move forward.
  std::size_t next = 0;
  auto positionOf = [&](std::int64_t rowid) -> std::uint32_t {
    if (!rowidsAscending_) {
      auto found = positions.find(rowid);
      return found == positions.end() ? kNone : found->second;
    }
    while (next < rowids_.size() && rowids_[next] < rowid) ++next;
    if (next == rowids_.size() || rowids_[next] != rowid) return kNone;
    return static_cast<std::uint32_t>(next);
  };

  auto index = std::make_unique<KeyIndex>();
  index->reserve(rowids_.size());
  std::string key;
  while (scan.step()) {
    std::uint32_t position = positionOf(scan.columnInt64(0));
    if (position == kNone) continue;  // added by another program after open
    key.clear();
    bool matchable = true;
    for (std::size_t i = 0; i < columns.size(); ++i)
      matchable = appendKeyPart(key, scan.column(static_cast<int>(i + 1))) && matchable;
    index->assign(position, matchable ? std::optional<std::string_view>(key) : std::nullopt);
  }
  index_ = std::move(index);
  indexColumns_ = columns;
  selectKey_ = std::move(selectKey);
}

std::optional<std::string> Recordset::readKey(std::int64_t rowid) {
  selectKey_->bind(1, rowid);
  std::optional<std::string> key;
  if (selectKey_->step()) {
    key.emplace();
    for (std::size_t i = 0; i < indexColumns_.size() && key; ++i)
      if (!appendKeyPart(*key, selectKey_->column(static_cast<int>(i)))) key.reset();
  }
  selectKey_->reset();
  return key;
}

void Recordset::addNew() {
  requireOpen("Agregar una fila");
  discardEdit();
  positionBeforeAdd_ = current_;
  edit_ = Edit::Added;
  edits_.assign(columns_.size(), std::nullopt);
  current_ = kNone;
}

const FieldValue& Recordset::field(std::string_view name) {
  static const FieldValue kNull = Null{};
  constexpr char kOperation[] = "Leer el campo";
  requireOpen(kOperation);
  int column = columnIndex(name, kOperation);
  if (edit_ != Edit::None && edits_[column]) return *edits_[column];
  if (edit_ == Edit::Added) return kNull;
  requireCurrent(kOperation);
  loadCurrentRow();
  return loaded_[column];
}

void Recordset::loadCurrentRow() {
  if (loadedPosition_ == current_) return;
  if (readSequentially()) return;
  selectRow_->bind(1, rowids_[current_]);
  if (!selectRow_->step()) {
    selectRow_->reset();
    throw DatabaseError("Leer la fila", object(), "la fila ya no existe en la tabla", 0,
                        DatabaseError::Cause::RowGone);
  }
  loaded_.clear();
  for (int i = 0; i < selectRow_->columnCount(); ++i) loaded_.push_back(selectRow_->column(i));
  selectRow_->reset();
  loadedPosition_ = current_;
}

bool Recordset::readSequentially() {
  // Stepping past a few rows is cheaper than a lookup; a longer jump, or one
  // backwards, is left to the lookup by rowid.
  constexpr std::int64_t kLongestStep = 16;
  const auto target = static_cast<std::int64_t>(current_);
  if (!sequential_ || target < sequentialPosition_ || target - sequentialPosition_ > kLongestStep)
    return false;
  while (sequentialPosition_ < target) {
    if (!sequential_->step()) {
      sequential_.reset();
      return false;
    }
    ++sequentialPosition_;
  }
  if (sequential_->columnInt64(0) != rowids_[current_]) return false;
  loaded_.clear();
  for (int i = 1; i < sequential_->columnCount(); ++i) loaded_.push_back(sequential_->column(i));
  loadedPosition_ = current_;
  return true;
}

void Recordset::setField(std::string_view name, const FieldValue& value) {
  constexpr char kOperation[] = "Escribir el campo";
  requireOpen(kOperation);
  int column = columnIndex(name, kOperation);
  if (edit_ == Edit::None) {
    requireCurrent(kOperation);
    edit_ = Edit::Changed;
    edits_.assign(columns_.size(), std::nullopt);
  }
  edits_[column] = value;
}

Statement& Recordset::writeStatement(const std::vector<int>& columns) {
  // Rows of one table are written with the same columns, one after the other.
  const bool added = edit_ == Edit::Added;
  if (lastWrite_ != nullptr && lastWriteAdded_ == added && lastWriteColumns_ == columns)
    return *lastWrite_;
  auto& statement = writes_[{added, columns}];
  lastWriteAdded_ = added;
  lastWriteColumns_ = columns;
  if (statement) {
    lastWrite_ = statement.get();
    return *statement;
  }
  const std::string quoted = quoteIdentifier(table_);
  std::string sql;
  if (edit_ == Edit::Added) {
    if (columns.empty()) {
      sql = "INSERT INTO " + quoted + " DEFAULT VALUES";
    } else {
      sql = "INSERT INTO " + quoted + " (" + columnList(columns_, columns) + ") VALUES (?";
      for (std::size_t i = 1; i < columns.size(); ++i) sql += ", ?";
      sql += ")";
    }
  } else {
    sql = "UPDATE " + quoted + " SET ";
    for (std::size_t i = 0; i < columns.size(); ++i)
      sql += (i > 0 ? ", " : "") + quoteIdentifier(columns_[columns[i]]) + " = ?";
    sql += " WHERE rowid = ?";
  }
  statement = std::make_unique<Statement>(connection_->handle(), sql, table_);
  lastWrite_ = statement.get();
  return *statement;
}

SaveResult Recordset::update() {
  constexpr char kOperation[] = "Guardar la fila";
  requireOpen(kOperation);
  if (edit_ == Edit::None) return SaveResult::Unchanged;

  std::vector<int>& columns = writeColumns_;
  columns.clear();
  for (std::size_t i = 0; i < edits_.size(); ++i)
    if (edits_[i]) columns.push_back(static_cast<int>(i));
  if (edit_ == Edit::Changed && columns.empty()) {
    discardEdit();
    return SaveResult::Unchanged;
  }

  // The key the index files the row under is what the database stores. When
  // every key column is written with a value its column keeps as it is, that
  // is the written value; otherwise it is read back inside the same
  // transaction. Without a read-back the write is a transaction on its own.
  std::optional<std::string> key;
  bool readBack = false;
  if (index_) {
    key.emplace();
    bool matchable = true;
    for (int column : indexColumns_) {
      const std::optional<FieldValue>& written = edits_[column];
      if (!written || !storedAsWritten(affinities_[column], *written)) {
        readBack = true;
        break;
      }
      matchable = appendKeyPart(*key, *written) && matchable;
    }
    if (!matchable) key.reset();
  }

  sqlite3* db = connection_->handle();
  std::int64_t rowid = edit_ == Edit::Added ? 0 : rowids_[current_];
  try {
    Statement& write = writeStatement(columns);
    int parameter = 1;
    for (int column : columns) write.bind(parameter++, *edits_[column]);
    if (edit_ == Edit::Changed) write.bind(parameter, rowid);
    if (readBack) connection_->begin();
    write.execute();
    if (edit_ == Edit::Added) {
      rowid = sqlite3_last_insert_rowid(db);
    } else if (sqlite3_changes(db) != 1) {
      throw DatabaseError(kOperation, object(), "la fila ya no existe en la tabla", 0,
                          DatabaseError::Cause::RowGone);
    }
    if (readBack) {
      key = readKey(rowid);
      connection_->commit();
    }
  } catch (const DatabaseError&) {
    connection_->rollback();
    discardEdit();
    throw;
  }

  const SaveResult result = edit_ == Edit::Added ? SaveResult::Added : SaveResult::Updated;
  if (edit_ == Edit::Added) {
    if (!rowids_.empty() && rowid <= rowids_.back()) rowidsAscending_ = false;
    current_ = static_cast<std::uint32_t>(rowids_.size());
    rowids_.push_back(rowid);
  }
  if (index_) index_->assign(current_, key);
  edit_ = Edit::None;
  edits_.clear();
  loadedPosition_ = kNone;
  return result;
}

void Recordset::discardEdit() {
  if (edit_ == Edit::Added) current_ = positionBeforeAdd_;
  edit_ = Edit::None;
  edits_.clear();
}

void Recordset::moveNext() {
  constexpr char kOperation[] = "Pasar a la fila siguiente";
  requireOpen(kOperation);
  discardEdit();
  requireCurrent(kOperation);
  if (!filtered_) {
    current_ = current_ + 1 < rowids_.size() ? current_ + 1 : kNone;
    return;
  }
  // Walk the filter's rows rather than the current row's: a saved change may
  // have moved the current row to another key.
  std::uint32_t next = filterKey_ ? index_->find(*filterKey_).first : kNone;
  while (next != kNone && next <= current_) next = index_->next(next);
  current_ = next;
}

}  // namespace kestova
