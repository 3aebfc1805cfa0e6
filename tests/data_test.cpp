#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unistd.h>

#include <fstream>

#include "connection_string.h"
#include "criteria.h"
#include "data_environment.h"
#include "database_error.h"
#include "sample_data.h"
#include "sqlcipher_file.h"
#include "statement.h"
#include "test_support.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using test::Row;
using test::TestFolder;

TEST(ConnectionString, KeysIgnoreCaseAndSpacesAndValuesMayBeQuoted) {
  auto parsed = ConnectionString::parse(
      " provider = Microsoft.Jet.OLEDB.3.51 ;DATA SOURCE=\"a;b=c.mdb\"; "
      "Jet OLEDB:Database Password=\r\n'it''s';;");
  EXPECT_EQ(parsed.value("Provider"), "Microsoft.Jet.OLEDB.3.51");
  EXPECT_EQ(parsed.value("data source"), "a;b=c.mdb");
  EXPECT_EQ(parsed.value("Jet OLEDB:Database Password"), "it's");
  EXPECT_EQ(parsed.value("User ID"), std::nullopt);
}

TEST(ConnectionString, MalformedTextIsRefused) {
  for (const char* text : {"Provider", "=x", "Data Source=\"unterminated", "a=\"b\"c"})
    EXPECT_THROW(ConnectionString::parse(text), DatabaseError) << text;
}

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

TEST(Criteria, AcceptsOnlyEqualityTermsJoinedByAnd) {
  auto terms = parseCriteria("CodMar = -12 AND  Subcat = 'O''Brien' and x=1.50");
  ASSERT_EQ(terms.size(), 3u);
  EXPECT_EQ(terms[0].name, "CodMar");
  EXPECT_EQ(terms[0].literal, FieldValue(std::int64_t{-12}));
  EXPECT_EQ(terms[1].literal, FieldValue(std::string("O'Brien")));
  EXPECT_EQ(terms[2].literal, FieldValue(1.5));
  EXPECT_TRUE(parseCriteria("  ").empty());
  for (const char* refused :
       {"CodMar = ", "CodMar =  and Codmod = 345", "CodMar = 1 or CodMar = 2", "CodMar = abc",
        "CodMar = 0) or (1", "Subcat = 'x", "Subcat = 'a'b'", "CodMar > 1", "CodMar = 1 and",
        "CodMar = 1.", "CodMar = 12abc", "1 = 1"})
    EXPECT_THROW(parseCriteria(refused), DatabaseError) << refused;
}

TEST(DataEnvironment2, HoldsTheFixedDescriptionWithEveryMemberClosed) {
  TestFolder folder;
  DataEnvironment2 environment(folder.settings());
  EXPECT_EQ(environment.connection("Nevaro").connectionString(),
            "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;Data "
            "Source=C:\\Archivos de programa\\Nevaro\\Nevaro.mdb;Jet OLEDB:Database "
            "Password=k7p.t4;");
  EXPECT_EQ(environment.connection("Actualizacion").connectionString(),
            "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;Data "
            "Source=Kestova.mdb;Jet OLEDB:Database Password=k7p.t4;");
  EXPECT_EQ(environment.command("C_MarMod_Actualizacion").text(), "SELECT Marcas.* FROM Marcas");
  EXPECT_EQ(environment.command("C_Marmod_Nevaro").text(), "SELECT RNAMarMod.* FROM RNAMarMod");
  EXPECT_EQ(environment.command("C_ValVehi2_Nevaro").text(),
            "SELECT RNAValVehi2.* FROM RNAValVehi2");
  EXPECT_EQ(environment.recordset("RSC_MARMOD_NEVARO").name(), "rsC_Marmod_Nevaro");
  for (const char* name : {"rsC_Marmod_Nevaro", "rsC_MarMod_Actualizacion", "rsC_ValVehi1_Nevaro",
                           "rsC_ValVehi1_Actualizacion", "rsC_ValVehi2_Nevaro",
                           "rsC_ValVehi2_Actualizacion"})
    EXPECT_FALSE(environment.recordset(name).isOpen()) << name;
  EXPECT_FALSE(environment.connection("Nevaro").isOpen());
  EXPECT_FALSE(environment.connection("Actualizacion").isOpen());
  EXPECT_THROW(environment.recordset("rsC_Otro"), DatabaseError);
}

