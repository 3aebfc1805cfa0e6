#include "bench/set_based.h"

#include <initializer_list>

#include "data/data_environment.h"
#include "data/statement.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova::bench {

namespace {

// A key value the run can filter on: a Null or a text where a number is
// compared makes the run reject the row.
constexpr char kNumber[] = "typeof(%) IN ('integer', 'real')";

// The test above for each column, joined by AND.
std::string numbers(std::initializer_list<const char*> columns) {
  std::string tests;
  for (const char* column : columns) {
    std::string test = kNumber;
    tests += (tests.empty() ? "" : " AND ") + test.replace(test.find('%'), 1, column);
  }
  return tests;
}

// Marcas -> RNAMarMod: key CodMar, CodMod; SubCat written only from a SubCate
// that is neither Null nor the empty text.
std::string marcasScript() {
  return "CREATE TEMP TABLE t_marcas AS SELECT CodMar AS k1, CodMod AS k2, min(rowid) AS rid, "
         "SubCat, Alta FROM main.RNAMarMod WHERE " +
         numbers({"CodMar", "CodMod"}) +
         " GROUP BY 1, 2;\n"
         "CREATE UNIQUE INDEX temp.t_marcas_key ON t_marcas(k1, k2);\n"
         "CREATE TEMP TABLE s_marcas AS SELECT CodMar AS k1, CodMod AS k2, min(rowid) AS first, "
         "max(rowid) AS last, max(CASE WHEN SubCate IS NOT NULL AND (typeof(SubCate) <> 'text' OR "
         "SubCate <> '') THEN rowid END) AS sub FROM upd.Marcas WHERE " +
         numbers({"CodMar", "CodMod"}) +
         " GROUP BY 1, 2;\n"
         "INSERT OR REPLACE INTO main.RNAMarMod(rowid, CodMar, CodMod, Nombre, Tipo, SubTipo, "
         "Categoria, SubCat, Peso, Alta) "
         "SELECT t.rid, s.CodMar, s.CodMod, s.Nombre, s.Tipo, s.SubTipo, s.Categoria, "
         "CASE WHEN k.sub IS NULL THEN t.SubCat "
         "ELSE (SELECT SubCate FROM upd.Marcas WHERE rowid = k.sub) END, s.Peso, t.Alta "
         "FROM s_marcas AS k JOIN t_marcas AS t ON t.k1 = k.k1 AND t.k2 = k.k2 "
         "JOIN upd.Marcas AS s ON s.rowid = k.last ORDER BY t.rid;\n"
         "INSERT INTO main.RNAMarMod(CodMar, CodMod, Nombre, Tipo, SubTipo, Categoria, SubCat, "
         "Peso) "
         "SELECT s.CodMar, s.CodMod, s.Nombre, s.Tipo, s.SubTipo, s.Categoria, "
         "(SELECT SubCate FROM upd.Marcas WHERE rowid = k.sub), s.Peso "
         "FROM s_marcas AS k JOIN upd.Marcas AS s ON s.rowid = k.last "
         "WHERE NOT EXISTS (SELECT 1 FROM t_marcas AS t WHERE t.k1 = k.k1 AND t.k2 = k.k2) "
         "ORDER BY k.first;\n";
}

// ValVehi1 -> RNAValVehi1: a Null SubCate is looked up as '0' and written as
// the number 0 (which the TEXT column stores as '0'); a Null target SubCat
// matches no filter.
std::string valVehi1Script() {
  return "CREATE TEMP TABLE t_valvehi1 AS SELECT AnioImpuesto AS k1, Tipo AS k2, Categoria AS k3, "
         "lower(trim(SubCat)) AS k4, ModAnio AS k5, min(rowid) AS rid, Alta FROM main.RNAValVehi1 "
         "WHERE " +
         numbers({"AnioImpuesto", "Tipo", "Categoria"}) + " AND typeof(SubCat) = 'text' AND " +
         numbers({"ModAnio"}) +
         " GROUP BY 1, 2, 3, 4, 5;\n"
         "CREATE UNIQUE INDEX temp.t_valvehi1_key ON t_valvehi1(k1, k2, k3, k4, k5);\n"
         "CREATE TEMP TABLE s_valvehi1 AS SELECT Anioimp AS k1, Tipo AS k2, Categoria AS k3, "
         "CASE WHEN SubCate IS NULL THEN '0' ELSE lower(trim(SubCate)) END AS k4, Modanio AS k5, "
         "min(rowid) AS first, max(rowid) AS last FROM upd.ValVehi1 WHERE " +
         numbers({"Anioimp", "Tipo", "Categoria"}) + " AND typeof(SubCate) <> 'blob' AND " +
         numbers({"Modanio"}) +
         " GROUP BY 1, 2, 3, 4, 5;\n"
         "INSERT OR REPLACE INTO main.RNAValVehi1(rowid, AnioImpuesto, Tipo, SubTipo, Categoria, "
         "SubCat, ModAnio, Importe, Alta) "
         "SELECT t.rid, s.Anioimp, s.Tipo, s.SubTipo, s.Categoria, ifnull(s.SubCate, 0), "
         "s.Modanio, "
         "s.Importe, t.Alta FROM s_valvehi1 AS k JOIN t_valvehi1 AS t ON t.k1 = k.k1 AND "
         "t.k2 = k.k2 AND t.k3 = k.k3 AND t.k4 = k.k4 AND t.k5 = k.k5 "
         "JOIN upd.ValVehi1 AS s ON s.rowid = k.last ORDER BY t.rid;\n"
         "INSERT INTO main.RNAValVehi1(AnioImpuesto, Tipo, SubTipo, Categoria, SubCat, ModAnio, "
         "Importe) SELECT s.Anioimp, s.Tipo, s.SubTipo, s.Categoria, ifnull(s.SubCate, 0), "
         "s.Modanio, s.Importe FROM s_valvehi1 AS k JOIN upd.ValVehi1 AS s ON s.rowid = k.last "
         "WHERE NOT EXISTS (SELECT 1 FROM t_valvehi1 AS t WHERE t.k1 = k.k1 AND t.k2 = k.k2 AND "
         "t.k3 = k.k3 AND t.k4 = k.k4 AND t.k5 = k.k5) ORDER BY k.first;\n";
}

// ValVehi2 -> RNAValVehi2: five numeric key fields, ten fields copied as they are.
std::string valVehi2Script() {
  return "CREATE TEMP TABLE t_valvehi2 AS SELECT AnioImpuesto AS k1, Tipo AS k2, CodMar AS k3, "
         "CodMod AS k4, ModAnio AS k5, min(rowid) AS rid, Alta FROM main.RNAValVehi2 WHERE " +
         numbers({"AnioImpuesto", "Tipo", "CodMar", "CodMod", "ModAnio"}) +
         " GROUP BY 1, 2, 3, 4, 5;\n"
         "CREATE UNIQUE INDEX temp.t_valvehi2_key ON t_valvehi2(k1, k2, k3, k4, k5);\n"
         "CREATE TEMP TABLE s_valvehi2 AS SELECT Anioimp AS k1, Tipo AS k2, CodMar AS k3, "
         "CodMod AS k4, Modanio AS k5, min(rowid) AS first, max(rowid) AS last FROM upd.ValVehi2 "
         "WHERE " +
         numbers({"Anioimp", "Tipo", "CodMar", "CodMod", "Modanio"}) +
         " GROUP BY 1, 2, 3, 4, 5;\n"
         "INSERT OR REPLACE INTO main.RNAValVehi2(rowid, AnioImpuesto, Tipo, CodMar, CodMod, "
         "ModAnio, Importe, Alicuota, DispTipo, DispNro, DispAnio, Alta) "
         "SELECT t.rid, s.Anioimp, s.Tipo, s.CodMar, s.CodMod, s.Modanio, s.Importe, s.Alicuota, "
         "s.DispTipo, s.DispNro, s.DispAnio, t.Alta FROM s_valvehi2 AS k JOIN t_valvehi2 AS t ON "
         "t.k1 = k.k1 AND t.k2 = k.k2 AND t.k3 = k.k3 AND t.k4 = k.k4 AND t.k5 = k.k5 "
         "JOIN upd.ValVehi2 AS s ON s.rowid = k.last ORDER BY t.rid;\n"
         "INSERT INTO main.RNAValVehi2(AnioImpuesto, Tipo, CodMar, CodMod, ModAnio, Importe, "
         "Alicuota, DispTipo, DispNro, DispAnio) SELECT s.Anioimp, s.Tipo, s.CodMar, s.CodMod, "
         "s.Modanio, s.Importe, s.Alicuota, s.DispTipo, s.DispNro, s.DispAnio "
         "FROM s_valvehi2 AS k JOIN upd.ValVehi2 AS s ON s.rowid = k.last "
         "WHERE NOT EXISTS (SELECT 1 FROM t_valvehi2 AS t WHERE t.k1 = k.k1 AND t.k2 = k.k2 AND "
         "t.k3 = k.k3 AND t.k4 = k.k4 AND t.k5 = k.k5) ORDER BY k.first;\n";
}

// Each table in three steps:
//  1. temp t_*: the first target row (min rowid) of every key, with the values
//     a rewrite must keep; a bare column next to min() comes from that row;
//  2. temp s_*: for every source key, its first and last source rows (and for
//     Marcas the last row whose SubCate the guard lets through);
//  3. matched keys rewrite their target row in place through INSERT OR REPLACE
//     on its rowid, in rowid order; new keys are appended in the order of
//     their first source row, so they take the rowids the run gives them.
// Text keys compare as the filter compares them: lower(trim(...)), which
// matches the program's folding for ASCII letters (the only ones in SubCat
// codes); the program also folds Latin-1 capitals, SQLite's lower() does not.
// The script for an update file at `updatePath`, run on the main connection.
std::string setBasedScript(const std::string& updatePath) {
  return "ATTACH DATABASE " + sample::quoteLiteral(updatePath) + " AS upd KEY 'k7p.t4';\n" +
         "BEGIN IMMEDIATE;\n" + marcasScript() + valVehi1Script() + valVehi2Script() +
         "COMMIT;\n"
         "DROP TABLE temp.t_marcas; DROP TABLE temp.s_marcas; DROP TABLE temp.t_valvehi1;\n"
         "DROP TABLE temp.s_valvehi1; DROP TABLE temp.t_valvehi2; DROP TABLE temp.s_valvehi2;\n"
         "DETACH DATABASE upd;\n";
}

}  // namespace

void runSetBased(const Layout& layout) {
  DataEnvironment2 environment(layout.settings());
  environment.openConnection("Nevaro");
  Connection& connection = environment.connection("Nevaro");
  // A failed script is rolled back when the connection closes.
  executeScript(connection.handle(), setBasedScript(layout.updatePath().string()),
                connection.path().string());
}

}  // namespace kestova::bench
