#include "recordset.h"

#include <algorithm>
#include <unordered_map>

#include "connection.h"
#include "criteria.h"
#include "database_error.h"
#include "statement.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;
constexpr std::uint32_t kNone = KeyIndex::kNone;

char foldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

std::string folded(std::string_view name) {
  std::string result(name);
  for (char& c : result) c = foldAscii(c);
  return result;
}

std::string columnList(const std::vector<std::string>& all, const std::vector<int>& chosen) {
  std::string list;
  for (int column : chosen) {
    if (!list.empty()) list += ", ";
    list += quoteIdentifier(all[column]);
  }
  return list;
}

[[noreturn]] void notATable(const std::string& table, const std::string& why) {
  throw DatabaseError("Abrir la tabla " + table, table, why, 0, Cause::NotATable);
}

// Only an ordinary table can be read as a static cursor and written row by
// row: a view may compute its rows without end, and a virtual table has no
// stable rows. Throws otherwise.
void requireOrdinaryTable(sqlite3* db, const std::string& table) {
  Statement kind(db,
                 "SELECT type, sql FROM sqlite_master WHERE type IN ('table', 'view') "
                 "AND name = ?1 COLLATE NOCASE",
                 table);
  kind.bind(1, table);
  if (!kind.step())
    throw DatabaseError("Abrir la tabla " + table, table, "no such table: " + table, 0,
                        Cause::TableMissing);
  if (kind.column(0) == FieldValue(std::string("view")))
    notATable(table, "es una vista, no una tabla");
  const FieldValue sql = kind.column(1);
  const auto* text = std::get_if<std::string>(&sql);
  if (text != nullptr && folded(text->substr(0, 14)) == "create virtual")
    notATable(table, "es una tabla virtual, no una tabla");
}

// The name that reaches the table's own row id: the first of SQLite's three
// names that no column of the table has taken. A table without row ids, or
// whose columns take all three names, cannot be written row by row.
std::string rowidName(sqlite3* db, const std::string& table,
                      const std::vector<std::string>& foldedColumns) {
  for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
    if (std::find(foldedColumns.begin(), foldedColumns.end(), candidate) != foldedColumns.end())
      continue;
    try {
      Statement(db, std::string("SELECT ") + candidate + " FROM " + quoteIdentifier(table) +
                        " LIMIT 0",
                table);
      return candidate;
    } catch (const DatabaseError& failure) {
      if (failure.message().rfind("no such column", 0) != 0) throw;
    }
    break;
  }
  notATable(table, "la tabla no tiene identificador de fila (WITHOUT ROWID, o columnas propias "
                   "llamadas rowid, _rowid_ y oid)");
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

  try {
    ReadTransaction snapshot(connection);
    requireOrdinaryTable(db, table);
    Statement command(db, "SELECT " + quoted + ".* FROM " + quoted, table);
    columns_.clear();
    affinities_.clear();
    foldedColumns_.clear();
    for (int i = 0; i < command.columnCount(); ++i) {
      columns_.push_back(command.columnName(i));
      foldedColumns_.push_back(folded(columns_.back()));
      affinities_.push_back(affinityOf(command.columnDeclaredType(i)));
    }
    rowid_ = rowidName(db, table, foldedColumns_);
    Statement triggers(db,
                       "SELECT count(*) FROM sqlite_master WHERE type = 'trigger' "
                       "AND tbl_name = ?1 COLLATE NOCASE",
                       table);
    triggers.bind(1, table);
    hasTriggers_ = triggers.step() && triggers.columnInt64(0) > 0;

    connection_ = &connection;
    table_ = table;
    readRows();
    selectRow_ = std::make_unique<Statement>(
        db, "SELECT " + quoted + ".* FROM " + quoted + " WHERE " + rowid_ + " = ?", table);
    // A read-only connection holds one read transaction, so a cursor stepping
    // through the table meets the same rows in the same order as the scan
    // above, and reads a source row by row for less than a lookup by rowid.
    sequential_.reset();
    if (connection.readOnly())
      sequential_ = std::make_unique<Statement>(
          db, "SELECT " + rowid_ + ", " + quoted + ".* FROM " + quoted + " NOT INDEXED", table);
  } catch (const DatabaseError& failure) {
    connection_ = nullptr;
    throw DatabaseError("Abrir la tabla " + table, connection.path().string(), failure.message(),
                        failure.code(), failure.cause());
  }
  sequentialPosition_ = -1;
  current_ = rowids_.empty() ? kNone : 0;
}

