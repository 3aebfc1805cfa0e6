#include "bench/floor_loop.h"

#include <sqlite3.h>

#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "data/criteria.h"
#include "data/data_environment.h"
#include "data/database_error.h"
#include "data/key_form.h"
#include "data/key_index.h"
#include "data/statement.h"
#include "sync/key_text.h"
#include "sync/table_definition.h"

namespace kestova::bench {

namespace {

namespace fs = std::filesystem;

// A prepared statement on a raw handle: the floor reads and writes through the
// C API itself, so that kestova::Statement's FieldValue copies are not measured
// along with the database.
struct FinalizeStatement {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using RawStatement = std::unique_ptr<sqlite3_stmt, FinalizeStatement>;

// Throws DatabaseError unless rc is SQLITE_OK, SQLITE_ROW or SQLITE_DONE.
void require(sqlite3* db, int rc, std::string_view what) {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  throw DatabaseError(std::string(what), sqlite3_db_filename(db, "main"), sqlite3_errmsg(db), rc);
}

// Throws DatabaseError with the database's message and the SQL's beginning.
RawStatement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
  RawStatement statement(raw);
  require(db, rc, "prepare \"" + sql.substr(0, 80) + "\"");
  return statement;
}

std::string tableOf(DataEnvironment2& environment, const std::string& member) {
  return environment.commandOf(member).table;
}

// The target fields the key pieces compare with, in piece order: the names of
// a filter built on stand-in values, read back the way the recordset reads it.
std::vector<std::string> targetKeyFields(const TableDefinition& table) {
  std::string text;
  for (const KeyPiece& piece : table.key)
    text += piece.literal + (piece.form == KeyPiece::Form::Number ? "0" : "x");
  std::vector<std::string> names;
  for (const CriteriaTerm& term : parseCriteria(text)) names.push_back(term.name);
  return names;
}

// The comparison form of a source row's key: its filter text as the run
// writes it, parsed as the recordset parses it. None when the run would reject
// the row: its filter cannot be written or is refused.
std::optional<std::string> sourceKey(const TableDefinition& table,
                                     const std::vector<FieldValue>& values) {
  std::string text;
  try {
    for (std::size_t i = 0; i < table.key.size(); ++i) {
      const KeyPiece& piece = table.key[i];
      text += piece.literal;
      text += keyText(values[i], piece.form, piece.sourceField);
    }
    std::string key;
    for (const CriteriaTerm& term : parseCriteria(text)) appendKeyPart(key, term.literal);
    return key;
  } catch (const RejectedKey&) {
  } catch (const DatabaseError&) {
  }
  return std::nullopt;
}

std::string quotedList(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + quoteIdentifier(name);
  return list;
}

std::vector<std::int64_t> planTable(const TableDefinition& table, sqlite3* mainDb,
                                    const std::string& targetTable, sqlite3* updateDb,
                                    const std::string& sourceTable) {
  // The first target row of each key, in delivery order: the row a filter makes current.
  std::unordered_map<std::string, std::int64_t> firstRow;
  Statement target(mainDb,
                   "SELECT rowid, " + quotedList(targetKeyFields(table)) + " FROM " +
                       quoteIdentifier(targetTable) + " NOT INDEXED",
                   targetTable);
  std::string key;
  while (target.step()) {
    key.clear();
    bool matchable = true;
    for (int i = 1; i < target.columnCount() && matchable; ++i)
      matchable = appendKeyPart(key, target.column(i));
    if (matchable) firstRow.try_emplace(key, target.columnInt64(0));
  }

  std::vector<std::string> sourceFields;
  for (const KeyPiece& piece : table.key) sourceFields.push_back(piece.sourceField);
  Statement source(updateDb,
                   "SELECT " + quotedList(sourceFields) + " FROM " + quoteIdentifier(sourceTable) +
                       " NOT INDEXED",
                   sourceTable);
  std::vector<std::int64_t> plan;
  std::vector<FieldValue> values(sourceFields.size());
  std::int64_t inserts = 0;
  while (source.step()) {
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = source.column(static_cast<int>(i));
    std::optional<std::string> sourceKeyForm = sourceKey(table, values);
    if (!sourceKeyForm) {
      plan.push_back(FloorPlan::kSkip);
      continue;
    }
    // A key seen for the first time with no target row adds one; later rows
    // with the key find the added row.
    auto [entry, added] = firstRow.try_emplace(std::move(*sourceKeyForm), -(inserts + 1));
    if (added) {
      ++inserts;
      plan.push_back(FloorPlan::kInsert);
    } else {
      plan.push_back(entry->second);
    }
  }
  return plan;
}

// The write statements of one table, made when first needed: an insert or an
// update, for each set of guarded copies that a source row leaves out.
class TableWriter {
 public:
  TableWriter(sqlite3* db, const TableDefinition& table, std::string targetTable)
      : db_(db), table_(table), targetTable_(std::move(targetTable)) {
    for (std::size_t i = 0; i < table.copies.size(); ++i)
      if (table.copies[i].guard == FieldCopy::Guard::SkipNullOrEmpty) skippable_.push_back(i);
    statements_.resize(std::size_t{2} << skippable_.size());
  }

