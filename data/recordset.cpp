#include "data/recordset.h"

#include <algorithm>
#include <numeric>

#include "data/connection.h"
#include "data/criteria.h"
#include "data/database_error.h"
#include "data/row_writer.h"
#include "data/table_rows.h"
#include "platform/utf8_path.h"

namespace kestova {

namespace {

constexpr std::uint32_t kNone = KeyIndex::kNone;
constexpr char kRead[] = "Leer el campo";
constexpr char kWrite[] = "Escribir el campo";

}  // namespace

Recordset::Recordset(std::string name) : name_(std::move(name)) {}

Recordset::~Recordset() = default;

std::string Recordset::object(std::string_view field) const {
  std::string text = schema_.table.empty() ? name_ : schema_.table;
  if (!field.empty()) text += "." + std::string(field);
  return text;
}

void Recordset::requireOpen(const char* operation) const {
  if (!isOpen()) throw DatabaseError(operation, name_, "el recordset no está abierto");
}

void Recordset::requireCurrent(const char* operation) const {
  requireOpen(operation);
  placeAtFirstRow();
  if (current_ == kNone) throw DatabaseError(operation, object(), "no hay fila actual");
}

void Recordset::requireColumn(int column, const char* operation) const {
  if (!isOpen() || column < 0 || static_cast<std::size_t>(column) >= schema_.columns.size())
    refuseColumn(column, operation);
}

void Recordset::refuseColumn(int column, const char* operation) const {
  requireOpen(operation);
  throw DatabaseError(operation, object(), "la columna " + std::to_string(column) + " no existe");
}

int Recordset::columnIndex(std::string_view name, const char* operation) const {
  const int column = schema_.columnIndex(name);
  if (column < 0)
    throw DatabaseError(operation, object(name), "el campo no existe en la tabla", 0,
                        DatabaseError::Cause::TableMissing);
  return column;
}

void Recordset::open(Connection& connection, const std::string& table) {
  constexpr char kOperation[] = "Abrir el recordset";
  if (isOpen()) throw DatabaseError(kOperation, name_, "el recordset ya está abierto");
  if (!connection.isOpen())
    throw DatabaseError(kOperation, name_, "la conexión " + connection.name() + " no está abierta");
  try {
    ReadTransaction snapshot(connection);
    schema_ = TableSchema::read(connection.handle(), table);
    rows_ = std::make_unique<TableRows>(connection, schema_);
    writer_ = std::make_unique<RowWriter>(connection, schema_);
  } catch (const DatabaseError& failure) {
    rows_.reset();
    writer_.reset();
    throw DatabaseError("Abrir la tabla " + table, utf8(connection.path()), failure.message(),
                        failure.code(), failure.cause());
  }
  connection_ = &connection;
  // A read-write table's rows are read when first needed (see TableRows),
  // which is most often its first filter: the first row is made current then.
  placed_ = false;
  if (connection.readOnly()) placeAtFirstRow();
}

void Recordset::placeAtFirstRow() const {
  if (placed_) return;
  current_ = rows_->size() == 0 ? kNone : 0;
  placed_ = true;
}

bool Recordset::eof() const {
  requireOpen("Consultar EOF");
  placeAtFirstRow();
  return current_ == kNone && edit_ != Edit::Added;
}

std::int64_t Recordset::recordCount() const {
  requireOpen("Contar las filas");
  if (!filtered_) return rows_->size();
  return filterKey_ ? rows_->index()->find(*filterKey_, {current_}).count : 0;
}

std::uint32_t Recordset::firstMatch(std::initializer_list<std::uint32_t> likely) const {
  return filterKey_ ? rows_->index()->find(*filterKey_, likely).first : kNone;
}

void Recordset::setFilter(std::string_view criteria) {
  requireOpen("Filtrar");
  const std::vector<CriteriaTerm>& terms = criteria_.read(criteria);
  if (terms.empty()) {
    discardEdit();
    filtered_ = false;
    filterText_.clear();
    filterKey_.reset();
    placed_ = false;
    placeAtFirstRow();
    return;
  }
  std::optional<std::string> key = keyOf(terms, filterColumns_);
  rows_->index(filterColumns_);
  placed_ = true;
  discardEdit();
  filtered_ = true;
  filterText_.assign(criteria);
  filterKey_ = std::move(key);
  current_ = firstMatch({lastMatches_[0] + 1, lastMatches_[1] + 1, lastMatches_[0] + 2,
                         lastMatches_[1] + 2, lastMatches_[0], lastMatches_[1]});
  followMatches();
}

void Recordset::followMatches() {
  // An update mostly lists its rows in the order the table holds them, with
  // the keys earlier updates added (at the end of the table) among the rest,
  // a row skipped here and there and a key repeated: a filter looks first
  // near the last matches of the two runs of keys it has followed last.
  if (current_ == kNone) return;
  const std::uint32_t last = lastMatches_[0];
  const bool sameRun = last != kNone && current_ + 2 >= last && current_ <= last + 2;
  if (!sameRun) lastMatches_[1] = last;
  lastMatches_[0] = current_;
}

std::optional<std::string> Recordset::keyOf(const std::vector<CriteriaTerm>& terms,
                                            std::vector<int>& columns) {
  // Terms in column order, so that one index serves the same columns named
  // in any order. Each literal compares as the database compares it with its
  // column (a number with a text column as its text). A column named twice
  // with two different values matches nothing.
  if (!criteria_.sameLayout() || termOrder_.size() != terms.size()) {
    // Criteria laid out as the last ones name the same fields in the same order.
    termOrder_.clear();
    termColumns_.clear();
    for (const CriteriaTerm& term : terms)
      termColumns_.push_back(columnIndex(term.name, "Filtrar"));
    termOrder_.resize(terms.size());
    std::iota(termOrder_.begin(), termOrder_.end(), std::size_t{0});
    std::stable_sort(termOrder_.begin(), termOrder_.end(), [&](std::size_t a, std::size_t b) {
      return termColumns_[a] < termColumns_[b];
    });
  }
  columns.clear();
  std::string key, part, first;  // first: the first part of the column
  bool matchable = true;
  for (std::size_t term : termOrder_) {
    const int column = termColumns_[term];
    part.clear();
    appendKeyPart(part, withAffinity(schema_.affinities[column], terms[term].literal));
    if (!columns.empty() && columns.back() == column) {
      matchable = matchable && part == first;
      continue;
    }
    columns.push_back(column);
    key += part;
    first.swap(part);
  }
  return matchable ? std::optional<std::string>(std::move(key)) : std::nullopt;
}

void Recordset::addNew() {
  requireOpen("Agregar una fila");
  placeAtFirstRow();
  discardEdit();
  positionBeforeAdd_ = current_;
  edit_ = Edit::Added;
  edits_.assign(schema_.columns.size(), std::nullopt);
  current_ = kNone;
}

int Recordset::readColumn(std::string_view name) const {
  requireOpen(kRead);
  return columnIndex(name, kRead);
}

int Recordset::writeColumn(std::string_view name) const {
  requireOpen(kWrite);
  return columnIndex(name, kWrite);
}

const FieldValue& Recordset::field(int column) {
  static const FieldValue kNull = Null{};
  requireColumn(column, kRead);
  if (edit_ != Edit::None && edits_[column]) return *edits_[column];
  if (edit_ == Edit::Added) return kNull;
  requireCurrent(kRead);
  return rows_->values(current_)[column];
}

void Recordset::setField(int column, const FieldValue& value) {
  requireColumn(column, kWrite);
  if (edit_ == Edit::None) {
    requireCurrent(kWrite);
    edit_ = Edit::Changed;
    edits_.assign(schema_.columns.size(), std::nullopt);
  }
  edits_[column] = value;
}

void Recordset::readAllRowsAgain() {
  // The rows, their keys and the current row as the file holds them now.
  const bool hadCurrent = current_ != kNone;
  const std::int64_t currentRowid = hadCurrent ? rows_->rowid(current_) : 0;
  rows_->reload();
  positionBeforeAdd_ = kNone;
  if (filtered_)
    current_ = firstMatch({});
  else
    current_ = hadCurrent ? rows_->positionOf(currentRowid) : kNone;
}

void Recordset::followOtherWriters() {
  // Inside the row's write transaction. What another program committed since
  // the last look costs what it changed: the rows it added are read, and
  // until every row has been read again, a row found under the filter is
  // checked to hold its key still; only when it does not is every row read
  // again at once.
  if (rows_->stale()) {
    rows_->readNewRows();
    if (filtered_ && edit_ == Edit::Added) current_ = firstMatch({});
  }
  if (filtered_ && edit_ == Edit::Changed && current_ != kNone && rows_->changedSinceFullRead() &&
      rows_->readKey(rows_->rowid(current_)) != filterKey_)
    readAllRowsAgain();
}

bool Recordset::alreadyHeld() {
  // The row is compared as the file holds it now. Another program's change
  // to it makes it differ, and the write that follows looks it up anew.
  return writeColumns_.empty() ||
         (current_ != kNone && writer_->holds(rows_->rowid(current_), writeColumns_, edits_));
}

Recordset::Saved Recordset::writeRow() {
  // Holding the write lock nobody else can commit. A row another program
  // added meanwhile under the filter's key is changed rather than added again;
  // a row it removed is not saved.
  followOtherWriters();
  if (filtered_ && edit_ == Edit::Added && current_ != kNone) edit_ = Edit::Changed;
  if (edit_ == Edit::Changed && current_ == kNone)
    throw DatabaseError("Guardar la fila", object(), "la fila ya no existe en la tabla", 0,
                        DatabaseError::Cause::RowGone);
  Saved saved;
  saved.added = edit_ == Edit::Added;
  if (saved.added) {
    saved.rowid = writer_->insert(writeColumns_, edits_);
  } else {
    saved.rowid = rows_->rowid(current_);
    writer_->update(saved.rowid, writeColumns_, edits_);
  }
  if (rows_->index() != nullptr) saved.key = writtenKey(saved.rowid);
  return saved;
}

std::optional<std::string> Recordset::writtenKey(std::int64_t rowid) {
  // The key the index files the row under is what the database stores. When
  // every key column is written with a value its column keeps as it is, and
  // no trigger may have changed it, that is the written value; otherwise it
  // is read back inside the row's transaction.
  std::string key;
  bool matchable = true;
  for (int column : rows_->indexColumns()) {
    const std::optional<FieldValue>& written = edits_[column];
    if (schema_.hasTriggers || !written || !storedAsWritten(schema_.affinities[column], *written))
      return rows_->readKey(rowid);
    matchable = appendKeyPart(key, *written) && matchable;
  }
  return matchable ? std::optional<std::string>(std::move(key)) : std::nullopt;
}

SaveResult Recordset::update() {
  requireOpen("Guardar la fila");
  if (edit_ == Edit::None) return SaveResult::Unchanged;
  writeColumns_.clear();
  for (std::size_t i = 0; i < edits_.size(); ++i)
    if (edits_[i]) writeColumns_.push_back(static_cast<int>(i));

  Saved saved;
  try {
    // A row that already holds every value is left alone: no transaction,
    // no write, nothing in the log. A trigger on the table would see the
    // write, so there every row is written.
    if (edit_ == Edit::Changed && !schema_.hasTriggers && alreadyHeld()) {
      discardEdit();
      return SaveResult::Unchanged;
    }
    // Now and then, while other programs write, every row is read again, so
    // that keys they changed are seen: outside the write lock, which they may
    // take meanwhile.
    if (rows_->reloadDue()) readAllRowsAgain();
    WriteTransaction transaction(*connection_);
    saved = writeRow();
    transaction.commit();
  } catch (const DatabaseError&) {
    // The row the database refused is never saved later.
    discardEdit();
    throw;
  }
  if (saved.added) current_ = rows_->append(saved.rowid);
  if (KeyIndex* index = rows_->index()) index->assign(current_, saved.key);
  edit_ = Edit::None;
  edits_.clear();
  return saved.added ? SaveResult::Added : SaveResult::Updated;
}

void Recordset::discardEdit() {
  if (edit_ == Edit::Added) current_ = positionBeforeAdd_;
  edit_ = Edit::None;
  edits_.clear();
}

void Recordset::endOldReads() {
  if (isOpen()) connection_->endOldSharedRead();
}

void Recordset::moveNext() {
  constexpr char kOperation[] = "Pasar a la fila siguiente";
  requireOpen(kOperation);
  discardEdit();
  requireCurrent(kOperation);
  if (!filtered_) {
    current_ = current_ + 1 < rows_->size() ? current_ + 1 : kNone;
    return;
  }
  // Walk the filter's rows rather than the current row's: a saved change may
  // have moved the current row to another key.
  std::uint32_t next = firstMatch({current_});
  while (next != kNone && next <= current_) next = rows_->index()->next(next);
  current_ = next;
}

}  // namespace kestova
