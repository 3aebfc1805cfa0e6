#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>

#include "data/connection_string.h"
#include "data/data_environment.h"
#include "data/database_error.h"
#include "data/key_form.h"
#include "data/statement.h"
#include "data/text_rules.h"
#include "platform/program_files.h"
#include "platform/user_folders.h"
#include "tests/test_support.h"
#include "tools/sample/sample_data.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using test::TestFolder;
using I = std::int64_t;
using Cause = DatabaseError::Cause;

// Linux serves Nevaro installed under Wine: drive C: is the prefix's drive_c
// (and tests give Windows a prefix too).
TEST(ConnectionString, WindowsPathsMapIntoTheWindowsPrefix) {
  const fs::path prefix = "/home/ana/.wine";
  EXPECT_EQ(resolveDataSource("C:\\Archivos de programa\\Nevaro\\Nevaro.mdb", "/w", prefix),
            "/home/ana/.wine/drive_c/Archivos de programa/Nevaro/Nevaro.mdb");
  EXPECT_EQ(resolveDataSource("c:\\x.mdb", "/w", prefix), "/home/ana/.wine/drive_c/x.mdb");
  EXPECT_EQ(resolveDataSource("Kestova.mdb", "/w/dir", prefix), "/w/dir/Kestova.mdb");
  EXPECT_EQ(resolveDataSource("sub\\K.mdb", "/w", prefix), "/w/sub/K.mdb");
  // As on Windows, ".." stops at the root of the drive, and a path from the
  // root is on the current drive.
  EXPECT_EQ(resolveDataSource("C:\\..\\..\\x.mdb", "/w", prefix), "/home/ana/.wine/drive_c/x.mdb");
  EXPECT_EQ(resolveDataSource("\\Nevaro\\.\\x.mdb", "/w", prefix),
            "/home/ana/.wine/drive_c/Nevaro/x.mdb");
  EXPECT_THROW(resolveDataSource("D:\\x.mdb", "/w", prefix), DatabaseError);
  EXPECT_THROW(resolveDataSource("\\\\servidor\\x.mdb", "/w", prefix), DatabaseError);
}

#ifndef _WIN32
// Without WINEPREFIX and HOME the home folder comes from the user database,
// never a folder relative to wherever the program was started.
TEST(ConnectionString, TheWindowsPrefixIsAbsoluteWithoutHome) {
  const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::unsetenv("WINEPREFIX");
  ::unsetenv("HOME");
  const fs::path prefix = defaultWindowsPrefix();
  ::setenv("HOME", home.c_str(), 1);
  EXPECT_TRUE(prefix.is_absolute()) << prefix;
  EXPECT_EQ(prefix.filename(), ".wine");
}
#endif

// Windows keeps an older program's copy of a file under Program Files in the
// user's VirtualStore, under the file's path without its drive, as named or
// with the junction of its folder followed; a folder is inside another when
// it is once links are followed, part by part.
TEST(ProgramFiles, TheVirtualStoreCopyAndTheFoldersAreFoundWithLinksFollowed) {
  TestFolder folder;
  const fs::path store = folder.root() / "VirtualStore", real = folder.root() / "Program Files";
  const fs::path file = real / "Nevaro" / "Nevaro.mdb", copy = store / file.relative_path();
  fs::create_directories(file.parent_path());
  fs::create_directories(folder.root() / "Program");
  EXPECT_EQ(virtualStoreCopy(file, store), std::nullopt);
  fs::create_directories(copy.parent_path());
  std::ofstream(copy) << "c";
  EXPECT_EQ(virtualStoreCopy(file, store), copy);
  EXPECT_EQ(virtualStoreCopy(file, {}), std::nullopt);
  EXPECT_TRUE(isInside(file.parent_path(), folder.root()));
  EXPECT_FALSE(isInside(file.parent_path(), folder.root() / "Program"));
  EXPECT_FALSE(isInside(folder.root(), real));

  std::error_code error;
  const fs::path link = folder.root() / "Archivos de programa";
  fs::create_directory_symlink(real, link, error);
  if (error) GTEST_SKIP() << "no links here: " << error.message();
  EXPECT_EQ(virtualStoreCopy(link / "Nevaro" / "Nevaro.mdb", store), copy);
  EXPECT_TRUE(isInside(link / "Nevaro", real));
}

