#include "tests/test_support.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

#include "data/statement.h"
#include "platform/stop_signals.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova::test {

namespace fs = std::filesystem;

namespace {

// What Kestova keeps between runs (the notes of journal modes) goes to a
// folder of the build, for every test process and the runs it starts, never
// to the home folder of whoever runs the tests. On Windows the tests run in a
// Wine prefix of the build's own, whose local application data it is.
#ifndef _WIN32
[[maybe_unused]] const bool kStateInBuild = ::setenv("XDG_STATE_HOME", KESTOVA_TEST_STATE, 1) == 0;
#endif

}  // namespace

TestFolder::TestFolder() {
  std::random_device random;
  root_ = fs::temp_directory_path() / ("kestova-test-" + std::to_string(random()));
  fs::create_directories(mainPath().parent_path());
  fs::create_directories(work());
}

TestFolder::~TestFolder() {
  std::error_code ignored;
  fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(root_, ignored);
}

fs::path TestFolder::mainPath() const {
  return prefix() / "drive_c" / "Archivos de programa" / "Nevaro" / "Nevaro.mdb";
}

DataSettings TestFolder::settings(std::chrono::milliseconds timeout) const {
  DataSettings settings{work(), prefix(), timeout,
                        std::min(timeout, std::chrono::milliseconds(2'000))};
  settings.stopRequested = &kestova::stopRequested;  // the process's, as the program's
  return settings;
}

void TestFolder::createEmptyDatabases() const {
  sample::createEmptyDatabase(mainPath(), sample::kMainSchema);
  sample::createEmptyDatabase(updatePath(), sample::kUpdateSchema);
}

void insertRows(const fs::path& file, const std::string& table, const std::vector<Row>& rows) {
  sample::SqlCipherFile db(file, sample::kPassword);
  db.exec("BEGIN");
  for (const Row& row : rows) {
    std::string sql = "INSERT INTO " + table + " VALUES (";
    for (std::size_t i = 0; i < row.size(); ++i) sql += i == 0 ? "?" : ", ?";
    Statement insert(db.handle(), sql + ")", table);
    for (std::size_t i = 0; i < row.size(); ++i) insert.bind(static_cast<int>(i + 1), row[i]);
    insert.execute();
  }
  db.exec("COMMIT");
}

std::string dump(const fs::path& file, const std::string& table) {
  sample::SqlCipherFile db(file, sample::kPassword);
  // In storage order: row id order, or primary key order for a table without row ids.
  Statement select(db.handle(), "SELECT * FROM " + table, table);
  std::string text;
  while (select.step()) {
    for (int i = 0; i < select.columnCount(); ++i)
      text += (i > 0 ? " | " : "") + describe(select.column(i));
    text += "\n";
  }
  return text;
}

std::string dumpMain(const fs::path& file) {
  std::string text;
  for (const char* table : {"RNAMarMod", "RNAValVehi1", "RNAValVehi2"})
    text += std::string(table) + ":\n" + dump(file, table);
  return text;
}

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace kestova::test
