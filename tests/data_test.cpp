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
#include "test_support.h"
#include "text_rules.h"

namespace kestova {
namespace {

namespace fs = std::filesystem;
using test::TestFolder;
using I = std::int64_t;
using Cause = DatabaseError::Cause;

TEST(ConnectionString, KeysIgnoreCaseAndSpacesAndValuesMayBeQuoted) {
  auto parsed = ConnectionString::parse(
      " provider = Microsoft.Jet.OLEDB.3.51 ;DATA SOURCE=\"a;b=c.mdb\"; "
      "Jet OLEDB:Database Password=\r\n'it''s';;");
  EXPECT_EQ(parsed.value("Provider"), "Microsoft.Jet.OLEDB.3.51");
  EXPECT_EQ(parsed.value("data source"), "a;b=c.mdb");
  EXPECT_EQ(parsed.value("Jet OLEDB:Database Password"), "it's");
  EXPECT_EQ(parsed.value("User ID"), std::nullopt);
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

TEST(Criteria, AcceptsOnlyEqualityTermsJoinedByAnd) {
  auto terms = parseCriteria("CodMar = -12 AND  Subcat = 'O''Brien' and x=1.50");
  ASSERT_EQ(terms.size(), 3u);
  EXPECT_EQ(terms[0].name, "CodMar");
  EXPECT_EQ(terms[0].literal, FieldValue(I{-12}));
  EXPECT_EQ(terms[1].literal, FieldValue(std::string("O'Brien")));
  EXPECT_EQ(terms[2].literal, FieldValue(1.5));
  EXPECT_TRUE(parseCriteria("  ").empty());
  for (const char* refused :
       {"CodMar = ", "CodMar =  and Codmod = 345", "CodMar = 1 or CodMar = 2", "CodMar = abc",
        "CodMar = 0) or (1", "Subcat = 'x", "Subcat = 'a'b'", "CodMar > 1", "CodMar = 1 and",
        "CodMar = 12abc", "CodMar = 1 andCodmod = 2", "1 = 1"})
    EXPECT_THROW(parseCriteria(refused), DatabaseError) << refused;
}

TEST(TextRules, FilterTextsIgnoreLetterCaseAndSurroundingSpacesNamesOnlyAsciiCase) {
  struct Case {
    const char* a;
    const char* b;
    bool sameText, sameName;
  };
  const Case cases[] = {
      {"Ford", "FORD", true, true},
      {"  b ", "B", true, false},
      {"", "   ", true, false},
      {"a b", "ab", false, false},
      {"a\t", "a", false, false},  // only spaces are trimmed
      {"\xc3\x91"
       "and\xc3\xba",
       "\xc3\xb1"
       "AND\xc3\x9a",
       true, false},                                          // Ñandú, ñANDÚ
      {"\xc3\x80\xc3\x9e", "\xc3\xa0\xc3\xbe", true, false},  // ÀÞ, àþ
      {"\xc3\x97", "\xc3\xb7", false, false},                 // ×, ÷: no letters
      {"\xc5\xb8", "\xc3\xbf", false, false},                 // Ÿ lies outside Latin-1
      {"AnioImpuesto", "Anioimpuesto", true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(comparableText(c.a) == comparableText(c.b), c.sameText) << c.a << " / " << c.b;
    EXPECT_EQ(sameName(c.a, c.b), c.sameName) << c.a << " / " << c.b;
  }
}

TEST(TextRules, NumberLiteralsAreWholeWithin64BitsOrElseReal) {
  const std::pair<std::string, std::optional<FieldValue>> cases[] = {
      {"12", I{12}},
      {"+7", I{7}},
      {"-0", I{0}},
      {"007", I{7}},
      {"1.50", 1.5},
      {"-2.0", -2.0},
      {"9223372036854775807", I{INT64_MAX}},
      {"-9223372036854775808", I{INT64_MIN}},
      {"9223372036854775808", 9223372036854775808.0},
      {"99999999999999999999", 1e20},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"1.", std::nullopt},
      {".5", std::nullopt},
      {"1.2.3", std::nullopt},
      {"1e5", std::nullopt},
      {"1,5", std::nullopt},
      {" 1", std::nullopt},
      {"0x10", std::nullopt},
      {std::string(400, '9'), std::nullopt},               // beyond a double
      {"0." + std::string(400, '0') + "1", std::nullopt},  // too small for one
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(parseNumberLiteral(text), value) << text;
}

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

void writeFile(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Opening fails naming the file and a cause a person can act on, and creates
// or changes nothing, whatever is wrong with the file.
TEST(Connection, AFileThatCannotServeIsRefusedNamingItAndChangesNothing) {
  struct Case {
    const char* name;
    void (*spoil)(const fs::path& file);
    Cause cause;
  };
  const Case cases[] = {
      {"missing", [](const fs::path&) {}, Cause::FileMissing},
      {"empty", [](const fs::path& f) { writeFile(f, ""); }, Cause::NotADatabase},
      {"random bytes", [](const fs::path& f) { writeFile(f, std::string(4096, 'Z')); },
       Cause::NotADatabase},
      {"other password",
       [](const fs::path& f) {
         sample::SqlCipherFile(f, "otra", sample::SqlCipherFile::Mode::kCreate)
             .exec(sample::kMainSchema);
       },
       Cause::NotADatabase},
      {"plain SQLite",
       [](const fs::path& f) {
         sqlite3* db = nullptr;
         sqlite3_open(f.c_str(), &db);
         sqlite3_exec(db, sample::kMainSchema, nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       Cause::NotADatabase},
      {"read-only",
       [](const fs::path& f) {
         sample::createEmptyDatabase(f, sample::kMainSchema);
         fs::permissions(f, fs::perms::owner_read);
       },
       Cause::CannotWrite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestFolder folder;
    const fs::path file = folder.mainPath();
    c.spoil(file);
    if (c.cause == Cause::CannotWrite && ::access(file.c_str(), W_OK) == 0) continue;  // root
    const bool existed = fs::exists(file);
    const std::string before = existed ? test::readBytes(file) : "";
    DataEnvironment2 environment(folder.settings());
    try {
      environment.openConnection("Nevaro");
      ADD_FAILURE() << "opened";
    } catch (const DatabaseError& error) {
      EXPECT_EQ(error.cause(), c.cause) << error.what();
      EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
    }
    EXPECT_FALSE(environment.connection("Nevaro").isOpen());
    EXPECT_EQ(fs::exists(file), existed);
    if (existed) {
      EXPECT_EQ(test::readBytes(file), before);
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"})
      EXPECT_FALSE(fs::exists(file.string() + suffix)) << suffix;
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
}

TEST_F(RecordsetTest, NumbersMatchByValueAndTextIgnoresCaseAndSurroundingSpaces) {
  const std::pair<const char*, int> cases[] = {
      {"CodMar = 2.0 and CodMod = 20", 1},
      {"SubCat = 'A'", 2},
      {"SubCat = '  b'", 1},
      {"SubCat = 'ab'", 0},
      {"CodMar = '2'", 0},  // a text never equals a number
  };
  for (const auto& [criteria, count] : cases) {
    target_.setFilter(criteria);
    EXPECT_EQ(target_.recordCount(), count) << criteria;
  }
}

TEST_F(RecordsetTest, RefusedFilterKeepsTheEarlierOne) {
  target_.setFilter("CodMar = 2 and Codmod = 20");
  for (const char* refused : {"CodMar =  and Codmod = 20", "Nada = 1", "CodMar = 1 or 1 = 1"})
    EXPECT_THROW(target_.setFilter(refused), DatabaseError) << refused;
  EXPECT_EQ(target_.filter(), "CodMar = 2 and Codmod = 20");
  EXPECT_EQ(target_.recordCount(), 1);
  EXPECT_EQ(target_.field("Nombre"), FieldValue("DOS"));
}

TEST_F(RecordsetTest, RowsAddedEarlierAreFoundByLaterFilters) {
  target_.setFilter("CodMar = 7 and Codmod = 70");
  target_.addNew();
  target_.setField("CodMar", I{7});
  target_.setField("codmod", "70");  // stored as the number 70 by the column's type
  target_.update();
  target_.setFilter("CodMar = 1 and Codmod = 10");
  target_.setFilter("CodMar = 7 and Codmod = 70");
  EXPECT_EQ(target_.recordCount(), 1);
  EXPECT_EQ(target_.field("Alta"), FieldValue("N"));
  EXPECT_EQ(target_.field("CodMod"), FieldValue(I{70}));
}

TEST_F(RecordsetTest, SavedValuesAreFilteredAsTheDatabaseStoredThem) {
  target_.setFilter("CodMar = 2 and Codmod = 20");
  target_.setField("SubCat", I{0});
  target_.update();
  target_.setFilter("SubCat = '0'");
  EXPECT_EQ(target_.recordCount(), 1);
  EXPECT_EQ(target_.field("SubCat"), FieldValue("0"));
  // A key rewritten to another value leaves its old key.
  target_.setFilter("CodMar = 1 and Codmod = 10");
  target_.setField("CodMar", I{9});
  target_.update();
  target_.setFilter("CodMar = 1 and Codmod = 10");
  EXPECT_EQ(target_.recordCount(), 1);
  EXPECT_EQ(target_.field("Nombre"), FieldValue("UNO BIS"));
  target_.setFilter("CodMar = 9");
  EXPECT_EQ(target_.field("Nombre"), FieldValue("UNO"));
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

TEST_F(RecordsetTest, RowsOtherProgramsAddAfterOpeningAreNotSeen) {
  test::insertRows(folder_.mainPath(), "RNAMarMod", {brand(I{1}, I{10}, "OTRO", Null{})});
  EXPECT_EQ(target_.recordCount(), 3);
  target_.setFilter("CodMar = 1 and Codmod = 10");
  EXPECT_EQ(target_.recordCount(), 2);
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
