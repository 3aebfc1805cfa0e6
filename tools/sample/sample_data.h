#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace kestova::sample {

// Builds the encrypted files Kestova works on: an update file laid out like Kestova.mdb and a
// main file laid out like Nevaro.mdb. Both sides are derived from the same seed, so files made
// with equal Options belong together: about half of the update's keys are in the main tables,
// about 1% of the keys on either side occur on two rows with different data, and rows come in
// rough key order with some local disorder, as an export gives them. For given Options the
// content is deterministic (the encrypted bytes are not: SQLCipher salts every file).

inline constexpr char kPassword[] = "k7p.t4";

inline constexpr char kUpdateSchema[] =
    "CREATE TABLE Marcas(CodMar INTEGER, CodMod INTEGER, Nombre TEXT, Tipo INTEGER, "
    "SubTipo INTEGER, Categoria INTEGER, SubCate TEXT, Peso REAL);"
    "CREATE TABLE ValVehi1(Anioimp INTEGER, Tipo INTEGER, Categoria INTEGER, SubCate TEXT, "
    "Modanio INTEGER, SubTipo INTEGER, Importe REAL);"
    "CREATE TABLE ValVehi2(Anioimp INTEGER, Tipo INTEGER, CodMar INTEGER, CodMod INTEGER, "
    "Modanio INTEGER, Importe REAL, Alicuota REAL, DispTipo TEXT, DispNro INTEGER, "
    "DispAnio INTEGER);";

inline constexpr char kMainSchema[] =
    "CREATE TABLE RNAMarMod(CodMar INTEGER, CodMod INTEGER, Nombre TEXT, Tipo INTEGER, "
    "SubTipo INTEGER, Categoria INTEGER, SubCat TEXT, Peso REAL, Alta TEXT DEFAULT 'N');"
    "CREATE TABLE RNAValVehi1(AnioImpuesto INTEGER, Tipo INTEGER, SubTipo INTEGER, "
    "Categoria INTEGER, SubCat TEXT, ModAnio INTEGER, Importe REAL, Alta TEXT DEFAULT 'N');"
    "CREATE TABLE RNAValVehi2(AnioImpuesto INTEGER, Tipo INTEGER, CodMar INTEGER, "
    "CodMod INTEGER, ModAnio INTEGER, Importe REAL, Alicuota REAL, DispTipo TEXT, "
    "DispNro INTEGER, DispAnio INTEGER, Alta TEXT DEFAULT 'N');";

// Row counts of the three tables; the update and the main file get the same counts.
struct Sizes {
  std::int64_t marcas = 0, valVehi1 = 0, valVehi2 = 0;

  // factor 1 is the full data set (20,000 / 200,000 / 1,000,000 rows); counts are rounded.
  static Sizes scaled(double factor);
};

struct Options {
  Sizes sizes = Sizes::scaled(0.01);
  std::uint32_t seed = 1;
};

// Each replaces any file at `path` (with its -wal, -shm and -journal files), then writes the
// schema and all rows in one transaction. Errors are std::runtime_error subclasses.
void createUpdateDatabase(const std::filesystem::path& path, const Options& options);
void createMainDatabase(const std::filesystem::path& path, const Options& options);

// A typical monthly update: the update file of `options`, row for row, except that about one row
// in ten (kTypicalChangedShare, drawn from the seed) carries one changed data field: a higher
// Importe in ValVehi1 and ValVehi2, a higher Peso in Marcas. Applied to the main file that a run
// of createUpdateDatabase(options) left, one row in ten differs from the main and the rest are
// already there; applying the plain update there instead differs from it only in those rows.
inline constexpr double kTypicalChangedShare = 0.1;
void createTypicalUpdateDatabase(const std::filesystem::path& path, const Options& options);

// A keyed file holding `schema` and no rows.
void createEmptyDatabase(const std::filesystem::path& path, std::string_view schema);

}  // namespace kestova::sample
