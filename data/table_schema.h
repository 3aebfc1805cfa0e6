#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "data/key_form.h"

struct sqlite3;

namespace kestova {

// What the recordset layer knows of one ordinary table: its columns with
// their affinities, the name that reaches its row id, and whether triggers
// may change what is written to it.
struct TableSchema {
  std::string table;
  std::string rowid;  // "rowid", "_rowid_" or "oid": the first no column has taken
  std::vector<std::string> columns;
  std::vector<std::string> foldedColumns;  // in lower case, for lookups by name
  std::vector<Affinity> affinities;
  bool hasTriggers = false;

  // Reads the description of `table`. Throws DatabaseError when the table is
  // missing (cause TableMissing), or is a view, a virtual table or a table
  // without row ids (cause NotATable): only an ordinary table can be read as
  // a static cursor and written row by row.
  static TableSchema read(sqlite3* db, const std::string& table);

  // The position of the named column, in any letter case; -1 when none.
  int columnIndex(std::string_view name) const;
  // The chosen columns, quoted and separated by commas.
  std::string columnList(const std::vector<int>& chosen) const;
  std::string quotedTable() const;
};

}  // namespace kestova