// Filter texts fold ASCII and Latin-1 letters (Ñandú, ÀÞ) but not × and ÷,
// which are no letters, nor ß, which has no capital there, nor Ÿ, which lies
// outside Latin-1; only spaces are trimmed. Names fold ASCII letters only.
TEST(TextRules, FilterTextsIgnoreLetterCaseAndSurroundingSpacesNamesOnlyAsciiCase) {
  struct Case {
    const char* a;
    const char* b;
    bool sameText, sameName;
  };
  const Case cases[] = {
      {"Ford", "FORD", true, true},    {"AnioImpuesto", "Anioimpuesto", true, true},
      {"  b ", "B", true, false},      {"", "   ", true, false},
      {"a b", "ab", false, false},     {"a\t", "a", false, false},
      {"Ñandú", "ñANDÚ", true, false}, {"ÀÞ", "àþ", true, false},
      {"×", "÷", false, false},        {"ß", "ÿ", false, false},
      {"Ÿ", "ÿ", false, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(comparableText(c.a) == comparableText(c.b), c.sameText) << c.a << " / " << c.b;
    EXPECT_EQ(sameName(c.a, c.b), c.sameName) << c.a << " / " << c.b;
  }
}

TEST(TextRules, NumberLiteralsAreWholeWithin64BitsOrElseReal) {
  const std::pair<const char*, FieldValue> accepted[] = {
      {"12", I{12}},
      {"+7", I{7}},
      {"-0", I{0}},
      {"007", I{7}},
      {"1.50", 1.5},
      {"-2.0", -2.0},
      {"9223372036854775807", I{INT64_MAX}},
      {"-9223372036854775808", I{INT64_MIN}},
      {"9223372036854775808", 9223372036854775808.0},
      {"99999999999999999999", 1e20}};
  for (const auto& [text, value] : accepted) EXPECT_EQ(parseNumberLiteral(text), value) << text;
  // The last two: beyond a double, and a non-zero value too small for one.
  for (const std::string& text :
       std::vector<std::string>{"", "-", "+-1", "1.", ".5", "1.2.3", "1e5", "1,5", " 1", "0x10",
                                std::string(400, '9'), "0." + std::string(400, '0') + "1"})
    EXPECT_EQ(parseNumberLiteral(text), std::nullopt) << text;
}

std::string firstText(sqlite3* db, const std::string& sql) {
  Statement statement(db, sql, "prueba");
  return statement.step() ? describe(statement.column(0)) : "";
}

// The program runs the engine it is built with, never an older SQLite the
// machine also has: SQLite 3.44 or later, its header and library of one
// version, with SQLCipher's codec encrypting what it writes.
TEST(Engine, IsACurrentSqliteWithItsCodec) {
  EXPECT_GE(sqlite3_libversion_number(), 3044000) << sqlite3_libversion();
  EXPECT_EQ(sqlite3_libversion_number(), SQLITE_VERSION_NUMBER) << sqlite3_libversion();
  TestFolder folder;
  sample::SqlCipherFile file(folder.mainPath(), sample::kPassword,
                             sample::SqlCipherFile::Mode::kCreate);
  file.exec("CREATE TABLE t(a)");
  EXPECT_EQ(firstText(file.handle(), "PRAGMA cipher_version").substr(0, 3), "'4.");
#ifdef _WIN32
  EXPECT_EQ(firstText(file.handle(), "PRAGMA cipher_provider"), "'libtomcrypt'");
#else
  EXPECT_EQ(firstText(file.handle(), "PRAGMA cipher_provider"), "'openssl'");
#endif
  EXPECT_NE(test::readBytes(folder.mainPath()).substr(0, 15), "SQLite format 3");
}

// Both files come from outside the program: neither connection lets what a
// file holds write its schema or call functions with side effects.
TEST(Engine, BothConnectionsReadTheirFilesDefensively) {
  TestFolder folder;
  folder.createEmptyDatabases();
  DataEnvironment2 environment(folder.settings());
  environment.openConnection("Nevaro");
  environment.openRecordset("rsC_MarMod_Actualizacion");
  for (const char* name : {"Nevaro", "Actualizacion"}) {
    sqlite3* db = environment.connection(name).handle();
    int defensive = 0, trustedSchema = 1;
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, -1, &defensive);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, -1, &trustedSchema);
    EXPECT_EQ(defensive, 1) << name;
    EXPECT_EQ(trustedSchema, 0) << name;
    EXPECT_EQ(firstText(db, "PRAGMA cell_size_check"), "1") << name;
  }
}