TEST(DataEnvironment2, OpeningARecordsetOpensItsConnection) {
  TestFolder folder;
  folder.createEmptyDatabases();
  DataEnvironment2 environment(folder.settings());
  environment.openRecordset("rsC_MarMod_Actualizacion");
  EXPECT_TRUE(environment.connection("Actualizacion").isOpen());
  EXPECT_FALSE(environment.connection("Nevaro").isOpen());
  EXPECT_TRUE(environment.recordset("rsC_MarMod_Actualizacion").eof());
  EXPECT_EQ(environment.recordset("rsC_MarMod_Actualizacion").recordCount(), 0);
}

// Opening must fail with a message naming the file, create nothing and change
// nothing, whatever is wrong with the file.
class OpenFailure : public ::testing::Test {
 protected:
  void expectOpenFails(const std::string& reason) {
    const bool existed = fs::exists(folder_.mainPath());
    const std::string before = existed ? test::readBytes(folder_.mainPath()) : "";
    DataEnvironment2 environment(folder_.settings());
    try {
      environment.openConnection("Nevaro");
      ADD_FAILURE() << "opened: " << reason;
    } catch (const DatabaseError& error) {
      EXPECT_NE(std::string(error.what()).find(folder_.mainPath().string()), std::string::npos)
          << error.what();
    }
    EXPECT_FALSE(environment.connection("Nevaro").isOpen());
    EXPECT_EQ(fs::exists(folder_.mainPath()), existed) << reason;
    if (existed) {
      EXPECT_EQ(test::readBytes(folder_.mainPath()), before) << reason;
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"})
      EXPECT_FALSE(fs::exists(folder_.mainPath().string() + suffix)) << reason;
  }

  void writeFile(const std::string& bytes) {
    std::ofstream(folder_.mainPath(), std::ios::binary) << bytes;
  }

  TestFolder folder_;
};

TEST_F(OpenFailure, MissingFile) { expectOpenFails("missing"); }

TEST_F(OpenFailure, EmptyFile) {
  writeFile("");
  expectOpenFails("empty");
}

TEST_F(OpenFailure, RandomBytes) {
  writeFile(std::string(4096, '\x5a'));
  expectOpenFails("random bytes");
}

TEST_F(OpenFailure, OtherPassword) {
  sample::SqlCipherFile other(folder_.mainPath(), "otra", sample::SqlCipherFile::Mode::kCreate);
  other.exec(sample::kMainSchema);
  expectOpenFails("other password");
}

TEST_F(OpenFailure, PlainSqliteFile) {
  sqlite3* db = nullptr;
  sqlite3_open(folder_.mainPath().c_str(), &db);
  sqlite3_exec(db, sample::kMainSchema, nullptr, nullptr, nullptr);
  sqlite3_close(db);
  expectOpenFails("plain file");
}

TEST_F(OpenFailure, ReadOnlyFile) {
  sample::createEmptyDatabase(folder_.mainPath(), sample::kMainSchema);
  fs::permissions(folder_.mainPath(), fs::perms::owner_read);
  if (::access(folder_.mainPath().c_str(), W_OK) == 0) GTEST_SKIP() << "root writes anyway";
  expectOpenFails("read-only");
}

// A recordset over the brands table of a main database with a few rows.
class RecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.createEmptyDatabases();
    test::insertRows(folder_.mainPath(), "RNAMarMod",
                     {
                         {std::int64_t{1}, std::int64_t{10}, "UNO", Null{}, Null{}, Null{}, " a ", 1.0, "S"},
                         {std::int64_t{2}, std::int64_t{20}, "DOS", Null{}, Null{}, Null{}, "B", 2.0, "S"},
                         {std::int64_t{1}, std::int64_t{10}, "UNO BIS", Null{}, Null{}, Null{}, "A", 3.0, "S"},
                     });
    environment_.openRecordset("rsC_Marmod_Nevaro");
  }

  Recordset& target() { return environment_.recordset("rsC_Marmod_Nevaro"); }
  std::string table() { return test::dump(folder_.mainPath(), "RNAMarMod"); }

  TestFolder folder_;
  DataEnvironment2 environment_{folder_.settings()};
};

