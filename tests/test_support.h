#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "data/connection.h"
#include "data/field_value.h"

namespace kestova::test {

using Row = std::vector<FieldValue>;

// A fresh folder per test with a Windows prefix and a working folder (named
// in Spanish, letters beyond ASCII and all), laid out where the program looks:
// the main database under the prefix's drive_c, the update database in the
// working folder. Removed when the test ends.
class TestFolder {
 public:
  TestFolder();
  ~TestFolder();

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path prefix() const { return root_ / "prefix"; }
  std::filesystem::path work() const { return root_ / u8"Actualización ñ"; }
  std::filesystem::path mainPath() const;
  std::filesystem::path updatePath() const { return work() / "Kestova.mdb"; }

  // Settings that point a data environment at this folder.
  DataSettings settings(
      std::chrono::milliseconds timeout = std::chrono::milliseconds(30'000)) const;

  // Both databases with the reference schema and no rows.
  void createEmptyDatabases() const;

 private:
  std::filesystem::path root_;
};

// Inserts rows, each value in column order, in one transaction.
void insertRows(const std::filesystem::path& file, const std::string& table,
                const std::vector<Row>& rows);

// Every row of a table in storage order, one line per row, values as
// describe() gives them ('text', 12, 3.5, Null) separated by " | ".
std::string dump(const std::filesystem::path& file, const std::string& table);

// The same for all three main tables, headed by their names.
std::string dumpMain(const std::filesystem::path& file);

std::string readBytes(const std::filesystem::path& file);

}  // namespace kestova::test