#ifndef _WIN32
// What Debian's SQLCipher command-line tool (3.4.1) prints for `sql` on `file`.
std::string debianTool(const fs::path& file, const std::string& sql) {
  const std::string command = "sqlcipher -batch '" + file.string() + "' \"PRAGMA key='" +
                              sample::kPassword + "';\" \"" + sql + "\" 2>&1";
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  ::pclose(pipe);
  return out;
}

// The files keep the format Nevaro's and the updates have always had: one
// that Debian 12's own SQLCipher tool writes opens, and one written here opens
// in that tool.
TEST(Engine, FilesKeepTheFormatOfDebiansSqlCipherTool) {
  TestFolder folder;
  const fs::path theirs = folder.root() / "theirs.mdb", ours = folder.mainPath();
  ASSERT_EQ(debianTool(theirs, "CREATE TABLE t(a); INSERT INTO t VALUES ('de ellos');"), "");
  sample::SqlCipherFile read(theirs, sample::kPassword);
  EXPECT_EQ(firstText(read.handle(), "SELECT a FROM t"), "'de ellos'");

  sample::SqlCipherFile written(ours, sample::kPassword, sample::SqlCipherFile::Mode::kCreate);
  written.exec("CREATE TABLE t(a); INSERT INTO t VALUES ('nuestra')");
  EXPECT_EQ(debianTool(ours, "PRAGMA integrity_check; SELECT a FROM t;"), "ok\nnuestra\n");
}
#endif

TEST(DataEnvironment2, MembersStartClosedAndARecordsetOpensOnlyItsOwnConnection) {
  TestFolder folder;
  folder.createEmptyDatabases();
  DataEnvironment2 environment(folder.settings());
  for (const char* name :
       {"rsC_Marmod_Nevaro", "rsC_MarMod_Actualizacion", "rsC_ValVehi1_Nevaro",
        "rsC_ValVehi1_Actualizacion", "rsC_ValVehi2_Nevaro", "rsC_ValVehi2_Actualizacion"})
    EXPECT_FALSE(environment.recordset(name).isOpen()) << name;
  EXPECT_THROW(environment.recordset("rsC_Otro"), DatabaseError);
  environment.openRecordset("RSC_MARMOD_ACTUALIZACION");
  EXPECT_TRUE(environment.connection("actualizacion").isOpen());
  EXPECT_FALSE(environment.connection("Nevaro").isOpen());
  EXPECT_TRUE(environment.recordset("rsC_MarMod_Actualizacion").eof());
}

