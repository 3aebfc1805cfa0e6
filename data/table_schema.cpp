#include "data/table_schema.h"

#include <algorithm>

#include "data/database_error.h"
#include "data/statement.h"
#include "data/text_rules.h"

namespace kestova {

namespace {

using Cause = DatabaseError::Cause;

[[noreturn]] void notATable(const std::string& table, const std::string& why) {
  throw DatabaseError("Abrir la tabla " + table, table, why, 0, Cause::NotATable);
}

// A view may compute its rows without end, and a virtual table has no stable rows.
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
  if (text != nullptr && foldName(text->substr(0, 14)) == "create virtual")
    notATable(table, "es una tabla virtual, no una tabla");
}

// A column may take one of SQLite's names for the row id; a table without
// row ids, or whose columns take all three names, cannot be written row by row.
std::string rowidName(sqlite3* db, const std::string& table,
                      const std::vector<std::string>& foldedColumns) {
  for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
    if (std::find(foldedColumns.begin(), foldedColumns.end(), candidate) != foldedColumns.end())
      continue;
    try {
      // Preparing the query is the test: it fails on a column that is not there.
      const Statement probe(
          db, std::string("SELECT ") + candidate + " FROM " + quoteIdentifier(table) + " LIMIT 0",
          table);
      return candidate;
    } catch (const DatabaseError& failure) {
      if (failure.message().rfind("no such column", 0) != 0) throw;
    }
    break;
  }
  notATable(table,
            "la tabla no tiene identificador de fila (WITHOUT ROWID, o columnas propias "
            "llamadas rowid, _rowid_ y oid)");
}

}  // namespace

TableSchema TableSchema::read(sqlite3* db, const std::string& table) {
  requireOrdinaryTable(db, table);
  TableSchema schema;
  schema.table = table;
  Statement command(db, "SELECT " + schema.quotedTable() + ".* FROM " + schema.quotedTable(),
                    table);
  for (int i = 0; i < command.columnCount(); ++i) {
    schema.columns.push_back(command.columnName(i));
    schema.foldedColumns.push_back(foldName(schema.columns.back()));
    schema.affinities.push_back(affinityOf(command.columnDeclaredType(i)));
  }
  schema.rowid = rowidName(db, table, schema.foldedColumns);
  Statement triggers(db,
                     "SELECT count(*) FROM sqlite_master WHERE type = 'trigger' "
                     "AND tbl_name = ?1 COLLATE NOCASE",
                     table);
  triggers.bind(1, table);
  schema.hasTriggers = triggers.step() && triggers.columnInt64(0) > 0;
  return schema;
}

int TableSchema::columnIndex(std::string_view name) const {
  // Called for every field of every row: compare against names folded once.
  for (std::size_t i = 0; i < foldedColumns.size(); ++i) {
    const std::string& column = foldedColumns[i];
    if (column.size() != name.size()) continue;
    std::size_t j = 0;
    while (j < name.size() && column[j] == foldAscii(name[j])) ++j;
    if (j == name.size()) return static_cast<int>(i);
  }
  return -1;
}

std::string TableSchema::columnList(const std::vector<int>& chosen) const {
  std::string list;
  for (int column : chosen) {
    if (!list.empty()) list += ", ";
    list += quoteIdentifier(columns[column]);
  }
  return list;
}

std::string TableSchema::quotedTable() const {
  return quoteIdentifier(table);
}

}  // namespace kestova