  // Requires: source stands on a row whose columns are the copies' source fields.
  void write(sqlite3_stmt* source, bool insert, std::int64_t rowid) {
    unsigned omitted = 0;
    for (std::size_t bit = 0; bit < skippable_.size(); ++bit) {
      const int column = static_cast<int>(skippable_[bit]);
      const int type = sqlite3_column_type(source, column);
      if (type == SQLITE_NULL || (type == SQLITE_TEXT && sqlite3_column_bytes(source, column) == 0))
        omitted |= 1u << bit;
    }
    sqlite3_stmt* statement = statementFor(insert, omitted);
    int parameter = 1;
    for (std::size_t i = 0; i < table_.copies.size(); ++i) {
      if (isOmitted(i, omitted)) continue;
      const int column = static_cast<int>(i);
      int rc;
      if (table_.copies[i].guard == FieldCopy::Guard::ZeroWhenNull &&
          sqlite3_column_type(source, column) == SQLITE_NULL)
        rc = sqlite3_bind_int64(statement, parameter++, 0);
      else
        rc = sqlite3_bind_value(statement, parameter++, sqlite3_column_value(source, column));
      require(db_, rc, "bind " + table_.copies[i].targetField);
    }
    if (!insert) require(db_, sqlite3_bind_int64(statement, parameter, rowid), "bind rowid");
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    require(db_, rc, insert ? "insert into " + targetTable_ : "update " + targetTable_);
    if (!insert && sqlite3_changes(db_) != 1)
      throw DatabaseError("update", targetTable_,
                          "row " + std::to_string(rowid) + " of the plan is not in the table");
  }

 private:
  bool isOmitted(std::size_t copy, unsigned omitted) const {
    for (std::size_t bit = 0; bit < skippable_.size(); ++bit)
      if (skippable_[bit] == copy) return (omitted >> bit & 1u) != 0;
    return false;
  }

  sqlite3_stmt* statementFor(bool insert, unsigned omitted) {
    RawStatement& statement = statements_[omitted << 1 | (insert ? 1u : 0u)];
    if (statement) return statement.get();
    std::vector<std::string> fields;
    for (std::size_t i = 0; i < table_.copies.size(); ++i)
      if (!isOmitted(i, omitted)) fields.push_back(table_.copies[i].targetField);
    std::string sql;
    if (insert) {
      sql = "INSERT INTO " + quoteIdentifier(targetTable_) + " (" + quotedList(fields) +
            ") VALUES (?";
      for (std::size_t i = 1; i < fields.size(); ++i) sql += ", ?";
      sql += ")";
    } else {
      sql = "UPDATE " + quoteIdentifier(targetTable_) + " SET ";
      for (std::size_t i = 0; i < fields.size(); ++i)
        sql += (i > 0 ? ", " : "") + quoteIdentifier(fields[i]) + " = ?";
      sql += " WHERE rowid = ?";
    }
    statement = prepare(db_, sql);
    return statement.get();
  }