// Opening fails naming the file and a cause a person can act on, whatever is
// wrong with the file. (That nothing is created or changed beside it is
// checked for whole runs in the window tests.)
TEST(Connection, AFileThatCannotServeIsRefusedNamingItAndWhy) {
  struct Case {
    const char* name;
    std::optional<std::string> bytes;  // else a database keyed with `key`, or no file
    const char* key;
    Cause cause;
  };
  const Case cases[] = {{"missing", std::nullopt, nullptr, Cause::FileMissing},
                        {"empty", "", nullptr, Cause::NotADatabase},
                        {"random bytes", std::string(4096, 'Z'), nullptr, Cause::NotADatabase},
                        {"other password", std::nullopt, "otra", Cause::NotADatabase},
                        {"unencrypted", std::nullopt, "", Cause::NotADatabase},
                        {"read-only", std::nullopt, sample::kPassword, Cause::CannotWrite}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestFolder folder;
    const fs::path file = folder.mainPath();
    if (c.bytes) std::ofstream(file, std::ios::binary) << *c.bytes;
    if (c.key)
      sample::SqlCipherFile(file, c.key, sample::SqlCipherFile::Mode::kCreate)
          .exec("CREATE TABLE t(a)");
    if (c.cause == Cause::CannotWrite) fs::permissions(file, fs::perms::owner_read);
    // Whoever may write anyway (root, an administrator) cannot test this case.
    if (c.cause == Cause::CannotWrite && std::ofstream(file, std::ios::app)) continue;
    DataEnvironment2 environment(folder.settings());
    try {
      environment.openConnection("Nevaro");
      ADD_FAILURE() << "opened";
    } catch (const DatabaseError& error) {
      EXPECT_EQ(error.cause(), c.cause) << error.what();
      EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
    }
    EXPECT_FALSE(environment.connection("Nevaro").isOpen());
  }
}

// A recordset over the brands table of a main database with a few rows.
class RecordsetTest : public ::testing::Test {
 protected:
  static test::Row brand(FieldValue codMar, FieldValue codMod, const char* nombre,
                         FieldValue subCat) {
    return {codMar, codMod, nombre, Null{}, Null{}, Null{}, subCat, Null{}, "S"};
  }

  void SetUp() override {
    folder_.createEmptyDatabases();
    test::insertRows(folder_.mainPath(), "RNAMarMod",
                     {brand(I{1}, I{10}, "UNO", " a "), brand(I{2}, I{20}, "DOS", "B"),
                      brand(I{1}, I{10}, "UNO BIS", "A")});
    environment_.openConnection("Nevaro");
    target_.open(environment_.connection("Nevaro"), "RNAMarMod");
  }

  std::string table() { return test::dump(folder_.mainPath(), "RNAMarMod"); }

  TestFolder folder_;
  DataEnvironment2 environment_{folder_.settings()};
  Recordset target_{"rsMarMod"};
  const std::string initial_ =
      "1 | 10 | 'UNO' | Null | Null | Null | ' a ' | Null | 'S'\n"
      "2 | 20 | 'DOS' | Null | Null | Null | 'B' | Null | 'S'\n"
      "1 | 10 | 'UNO BIS' | Null | Null | Null | 'A' | Null | 'S'\n";
};

TEST_F(RecordsetTest, FirstMatchBecomesCurrentRowAndAllMatchesAreCounted) {
  target_.setFilter("CodMar = 1 and Codmod = 10");
  EXPECT_EQ(target_.recordCount(), 2);
  EXPECT_EQ(target_.field("nombre"), FieldValue("UNO"));
  target_.moveNext();
  EXPECT_EQ(target_.field("NOMBRE"), FieldValue("UNO BIS"));
  target_.moveNext();
  EXPECT_TRUE(target_.eof());
  target_.setFilter("CodMar = 1 and Codmod = 20");
  EXPECT_EQ(target_.recordCount(), 0);
  EXPECT_TRUE(target_.eof());
  EXPECT_THROW(target_.setField("Nombre", "X"), DatabaseError);
  // A literal compares as the database compares it with the column: a text
  // that reads as a number with a number column.
  target_.setFilter("CodMar = ' 2 '");
  EXPECT_EQ(target_.recordCount(), 1);
  // Terms in any order; a field named twice matches only when both values do,
  // whichever term comes first.
  for (const auto& [criteria, count] :
       {std::pair{"Codmod = 10 and CodMar = 1", 2},
        std::pair{"CodMar = 1 and Codmod = 10 and codmar = 1.0", 2},
        std::pair{"CodMar = 2 and Codmod = 10 and codmar = 1", 0},
        std::pair{"CodMar = 1 and Codmod = 10 and codmar = 2", 0}}) {
    target_.setFilter(criteria);
    EXPECT_EQ(target_.recordCount(), count) << criteria;
  }
}

