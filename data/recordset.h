#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/criteria.h"
#include "data/field_value.h"
#include "data/key_index.h"
#include "data/table_schema.h"

namespace kestova {

class Connection;
class RowWriter;
class TableRows;

// What update() did with the current row.
enum class SaveResult { Added, Updated, Unchanged };

// A static cursor over every row of one ordinary table, in the order the
// database delivers them, with a current row, a filter, row addition and saving.
//
// The rows are those the file holds when the recordset opens (on a
// read-write connection: when it is first used, most often by its first
// filter, which reads them with the key index in one pass), read again with
// the key index of a filter if another program has committed since; rows
// that this recordset adds belong to it, and later filters find them. Row
// values are read from the database when they are used. Before saving a
// changed row it compares the row on disk with the values to write, and
// leaves a row that holds them alone; the comparisons of rows found current
// one after another share a short read transaction (Connection::readCurrent()).
//
// Other programs writing to the table are followed at the cost of what they
// change. Inside each row's own write transaction, where nobody else can
// commit, the rows they have added since the last look (row ids past the
// highest known) are read and filed under their keys, and the filter is
// looked up in them; and while they have committed since every row was last
// read, the row found under the filter is checked to hold its key still:
// when it does not (its key columns changed, or it was deleted), every row is
// read again and the row found anew, or, when none holds the key, not saved.
// While they commit, every row is read again (outside the write lock) at most
// once a second and at most a tenth of the time.
//
// So with another program that adds rows and changes columns other than the
// key, no key gets a second row and each row ends with the values of the
// program that committed to it last, and no row is ever written that no
// longer holds the filter's key. Not seen until every row is read again: a row
// another program gave the filtered key by changing its key columns, and a row
// it added under a row id below the highest known (one of its choosing, or
// one freed by deleting the last rows); in both cases the key may be added a
// second time.
//
// Every failure throws DatabaseError; a failed call changes nothing, except
// that a failed update() discards the row it could not save.
class Recordset {
 public:
  explicit Recordset(std::string name);
  ~Recordset();

  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  const std::string& name() const { return name_; }
  bool isOpen() const { return connection_ != nullptr; }
  const std::string& table() const { return schema_.table; }

  // Runs "SELECT table.* FROM table" on `connection`, which must be open. The
  // first row becomes current. Throws when the table is missing, or is a view,
  // a virtual table or a table without row ids (cause NotATable).
  void open(Connection& connection, const std::string& table);

  // True when there is no current row: an empty table or filter, or after
  // moveNext() from the last row.
  bool eof() const;
  // The number of rows, or with a filter the number of rows that match it.
  std::int64_t recordCount() const;

  // Criteria text in the form parseCriteria() accepts; names match fields
  // without regard to case. Replaces any earlier filter and makes the first
  // matching row current; an empty text removes the filter. A literal compares
  // as the database compares it with the column (a number with a text column
  // as its text); text without regard to letter case and surrounding spaces,
  // numbers by value. A refused text throws and leaves the earlier filter and
  // current row in place.
  void setFilter(std::string_view criteria);
  const std::string& filter() const { return filterText_; }

  // A new row becomes current; its fields are those written until update(),
  // the rest take the table's defaults when it is saved.
  void addNew();

  // The value of the named field (any letter case) in the current row,
  // including a value written but not yet saved. Requires: a current row.
  // The value stays valid until the recordset moves, filters, adds or saves.
  const FieldValue& field(std::string_view name) { return field(readColumn(name)); }
  // Writes a value into the named field of the current row; update() saves it.
  // Requires: a current row.
  void setField(std::string_view name, const FieldValue& value) {
    setField(writeColumn(name), value);
  }

  // The same by column, for a caller that names the same fields on every row:
  // readColumn() and writeColumn() find a field's column once (and throw as
  // field() and setField() do when there is none), the calls below use it.
  int readColumn(std::string_view name) const;
  int writeColumn(std::string_view name) const;
  const FieldValue& field(int column);
  void setField(int column, const FieldValue& value);

  // Saves the current row, added or changed, as one transaction of its own
  // that touches exactly that row: a write the database drops or that changes
  // another number of rows is rolled back and fails. A changed row that
  // already holds every written value, as the database stores it, is not
  // written at all (Unchanged), unless the table has a trigger, which would
  // see the write. When the database refuses the row, it is discarded: it is
  // never saved later, by this call or by any other.
  SaveResult update();

  // Ends the read transaction that update()'s comparisons share once it has
  // been held for a few milliseconds; called between rows, it keeps another
  // program's write from waiting longer than that.
  void endOldReads();

  // Makes the next row current (the next matching one under a filter).
  // Requires: a current row. An unsaved row is discarded, never saved.
  void moveNext();

 private:
  enum class Edit { None, Changed, Added };
  struct Saved {
    bool added = false;
    std::int64_t rowid = 0;
    std::optional<std::string> key;  // the index's key of the saved row
  };

  void requireOpen(const char* operation) const;
  void requireCurrent(const char* operation) const;
  void requireColumn(int column, const char* operation) const;
  [[noreturn]] void refuseColumn(int column, const char* operation) const;
  void placeAtFirstRow() const;
  int columnIndex(std::string_view name, const char* operation) const;
  std::optional<std::string> keyOf(const std::vector<CriteriaTerm>& terms,
                                   std::vector<int>& columns);
  std::uint32_t firstMatch(std::initializer_list<std::uint32_t> likely) const;
  void followMatches();
  void discardEdit();
  void readAllRowsAgain();
  void followOtherWriters();
  bool alreadyHeld();
  Saved writeRow();
  std::optional<std::string> writtenKey(std::int64_t rowid);
  std::string object(std::string_view field = {}) const;

  std::string name_;
  Connection* connection_ = nullptr;
  TableSchema schema_;
  std::unique_ptr<TableRows> rows_;
  std::unique_ptr<RowWriter> writer_;

  std::string filterText_;
  bool filtered_ = false;
  std::optional<std::string> filterKey_;  // none: the criteria can match no row

  // Set on first use after open(): placing it reads the rows.
  mutable bool placed_ = false;
  mutable std::uint32_t current_ = KeyIndex::kNone;
  // The last matches of the two runs of keys in table order followed last
  // (kNone looks at rows 0 and 1 first: a look that costs nothing).
  std::array<std::uint32_t, 2> lastMatches_{KeyIndex::kNone, KeyIndex::kNone};
  Edit edit_ = Edit::None;
  std::uint32_t positionBeforeAdd_ = KeyIndex::kNone;
  std::vector<std::optional<FieldValue>> edits_;

  // Buffers kept between calls made once per source row.
  CriteriaReader criteria_;
  std::vector<int> termColumns_;        // the column of each term of the last criteria
  std::vector<std::size_t> termOrder_;  // its terms in column order
  std::vector<int> filterColumns_;
  std::vector<int> writeColumns_;
};

}  // namespace kestova