void Recordset::readRows() {
  // NOT INDEXED keeps the table's own order, the one in which the command
  // delivers its rows.
  Statement scan(connection_->handle(),
                 "SELECT " + rowid_ + " FROM " + quoteIdentifier(table_) + " NOT INDEXED", table_);
  rowids_.clear();
  while (scan.step()) rowids_.push_back(scan.columnInt64(0));
  if (rowids_.size() >= kNone)
    throw DatabaseError("Abrir el recordset", table_, "la tabla tiene demasiadas filas");
  rowidsAscending_ = std::is_sorted(rowids_.begin(), rowids_.end());
  dataVersion_ = connection_->dataVersion();
  loadedPosition_ = kNone;
  positionBeforeAdd_ = kNone;
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
    appendKeyPart(parts[i].second, withAffinity(affinities_[parts[i].first], terms[i].literal));
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
  // The index and the row positions must be read from one state of the file.
  ReadTransaction snapshot(*connection_);
  if (connection_->dataVersion() != dataVersion_) readRows();
  Statement scan(db, "SELECT " + rowid_ + ", " + list + " FROM " + quoted + " NOT INDEXED",
                 table_);
  auto selectKey = std::make_unique<Statement>(
      db, "SELECT " + list + " FROM " + quoted + " WHERE " + rowid_ + " = ?", table_);

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
    if (position == kNone) continue;
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

void Recordset::followOtherWriters() {
  if (connection_->readOnly() || connection_->dataVersion() == dataVersion_) return;
  // Another program has committed: read the rows, their keys and the current
  // row again as the file holds them now.
  ReadTransaction snapshot(*connection_);
  const bool hadCurrent = current_ != kNone;
  const std::int64_t currentRowid = hadCurrent ? rowids_[current_] : 0;
  readRows();
  if (index_) buildIndex(std::vector<int>(indexColumns_));
  if (filtered_) {
    current_ = filterKey_ ? index_->find(*filterKey_).first : kNone;
  } else {
    auto found = std::find(rowids_.begin(), rowids_.end(), currentRowid);
    current_ = hadCurrent && found != rowids_.end()
                   ? static_cast<std::uint32_t>(found - rowids_.begin())
                   : kNone;
  }
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

Statement& Recordset::statement(Sql kind, const std::vector<int>& columns) {
  auto& cached = statements_[{kind, columns}];
  if (cached) return *cached;
  const std::string quoted = quoteIdentifier(table_);
  std::string sql;
  if (kind == Sql::Insert && columns.empty()) {
    sql = "INSERT INTO " + quoted + " DEFAULT VALUES";
  } else if (kind == Sql::Insert) {
    sql = "INSERT INTO " + quoted + " (" + columnList(columns_, columns) + ") VALUES (?";
    for (std::size_t i = 1; i < columns.size(); ++i) sql += ", ?";
    sql += ")";
  } else if (kind == Sql::Update) {
    sql = "UPDATE " + quoted + " SET ";
    for (std::size_t i = 0; i < columns.size(); ++i)
      sql += (i > 0 ? ", " : "") + quoteIdentifier(columns_[columns[i]]) + " = ?";
    sql += " WHERE " + rowid_ + " = ?";
  } else {
    // IS compares as the column stores (its affinity applied to the value),
    // byte for byte (not under the column's collation); a column without
    // affinity keeps a value's type, so the types must agree too.
    sql = "SELECT 1 FROM " + quoted + " WHERE " + rowid_ + " = ?1";
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const std::string column = quoteIdentifier(columns_[columns[i]]);
      const std::string parameter = "?" + std::to_string(i + 2);
      sql += " AND " + column + " IS " + parameter + " COLLATE BINARY";
      if (affinities_[columns[i]] == Affinity::None)
        sql += " AND typeof(" + column + ") = typeof(" + parameter + ")";
    }
  }
  cached = std::make_unique<Statement>(connection_->handle(), sql, table_);
  return *cached;
}

bool Recordset::holdsEdits(const std::vector<int>& columns) {
  Statement& compare = statement(Sql::Compare, columns);
  int parameter = 1;
  compare.bind(parameter++, rowids_[current_]);
  for (int column : columns) compare.bind(parameter++, *edits_[column]);
  const bool same = compare.step();
  compare.reset();
  return same;
}

std::int64_t Recordset::write(const std::vector<int>& columns) {
  const bool adding = edit_ == Edit::Added;
  Statement& sql = statement(adding ? Sql::Insert : Sql::Update, columns);
  int parameter = 1;
  for (int column : columns) sql.bind(parameter++, *edits_[column]);
  if (!adding) sql.bind(parameter, rowids_[current_]);
  sql.execute();
  // A trigger's RAISE(IGNORE) or an ON CONFLICT IGNORE drops the write
  // without an error; the row id SQLite then reports is an older row's.
  if (const std::int64_t changed = connection_->changes(); changed != 1)
    throw DatabaseError("Guardar la fila", object(),
                        changed == 0 ? "la tabla descartó la fila sin dar un error (un disparador "
                                       "o una restricción ON CONFLICT IGNORE)"
                                     : "la escritura cambió " + std::to_string(changed) + " filas",
                        0, Cause::ValueRefused);
  return adding ? connection_->lastInsertRowid() : rowids_[current_];
}

std::optional<std::string> Recordset::writtenKey(std::int64_t rowid) {
  // The key the index files the row under is what the database stores. When
  // every key column is written with a value its column keeps as it is, and
  // no trigger may have changed it, that is the written value; otherwise it
  // is read back inside the row's transaction.
  bool readBack = hasTriggers_;
  std::string key;
  bool matchable = true;
  for (int column : indexColumns_) {
    const std::optional<FieldValue>& written = edits_[column];
    if (readBack || !written || !storedAsWritten(affinities_[column], *written)) {
      readBack = true;
      break;
    }
    matchable = appendKeyPart(key, *written) && matchable;
  }
  if (readBack) return readKey(rowid);
  return matchable ? std::optional<std::string>(std::move(key)) : std::nullopt;
}

SaveResult Recordset::update() {
  constexpr char kOperation[] = "Guardar la fila";
  requireOpen(kOperation);
  if (edit_ == Edit::None) return SaveResult::Unchanged;

  std::vector<int>& columns = writeColumns_;
  columns.clear();
  for (std::size_t i = 0; i < edits_.size(); ++i)
    if (edits_[i]) columns.push_back(static_cast<int>(i));

  std::int64_t rowid = 0;
  std::optional<std::string> key;
  try {
    // A row that already holds every value is left alone: no transaction, no
    // write, nothing in the log.
    if (edit_ == Edit::Changed) {
      followOtherWriters();
      if (columns.empty() || (current_ != kNone && holdsEdits(columns))) {
        discardEdit();
        return SaveResult::Unchanged;
      }
    }
    connection_->begin();
    // Holding the write lock nobody else can commit: what the filter finds
    // now decides between adding the row and changing the first match.
    followOtherWriters();
    if (filtered_) edit_ = current_ == kNone ? Edit::Added : Edit::Changed;
    if (edit_ == Edit::Changed && current_ == kNone)
      throw DatabaseError(kOperation, object(), "la fila ya no existe en la tabla", 0,
                          Cause::RowGone);
    rowid = write(columns);
    if (index_) key = writtenKey(rowid);
    connection_->commit();
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