TEST_F(RecordsetTest, RefusedFilterKeepsTheEarlierOne) {
  target_.setFilter("CodMar = 2 and Codmod = 20");
  // Only equality terms joined by `and` are criteria (the parsers fuzz target
  // checks the whole grammar); a field must exist.
  for (const char* refused : {"CodMar = 1 or 1 = 1", "CodMar = 0) or (1", "Subcat = 'x",
                              "CodMar > 1", "CodMar = 1 and", "CodMar = 12abc", "Nada = 1"})
    EXPECT_THROW(target_.setFilter(refused), DatabaseError) << refused;
  EXPECT_EQ(target_.filter(), "CodMar = 2 and Codmod = 20");
  EXPECT_EQ(target_.recordCount(), 1);
  EXPECT_EQ(target_.field("Nombre"), FieldValue("DOS"));
}

// What a later filter finds is what the database stored, the column's type
// applied, for added and changed rows alike; a changed key leaves its old key.
TEST_F(RecordsetTest, SavedRowsAreFilteredAsTheDatabaseStoredThem) {
  target_.setFilter("CodMar = 7 and Codmod = 70");
  target_.addNew();
  target_.setField("CodMar", I{7});
  target_.setField("codmod", "70");
  target_.update();
  target_.setFilter("CodMar = 2 and Codmod = 20");
  target_.setField("SubCat", I{0});
  target_.update();
  target_.setFilter("CodMar = 1 and Codmod = 10");
  target_.setField("CodMar", I{9});
  target_.update();
  const std::pair<const char*, const char*> found[] = {{"CodMar = 7 and Codmod = 70", "N"},
                                                       {"SubCat = '0'", "DOS"},
                                                       {"CodMar = 1 and Codmod = 10", "UNO BIS"},
                                                       {"CodMar = 9", "UNO"}};
  for (const auto& [criteria, value] : found) {
    target_.setFilter(criteria);
    EXPECT_EQ(target_.recordCount(), 1) << criteria;
    EXPECT_EQ(target_.field(value == std::string("N") ? "Alta" : "Nombre"), FieldValue(value));
  }
}

TEST_F(RecordsetTest, UnsavedChangesAreNeverSavedByFilteringOrMoving) {
  target_.setFilter("CodMar = 1 and Codmod = 10");
  target_.setField("Nombre", "PERDIDO");
  target_.moveNext();
  target_.setField("Nombre", "TAMBIEN PERDIDO");
  target_.setFilter("CodMar = 2 and Codmod = 20");
  target_.addNew();
  target_.setField("CodMar", I{5});
  target_.setFilter("CodMar = 2 and Codmod = 20");
  target_.update();  // nothing pending
  EXPECT_EQ(table(), initial_);
}

// Another program adds a key after the rows were read, and the run, as it
// does for a key no row holds, adds it. The filter need not see the other
// program's row yet; the save, holding the write lock, reads the rows again
// and changes that row instead of adding the key a second time.
TEST_F(RecordsetTest, AKeyAnotherProgramAddsAfterTheRowsWereReadIsNotAddedAgain) {
  target_.setFilter("CodMar = 3 and Codmod = 30");
  test::insertRows(folder_.mainPath(), "RNAMarMod", {brand(I{3}, I{30}, "OTRO", Null{})});
  target_.setFilter("CodMar = 3 and Codmod = 30");
  if (target_.recordCount() == 0) target_.addNew();
  target_.setField("Nombre", "NUEVO");
  EXPECT_EQ(target_.update(), SaveResult::Updated);
  EXPECT_EQ(table(), initial_ + "3 | 30 | 'NUEVO' | Null | Null | Null | Null | Null | 'S'\n");
}

