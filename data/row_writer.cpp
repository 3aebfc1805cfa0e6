#include "data/row_writer.h"

#include "data/connection.h"
#include "data/database_error.h"
#include "data/statement.h"
#include "data/table_schema.h"

namespace kestova {

RowWriter::RowWriter(Connection& connection, const TableSchema& schema)
    : connection_(connection), schema_(schema) {}

RowWriter::~RowWriter() = default;

Statement& RowWriter::statement(Sql kind, const std::vector<int>& columns) {
  LastUsed& last = lastUsed_[static_cast<std::size_t>(kind)];
  if (last.statement != nullptr && last.columns == columns) return *last.statement;
  auto& cached = statements_[{kind, columns}];
  if (!cached)
    cached =
        std::make_unique<Statement>(connection_.handle(), sqlFor(kind, columns), schema_.table);
  last = {columns, cached.get()};
  return *cached;
}

std::string RowWriter::sqlFor(Sql kind, const std::vector<int>& columns) const {
  const std::string table = schema_.quotedTable();
  if (kind == Sql::Insert) {
    if (columns.empty()) return "INSERT INTO " + table + " DEFAULT VALUES";
    std::string sql = "INSERT INTO " + table + " (" + schema_.columnList(columns) + ") VALUES (?";
    for (std::size_t i = 1; i < columns.size(); ++i) sql += ", ?";
    return sql + ")";
  }
  if (kind == Sql::Update) {
    std::string sql = "UPDATE " + table + " SET ";
    for (std::size_t i = 0; i < columns.size(); ++i)
      sql += (i > 0 ? ", " : "") + quoteIdentifier(schema_.columns[columns[i]]) + " = ?";
    return sql + " WHERE " + schema_.rowid + " = ?";
  }
  // IS compares as the column stores (its affinity applied to the value),
  // byte for byte rather than under the column's collation; a column without
  // affinity keeps a value's type, so the types must agree too.
  std::string sql = "SELECT 1 FROM " + table + " WHERE " + schema_.rowid + " = ?1";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const std::string column = quoteIdentifier(schema_.columns[columns[i]]);
    const std::string parameter = "?" + std::to_string(i + 2);
    sql += " AND " + column + " IS " + parameter + " COLLATE BINARY";
    if (schema_.affinities[columns[i]] == Affinity::None)
      sql += " AND typeof(" + column + ") = typeof(" + parameter + ")";
  }
  return sql;
}

bool RowWriter::holds(std::int64_t rowid, const std::vector<int>& columns, const Values& values) {
  Statement& compare = statement(Sql::Compare, columns);
  // While rows keep being found unchanged, their comparisons share one read
  // transaction; after a row that differed (and was written, most likely)
  // a comparison reads on its own.
  if (lastHeld_)
    connection_.readCurrent();
  else
    connection_.endSharedRead();
  int parameter = 1;
  compare.bind(parameter++, rowid);
  for (int column : columns) compare.bindBorrowed(parameter++, *values[column]);
  lastHeld_ = compare.step();
  compare.reset();
  return lastHeld_;
}

std::int64_t RowWriter::insert(const std::vector<int>& columns, const Values& values) {
  Statement& insert = statement(Sql::Insert, columns);
  int parameter = 1;
  for (int column : columns) insert.bindBorrowed(parameter++, *values[column]);
  requireOneRowChanged(insert.execute());
  return connection_.lastInsertRowid();
}

void RowWriter::update(std::int64_t rowid, const std::vector<int>& columns, const Values& values) {
  Statement& update = statement(Sql::Update, columns);
  int parameter = 1;
  for (int column : columns) update.bindBorrowed(parameter++, *values[column]);
  update.bind(parameter, rowid);
  requireOneRowChanged(update.execute());
}

void RowWriter::requireOneRowChanged(std::int64_t changed) const {
  // A dropped write leaves the row id SQLite reports at an older row's.
  if (changed == 1) return;
  throw DatabaseError("Guardar la fila", schema_.table,
                      changed == 0 ? "la tabla descartó la fila sin dar un error (un disparador "
                                     "o una restricción ON CONFLICT IGNORE)"
                                   : "la escritura cambió " + std::to_string(changed) + " filas",
                      0, DatabaseError::Cause::ValueRefused);
}

}  // namespace kestova