TEST_F(RecordsetTest, FirstMatchBecomesCurrentRowAndAllMatchesAreCounted) {
  target().setFilter("CodMar = 1 and Codmod = 10");
  EXPECT_EQ(target().recordCount(), 2);
  EXPECT_EQ(target().field("nombre"), FieldValue("UNO"));
  target().moveNext();
  EXPECT_EQ(target().field("NOMBRE"), FieldValue("UNO BIS"));
  target().moveNext();
  EXPECT_TRUE(target().eof());
}

TEST_F(RecordsetTest, NoMatchCountsZeroAndLeavesNoCurrentRow) {
  target().setFilter("CodMar = 1 and Codmod = 20");
  EXPECT_EQ(target().recordCount(), 0);
  EXPECT_TRUE(target().eof());
  EXPECT_THROW(target().setField("Nombre", "X"), DatabaseError);
}

TEST_F(RecordsetTest, NumbersMatchByValueAndTextIgnoresCaseAndSurroundingSpaces) {
  target().setFilter("CodMar = 2.0 and CodMod = 20");
  EXPECT_EQ(target().recordCount(), 1);
  target().setFilter("SubCat = 'A'");
  EXPECT_EQ(target().recordCount(), 2);
  target().setFilter("SubCat = '  b'");
  EXPECT_EQ(target().recordCount(), 1);
  target().setFilter("SubCat = 'ab'");
  EXPECT_EQ(target().recordCount(), 0);
  // A literal compares as the database compares it with the column: a text
  // that reads as a number with a number column.
  target().setFilter("CodMar = ' 2 '");
  EXPECT_EQ(target().recordCount(), 1);
}

TEST_F(RecordsetTest, RefusedFilterKeepsTheEarlierOne) {
  target().setFilter("CodMar = 2 and Codmod = 20");
  for (const char* refused : {"CodMar =  and Codmod = 20", "Nada = 1", "CodMar = 1 or 1 = 1"})
    EXPECT_THROW(target().setFilter(refused), DatabaseError) << refused;
  EXPECT_EQ(target().filter(), "CodMar = 2 and Codmod = 20");
  EXPECT_EQ(target().recordCount(), 1);
  EXPECT_EQ(target().field("Nombre"), FieldValue("DOS"));
}

TEST_F(RecordsetTest, RowsAddedEarlierAreFoundByLaterFilters) {
  target().setFilter("CodMar = 7 and Codmod = 70");
  target().addNew();
  target().setField("CodMar", std::int64_t{7});
  target().setField("codmod", "70");  // stored as the number 70 by the column's type
  target().update();
  target().setFilter("CodMar = 1 and Codmod = 10");
  target().setFilter("CodMar = 7 and Codmod = 70");
  EXPECT_EQ(target().recordCount(), 1);
  EXPECT_EQ(target().field("Alta"), FieldValue("N"));
  EXPECT_EQ(target().field("CodMod"), FieldValue(std::int64_t{70}));
}

TEST_F(RecordsetTest, SavedValuesAreFilteredAsTheDatabaseStoredThem) {
  target().setFilter("CodMar = 2 and Codmod = 20");
  target().setField("SubCat", std::int64_t{0});
  target().update();
  target().setFilter("SubCat = '0'");
  EXPECT_EQ(target().recordCount(), 1);
  EXPECT_EQ(target().field("SubCat"), FieldValue("0"));
  // A key rewritten to another value leaves its old key.
  target().setFilter("CodMar = 1 and Codmod = 10");
  target().setField("CodMar", std::int64_t{9});
  target().update();
  target().setFilter("CodMar = 1 and Codmod = 10");
  EXPECT_EQ(target().recordCount(), 1);
  EXPECT_EQ(target().field("Nombre"), FieldValue("UNO BIS"));
  target().setFilter("CodMar = 9");
  EXPECT_EQ(target().field("Nombre"), FieldValue("UNO"));
}