  sqlite3* db_;
  const TableDefinition& table_;
  std::string targetTable_;
  std::vector<std::size_t> skippable_;  // copies whose guard can leave them out
  std::vector<RawStatement> statements_;
};

}  // namespace

std::int64_t FloorPlan::sourceRows() const {
  std::int64_t rows = 0;
  for (const auto& table : tables) rows += static_cast<std::int64_t>(table.size());
  return rows;
}

void FloorPlan::save(const fs::path& file) const {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  for (const auto& table : tables) {
    const auto size = static_cast<std::uint64_t>(table.size());
    out.write(reinterpret_cast<const char*>(&size), sizeof size);
    out.write(reinterpret_cast<const char*>(table.data()),
              static_cast<std::streamsize>(table.size() * sizeof(std::int64_t)));
  }
  if (!out.flush()) throw std::runtime_error("cannot write the floor plan " + file.string());
}

FloorPlan FloorPlan::load(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  FloorPlan plan;
  for (auto& table : plan.tables) {
    std::uint64_t size = 0;
    in.read(reinterpret_cast<char*>(&size), sizeof size);
    table.resize(size);
    in.read(reinterpret_cast<char*>(table.data()),
            static_cast<std::streamsize>(size * sizeof(std::int64_t)));
  }
  if (!in) throw std::runtime_error("cannot read the floor plan " + file.string());
  return plan;
}

FloorPlan planFloor(const Layout& layout) {
  // Both files read-only, so planning leaves the start main file as it is.
  Connection mainFile("Nevaro", connectionStringFor(layout.startMainPath()), true);
  Connection updateFile("Actualizacion", connectionStringFor(layout.updatePath()), true);
  mainFile.open(folderSettings(layout.startMainPath().parent_path()));
  updateFile.open(folderSettings(layout.updatePath().parent_path()));
  DataEnvironment2 names(layout.settings());  // only for its table names; never opened

  FloorPlan plan;
  for (std::size_t t = 0; t < runTables().size(); ++t) {
    const TableDefinition& table = *runTables()[t];
    plan.tables[t] = planTable(table, mainFile.handle(), tableOf(names, table.target),
                               updateFile.handle(), tableOf(names, table.source));
  }
  return plan;
}

FloorOutcome runFloor(const Layout& layout, const FloorPlan& plan) {
  FloorOutcome outcome;
  DataEnvironment2 environment(layout.settings());
  environment.openConnection("Nevaro");
  environment.openConnection("Actualizacion");
  // The same mode and checkpoints as a run's writes.
  environment.connection("Nevaro").prepareForWrites();
  sqlite3* mainDb = environment.connection("Nevaro").handle();
  sqlite3* updateDb = environment.connection("Actualizacion").handle();

  for (std::size_t t = 0; t < runTables().size(); ++t) {
    const TableDefinition& table = *runTables()[t];
    const std::vector<std::int64_t>& entries = plan.tables[t];
    const std::string sourceTable = tableOf(environment, table.source);
    std::vector<std::string> sourceFields;
    for (const FieldCopy& copy : table.copies) sourceFields.push_back(copy.sourceField);
    RawStatement source = prepare(updateDb, "SELECT " + quotedList(sourceFields) + " FROM " +
                                                quoteIdentifier(sourceTable) + " NOT INDEXED");
    TableWriter writer(mainDb, table, tableOf(environment, table.target));
    std::vector<std::int64_t> insertedRowids;

    std::size_t row = 0;
    int rc;
    while ((rc = sqlite3_step(source.get())) == SQLITE_ROW) {
      if (row == entries.size())
        throw std::runtime_error(sourceTable + " has more rows than the floor plan");
      const std::int64_t entry = entries[row++];
      if (entry == FloorPlan::kSkip) continue;
      if (entry == FloorPlan::kInsert) {
        writer.write(source.get(), true, 0);
        insertedRowids.push_back(sqlite3_last_insert_rowid(mainDb));
        ++outcome.inserted;
      } else {
        writer.write(source.get(), false,
                     entry > 0 ? entry : insertedRowids.at(static_cast<std::size_t>(-entry - 1)));
        ++outcome.updated;
      }
    }
    require(updateDb, rc, "read " + sourceTable);
    if (row != entries.size())
      throw std::runtime_error(sourceTable + " has fewer rows than the floor plan");
  }
  return outcome;
}

}  // namespace kestova::bench