// Another program deletes the matched row between the filter and the save:
// the save fails as a row gone, and neither adds the row again nor writes any
// other row in its place.
TEST_F(RecordsetTest, ARowDeletedByAnotherProgramIsNotSavedAndNothingElseIsWritten) {
  target_.setFilter("CodMar = 2 and Codmod = 20");
  sample::SqlCipherFile(folder_.mainPath(), sample::kPassword)
      .exec("DELETE FROM RNAMarMod WHERE CodMar = 2");
  target_.setField("Nombre", "NUEVO");
  try {
    target_.update();
    ADD_FAILURE() << "saved a deleted row";
  } catch (const DatabaseError& error) {
    EXPECT_EQ(error.cause(), Cause::RowGone) << error.what();
  }
  target_.setFilter("CodMar = 1 and Codmod = 10");
  target_.setField("Nombre", "UNO NUEVO");
  target_.update();
  EXPECT_EQ(table(),
            "1 | 10 | 'UNO NUEVO' | Null | Null | Null | ' a ' | Null | 'S'\n"
            "1 | 10 | 'UNO BIS' | Null | Null | Null | 'A' | Null | 'S'\n");
}

// Once a table's largest rowid is taken, SQLite gives new rows lower, random
// ones: rows in delivery order no longer have ascending rowids.
TEST_F(RecordsetTest, FiltersFindRowsInDeliveryOrderWhenRowidsAreNotAscending) {
  sample::SqlCipherFile(folder_.mainPath(), sample::kPassword)
      .exec(
          "INSERT INTO RNAMarMod (rowid, CodMar, CodMod, Nombre) "
          "VALUES (9223372036854775807, 3, 30, 'ULTIMO')");
  Recordset target("rsMarMod");
  target.open(environment_.connection("Nevaro"), "RNAMarMod");
  for (const char* nombre : {"AGREGADO 1", "AGREGADO 2"}) {
    target.addNew();
    target.setField("CodMar", I{3});
    target.setField("CodMod", I{30});
    target.setField("Nombre", nombre);
    target.update();
  }
  target.setFilter("CodMod = 30 and CodMar = 3");
  EXPECT_EQ(target.recordCount(), 3);
  std::string names;
  for (; !target.eof(); target.moveNext())
    names += std::get<std::string>(target.field("Nombre")) + ";";
  EXPECT_EQ(names, "ULTIMO;AGREGADO 1;AGREGADO 2;");
  target.setFilter("CodMar = 1");
  EXPECT_EQ(target.field("Nombre"), FieldValue("UNO"));
}

TEST(RecordsetUpdate, ARowTheDatabaseRefusesIsDiscardedNotSavedLater) {
  TestFolder folder;
  sample::createEmptyDatabase(folder.mainPath(),
                              "CREATE TABLE T(k INTEGER, v TEXT NOT NULL CHECK (v <> 'malo'));"
                              "INSERT INTO T VALUES (1, 'uno');");
  DataEnvironment2 environment(folder.settings());
  environment.openConnection("Nevaro");
  Recordset recordset("rsT");
  recordset.open(environment.connection("Nevaro"), "T");

  recordset.setFilter("k = 1");
  recordset.setField("v", "malo");
  EXPECT_THROW(recordset.update(), DatabaseError);
  recordset.addNew();
  recordset.setField("k", I{2});
  EXPECT_THROW(recordset.update(), DatabaseError);  // v is Null
  recordset.setFilter("k = 1");
  recordset.update();
  recordset.setField("v", "bien");
  recordset.update();
  recordset.setFilter("k = 2");
  EXPECT_EQ(recordset.recordCount(), 0);
  EXPECT_EQ(test::dump(folder.mainPath(), "T"), "1 | 'bien'\n");
}

}  // namespace
}  // namespace kestova