TEST_F(RecordsetTest, UnsavedChangesAreNeverSavedByFilteringOrMoving) {
  target().setFilter("CodMar = 1 and Codmod = 10");
  target().setField("Nombre", "PERDIDO");
  target().moveNext();
  target().setField("Nombre", "TAMBIEN PERDIDO");
  target().setFilter("CodMar = 2 and Codmod = 20");
  target().addNew();
  target().setField("CodMar", std::int64_t{5});
  target().setFilter("CodMar = 2 and Codmod = 20");
  target().update();  // nothing pending
  EXPECT_EQ(table(),
            "1 | 10 | 'UNO' | Null | Null | Null | ' a ' | 1 | 'S'\n"
            "2 | 20 | 'DOS' | Null | Null | Null | 'B' | 2 | 'S'\n"
            "1 | 10 | 'UNO BIS' | Null | Null | Null | 'A' | 3 | 'S'\n");
}

// Another program's commit brings the view up to date before the next key
// lookup, so a key it added is never added again.
TEST_F(RecordsetTest, RowsOtherProgramsAddAreFoundByTheNextFilter) {
  test::insertRows(folder_.mainPath(), "RNAMarMod",
                   {{std::int64_t{1}, std::int64_t{10}, "OTRO", Null{}, Null{}, Null{}, Null{}, Null{}, "S"}});
  target().setFilter("CodMar = 1 and Codmod = 10");
  EXPECT_EQ(target().recordCount(), 3);
}

TEST_F(RecordsetTest, OtherProgramsCanReadTheMainFileWhileItIsOpenAndWritten) {
  target().setFilter("CodMar = 2 and Codmod = 20");
  target().setField("Nombre", "NUEVO");
  target().update();
  sample::SqlCipherFile reader(folder_.mainPath(), sample::kPassword);
  Statement count(reader.handle(), "SELECT Nombre FROM RNAMarMod WHERE CodMar = 2", "RNAMarMod");
  ASSERT_TRUE(count.step());
  EXPECT_EQ(count.column(0), FieldValue("NUEVO"));
}

// A table with rules of its own, to make saving fail.
TEST(RecordsetUpdate, ARowTheDatabaseRefusesIsDiscardedNotSavedLater) {
  TestFolder folder;
  sample::createEmptyDatabase(folder.mainPath(),
                              "CREATE TABLE T(k INTEGER, v TEXT NOT NULL CHECK (v <> 'malo'));"
                              "INSERT INTO T VALUES (1, 'uno');");
  Connection connection("Nevaro",
                        "Provider=Microsoft.Jet.OLEDB.3.51;Data Source=C:\\Archivos de "
                        "programa\\Nevaro\\Nevaro.mdb;Jet OLEDB:Database Password=k7p.t4",
                        false);
  connection.open(folder.settings());
  Recordset recordset("rsT");
  recordset.open(connection, "T");

  recordset.setFilter("k = 1");
  recordset.setField("v", "malo");
  EXPECT_THROW(recordset.update(), DatabaseError);
  recordset.addNew();
  recordset.setField("k", std::int64_t{2});
  EXPECT_THROW(recordset.update(), DatabaseError);  // v is Null
  recordset.setFilter("k = 1");
  recordset.update();
  recordset.setField("v", "bien");
  recordset.update();
  recordset.setFilter("k = 2");
  EXPECT_EQ(recordset.recordCount(), 0);
  connection.close();
  EXPECT_EQ(test::dump(folder.mainPath(), "T"), "1 | 'bien'\n");
}

TEST(Connection, MainFileIsLeftWholeWithNoLogBesideItAfterClosing) {
  TestFolder folder;
  folder.createEmptyDatabases();
  {
    DataEnvironment2 environment(folder.settings());
    environment.openRecordset("rsC_Marmod_Nevaro");
    Recordset& target = environment.recordset("rsC_Marmod_Nevaro");
    target.addNew();
    target.setField("CodMar", std::int64_t{1});
    target.update();
    EXPECT_TRUE(fs::exists(folder.mainPath().string() + "-wal"));
  }
  EXPECT_FALSE(fs::exists(folder.mainPath().string() + "-wal"));
  EXPECT_FALSE(fs::exists(folder.mainPath().string() + "-shm"));
  EXPECT_EQ(test::dump(folder.mainPath(), "RNAMarMod"),
            "1 | Null | Null | Null | Null | Null | Null | Null | 'N'\n");
}

}  // namespace
}  // namespace kestova
