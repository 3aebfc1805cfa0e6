#include "tools/sample/sample_data.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "data/statement.h"
#include "tools/sample/sqlcipher_file.h"

namespace kestova::sample {

namespace {

constexpr double kRepeatedKeyShare = 0.01;  // keys given a second row, on either side
constexpr double kUnchangedShare = 0.7;     // shared keys whose main row equals the update's
constexpr double kOddValueShare = 0.01;     // each odd SubCate form, and Null in a data column
constexpr double kDisorderShare = 0.02;     // rows an export leaves a few places out of order
constexpr double kAltaShare = 0.3;          // main rows whose Alta is 'S'
// Random streams of a row: 0 what belongs to the key, 1 + version the version's own values,
// kChangePart + version whether a typical update changes the row, and how.
constexpr std::uint64_t kChangePart = 1000;

constexpr std::int64_t kFirstTaxYear = 2000, kTaxYears = 27;  // Anioimp 2000..2026
constexpr std::int64_t kModelYears = 21;  // Modanio from Anioimp - 20 up to Anioimp
constexpr std::int64_t kTipos = 9, kCategorias = 5;
constexpr std::int64_t kModelsPerBrand = 100;  // CodMod range in Marcas
constexpr std::int64_t kValuedModels = 40;     // CodMod range in ValVehi2
// SubCate names are "A".."L", each alone or followed by 1..9 or A..Z.
constexpr std::int64_t kSubCateLetters = 12;
constexpr std::int64_t kMaxSubCates = kSubCateLetters * 36;

// SplitMix64. The standard distributions are avoided on purpose: their output differs between
// library implementations, and the files must have the same content wherever they are made.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  bool chance(double p) { return unit() < p; }
  std::int64_t between(std::int64_t lo, std::int64_t hi) {
    return lo + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(hi - lo + 1));
  }

 private:
  std::uint64_t state_;
};

enum class Table : std::uint64_t { kMarcas = 1, kValVehi1, kValVehi2 };

std::uint64_t hashOf(std::uint32_t seed, Table table, std::uint64_t position, std::uint64_t part) {
  std::uint64_t h = Rng(seed).next();
  for (std::uint64_t value : {static_cast<std::uint64_t>(table), position, part}) {
    h = Rng(h ^ value).next();
  }
  return h;
}

// A key is a position in a mixed-radix space, most significant field first, so positions taken
// in increasing order give rows in key order.
struct KeySpace {
  std::array<std::int64_t, 5> radix{1, 1, 1, 1, 1};

  std::uint64_t size() const {
    std::uint64_t size = 1;
    for (auto r : radix) size *= static_cast<std::uint64_t>(r);
    return size;
  }
  std::array<std::int64_t, 5> decode(std::uint64_t position) const {
    std::array<std::int64_t, 5> digits{};
    for (int i = 4; i >= 0; --i) {
      const auto r = static_cast<std::uint64_t>(radix[i]);
      digits[i] = static_cast<std::int64_t>(position % r);
      position /= r;
    }
    return digits;
  }
};

// About twice as many positions as keys, so the keys reach over every field's whole range.
KeySpace keySpaceFor(Table table, std::uint64_t keys) {
  auto fieldSize = [keys](std::int64_t rest) {
    return std::max<std::int64_t>(1, static_cast<std::int64_t>(2 * keys) / rest + 1);
  };
  switch (table) {
    case Table::kMarcas:
      return {{fieldSize(kModelsPerBrand), kModelsPerBrand, 1, 1, 1}};
    case Table::kValVehi1: {
      const std::int64_t rest = kTaxYears * kTipos * kCategorias * kModelYears;
      const KeySpace space{
          {kTaxYears, kTipos, kCategorias, std::min(fieldSize(rest), kMaxSubCates), kModelYears}};
      if (space.size() < keys) {
        throw std::runtime_error("ValVehi1 cannot hold " + std::to_string(keys) + " distinct keys");
      }
      return space;
    }
    case Table::kValVehi2:
      break;
  }
  const std::int64_t rest = kTaxYears * kTipos * kValuedModels * kModelYears;
  return {{kTaxYears, kTipos, fieldSize(rest), kValuedModels, kModelYears}};
}

// A row is a key and the version of data it carries: 0 the update's row (also a main row equal
// to it), 1 the second update row of a repeated key, 2 the main's own data, 3 the second main
// row of a repeated key.
struct Row {
  std::uint64_t position;
  int version;
};

struct Plan {
  KeySpace space;
  std::vector<Row> update, main;
};

// An export is sorted, but not perfectly: some rows sit a few places away from their turn.
void disorder(std::vector<Row>& rows, Rng& rng) {
  for (std::size_t i = 0; i + 1 < rows.size(); ++i) {
    if (rng.chance(kDisorderShare)) {
      const auto j = std::min(rows.size() - 1, i + static_cast<std::size_t>(rng.between(1, 6)));
      std::swap(rows[i], rows[j]);
    }
  }
}

// Both files are planned together, whichever one is being written: that is what keeps the
// update and the main file made from one seed consistent with each other.
Plan planTable(Table table, std::int64_t rows, std::uint32_t seed) {
  enum : std::uint8_t { kUpdate = 1, kUpdateTwice = 2, kMain = 4, kMainTwice = 8, kMainOwn = 16 };
  Rng rng(hashOf(seed, table, 0, ~0ULL));  // a stream no row's values are drawn from
  // Uses are decided before positions: the key count must be known to spread keys evenly.
  std::vector<std::uint8_t> uses;
  for (std::int64_t inUpdate = 0, inMain = 0; inUpdate < rows || inMain < rows;) {
    // Update only, both, main only in equal shares: half of the update's keys are in main.
    const auto kind = inUpdate >= rows ? 2 : inMain >= rows ? 0 : rng.between(0, 2);
    std::uint8_t use = 0;
    if (kind != 2) {
      use |= kUpdate;
      if (++inUpdate < rows && rng.chance(kRepeatedKeyShare)) {
        use |= kUpdateTwice;
        ++inUpdate;
      }
    }
    if (kind != 0) {
      use |= kMain;
      if (++inMain < rows && rng.chance(kRepeatedKeyShare)) {
        use |= kMainTwice;
        ++inMain;
      }
      if (kind == 2 || !rng.chance(kUnchangedShare)) use |= kMainOwn;
    }
    uses.push_back(use);
  }

  Plan plan{keySpaceFor(table, uses.size()), {}, {}};
  plan.update.reserve(static_cast<std::size_t>(std::max<std::int64_t>(rows, 0)));
  plan.main.reserve(plan.update.capacity());
  // Selection sampling (Knuth's algorithm S): each position equally likely, met in order.
  const std::uint64_t size = plan.space.size();
  std::size_t taken = 0;
  for (std::uint64_t position = 0; taken < uses.size(); ++position) {
    if (static_cast<double>(size - position) * rng.unit() >=
        static_cast<double>(uses.size() - taken)) {
      continue;
    }
    const auto use = uses[taken++];
    if (use & kUpdate) plan.update.push_back({position, 0});
    if (use & kUpdateTwice) plan.update.push_back({position, 1});
    if (use & kMain) plan.main.push_back({position, use & kMainOwn ? 2 : 0});
    if (use & kMainTwice) plan.main.push_back({position, 3});
  }
  disorder(plan.update, rng);
  disorder(plan.main, rng);
  return plan;
}

// Binds one row's values in column order; nullable() lets the next value turn Null now and then.
class Binder {
 public:
  Binder(Statement& statement, Rng& rng) : statement_(statement), rng_(rng) {}

  Binder& nullable() {
    nextIsNull_ = rng_.chance(kOddValueShare);
    return *this;
  }
  Binder& integer(std::int64_t value) {
    if (!takeNull()) statement_.bind(column_, value);
    return *this;
  }
  Binder& real(double value) {
    if (!takeNull()) statement_.bind(column_, value);
    return *this;
  }
  Binder& text(std::string_view value) {
    if (!takeNull()) statement_.bind(column_, std::string(value));
    return *this;
  }
  Binder& maybeText(const std::optional<std::string>& value) {
    if (!value) nextIsNull_ = true;
    return text(value ? *value : std::string_view());
  }

 private:
  bool takeNull() {
    ++column_;
    if (!nextIsNull_) return false;
    nextIsNull_ = false;
    statement_.bind(column_, Null{});
    return true;
  }

  Statement& statement_;
  Rng& rng_;
  int column_ = 0;
  bool nextIsNull_ = false;
};

// SubCate as the source system keeps it: mostly clean, some stray spaces, and with
// `blankShare` each an empty string or Null.
std::optional<std::string> roughen(std::string clean, Rng& rng, double blankShare) {
  const double r = rng.unit();
  if (r < blankShare) return std::nullopt;
  if (r < 2 * blankShare) return std::string();
  if (r < 2 * blankShare + kOddValueShare) return " " + clean;
  if (r < 2 * blankShare + 2 * kOddValueShare) return clean + " ";
  return clean;
}

// Names in string order, so key order and position order agree: "A", "B", ... while there are
// few, then "A", "A1", "B", "B1", ... and, beyond 9 per letter, "A", "A1", ..., "A9", "AA".
std::string subCateName(std::int64_t digit, std::int64_t count) {
  const std::int64_t perLetter = (count + kSubCateLetters - 1) / kSubCateLetters;
  std::string name(1, static_cast<char>('A' + digit / perLetter));
  if (const auto rest = digit % perLetter; rest > 0) {
    name += static_cast<char>(rest < 10 ? '0' + rest : 'A' + rest - 10);
  }
  return name;
}

double money(double amount) {
  return std::round(amount * 100) / 100;
}

// A typical update's new figure: 0.1 % to 8 % up, and never the old one.
double raised(double amount, Rng& change) {
  const double value = money(amount * (1 + static_cast<double>(change.between(1, 80)) / 1000));
  return value != amount ? value : amount + 0.01;
}

// Rough 2000 prices in pesos by Tipo, raised by yearly inflation and lowered by the model's age.
double valuation(std::int64_t taxYear, std::int64_t modelYear, std::int64_t tipo,
                 std::int64_t categoria, Rng& base) {
  constexpr std::array<double, kTipos> kPrice = {14000, 18000, 22000, 60000, 90000,
                                                 3000,  6000,  40000, 9000};
  double value = kPrice[tipo - 1] * (1 + 0.3 * static_cast<double>(categoria - 1)) *
                 static_cast<double>(base.between(85, 115)) / 100;
  for (auto year = kFirstTaxYear; year < taxYear; ++year) value *= 1.25;
  for (auto year = modelYear; year < taxYear; ++year) value *= 0.9;
  return value;
}

// The main file holds older valuations; a repeated key's second row holds yet another one.
double revised(double value, int version, Rng& own) {
  if (version == 0) return value;
  const double change = static_cast<double>(own.between(1, 80)) / 1000;
  return value * (version == 2 ? 1 - change : 1 + change);
}

struct Brand {
  const char* name;
  std::array<const char*, 4> models;
  std::int64_t firstTipo, lastTipo;
};

constexpr std::array<Brand, 20> kBrands = {{
    {"FORD", {"FIESTA", "FOCUS", "RANGER", "KA"}, 1, 3},
    {"FIAT", {"PALIO", "CRONOS", "TORO", "SIENA"}, 1, 3},
    {"RENAULT", {"CLIO", "KANGOO", "SANDERO", "LOGAN"}, 1, 3},
    {"CHEVROLET", {"ONIX", "CRUZE", "S10", "CORSA"}, 1, 3},
    {"PEUGEOT", {"208", "308", "PARTNER", "2008"}, 1, 3},
    {"VOLKSWAGEN", {"GOL", "AMAROK", "VENTO", "SURAN"}, 1, 3},
    {"TOYOTA", {"COROLLA", "HILUX", "ETIOS", "SW4"}, 1, 3},
    {"CITROEN", {"C3", "C4", "BERLINGO", "C-ELYSEE"}, 1, 3},
    {"NISSAN", {"FRONTIER", "MARCH", "SENTRA", "KICKS"}, 1, 3},
    {"JEEP", {"RENEGADE", "COMPASS", "WRANGLER", "CHEROKEE"}, 1, 3},
    {"HONDA", {"CIVIC", "FIT", "HR-V", "CG 150"}, 1, 6},
    {"MERCEDES BENZ", {"SPRINTER", "ATEGO", "CLASE A", "ACCELO"}, 1, 5},
    {"IVECO", {"DAILY", "TECTOR", "STRALIS", "EUROCARGO"}, 4, 5},
    {"SCANIA", {"R 450", "P 310", "G 410", "K 310"}, 4, 5},
    {"MOTOMEL", {"BLITZ 110", "SKUA 150", "S2 150", "STRATO"}, 6, 6},
    {"ZANELLA", {"ZB 110", "RX 150", "PATAGONIAN EAGLE", "STYLER"}, 6, 6},
    {"HELVETICA", {"SEMIRREMOLQUE", "ACOPLADO", "BATEA", "TANQUE"}, 7, 7},
    {"JOHN DEERE", {"5090E", "6110J", "S680", "3036E"}, 8, 8},
    {"CATERPILLAR", {"420F", "930K", "D6T", "140K"}, 9, 9},
    {"AGRALE", {"MARRUA", "8700", "10000", "MA 9.2"}, 4, 9},
}};

constexpr std::array<const char*, 9> kTrims = {"1.4 GL", "1.6 SE", "2.0 TDI", "1.8 XEI CVT", "5P",
                                               "4X4 DC", "2.8 AT", "BASE",    "FULL"};

// Weight ranges in kg by Tipo.
constexpr std::array<std::array<std::int64_t, 2>, kTipos> kWeights = {{{800, 2200},
                                                                       {1500, 2800},
                                                                       {1200, 3000},
                                                                       {4000, 40000},
                                                                       {8000, 18000},
                                                                       {90, 350},
                                                                       {1500, 12000},
                                                                       {2500, 15000},
                                                                       {1000, 30000}}};

// Row binders: `base` draws what belongs to the key (equal in every version), `own` what belongs
// to this version of the row. A typical update hands over `change` for the rows it changes: one
// data field (Peso, Importe) takes a new value drawn from it; every other draw is as without it.
using Key = std::array<std::int64_t, 5>;

void bindMarca(Binder& b, const Key& key, const KeySpace&, Rng& base, Rng& own, int version,
               Rng* change) {
  const auto codMar = key[0] + 1;
  const Brand& brand = kBrands[static_cast<std::size_t>(codMar - 1) % kBrands.size()];
  const auto tipo = base.between(brand.firstTipo, brand.lastTipo);
  const std::string name =
      std::string(brand.name) + " " + brand.models[static_cast<std::size_t>(base.between(0, 3))] +
      " " + kTrims[static_cast<std::size_t>(base.between(0, std::ssize(kTrims) - 1))];
  const auto [lightest, heaviest] = kWeights[static_cast<std::size_t>(tipo - 1)];
  const auto halfKilos = base.between(2 * lightest, 2 * heaviest) + (version == 0   ? 0
                                                                     : version == 2 ? -1
                                                                                    : 1) *
                                                                        own.between(1, 80);
  b.integer(codMar).integer(key[1] + 1).nullable().text(name).nullable().integer(tipo);
  b.nullable().integer(base.between(1, 20)).nullable().integer(base.between(1, kCategorias));
  b.maybeText(
      roughen(std::string(1, static_cast<char>('A' + base.between(0, 4))), own, kOddValueShare));
  b.real(static_cast<double>(halfKilos + (change != nullptr ? change->between(1, 80) : 0)) / 2);
}

void bindValVehi1(Binder& b, const Key& key, const KeySpace& space, Rng& base, Rng& own,
                  int version, Rng* change) {
  const auto taxYear = kFirstTaxYear + key[0], tipo = key[1] + 1, categoria = key[2] + 1;
  const auto modelYear = taxYear - (kModelYears - 1) + key[4];
  b.integer(taxYear).integer(tipo).integer(categoria);
  // Blank SubCates would merge keys that differ only there, so only one sub-category per
  // (Anioimp, Tipo, Categoria, Modanio) may turn blank, as often as gives ~1% of all keys.
  const auto subCates = space.radix[3];
  const auto blankable = static_cast<std::int64_t>(
      Rng(static_cast<std::uint64_t>(((taxYear * 16 + tipo) * 8 + categoria) * 4096 + modelYear))
          .next() %
      static_cast<std::uint64_t>(subCates));
  const double blankShare =
      key[3] == blankable ? std::min(0.45, kOddValueShare * static_cast<double>(subCates)) : 0;
  b.maybeText(roughen(subCateName(key[3], subCates), base, blankShare)).integer(modelYear);
  b.nullable().integer(base.between(1, 20));
  const double importe =
      money(revised(valuation(taxYear, modelYear, tipo, categoria, base), version, own));
  b.real(change != nullptr ? raised(importe, *change) : importe);
}

void bindValVehi2(Binder& b, const Key& key, const KeySpace&, Rng& base, Rng& own, int version,
                  Rng* change) {
  constexpr std::array<const char*, 3> kDispositions = {"D", "R", "L"};
  const auto taxYear = kFirstTaxYear + key[0], tipo = key[1] + 1;
  const auto modelYear = taxYear - (kModelYears - 1) + key[4];
  const auto categoria = base.between(1, kCategorias);
  b.integer(taxYear).integer(tipo).integer(key[2] + 1).integer(key[3] + 1).integer(modelYear);
  const double importe =
      money(revised(valuation(taxYear, modelYear, tipo, categoria, base), version, own));
  b.real(change != nullptr ? raised(importe, *change) : importe);
  b.nullable().real(static_cast<double>(150 + 5 * base.between(0, 70)) / 10000);
  b.nullable().text(kDispositions[static_cast<std::size_t>(base.between(0, 2))]);
  b.nullable().integer(base.between(1, 9999)).nullable().integer(taxYear - base.between(0, 1));
}

struct TableRecipe {
  Table table;
  std::int64_t Sizes::*size;
  const char* updateInsert;
  const char* mainInsert;  // same columns in the same order, then Alta
  void (*bind)(Binder&, const Key&, const KeySpace&, Rng& base, Rng& own, int version, Rng* change);
};

constexpr std::array<TableRecipe, 3> kTables = {{
    {Table::kMarcas, &Sizes::marcas,
     "INSERT INTO Marcas(CodMar, CodMod, Nombre, Tipo, SubTipo, Categoria, SubCate, Peso) "
     "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
     "INSERT INTO RNAMarMod(CodMar, CodMod, Nombre, Tipo, SubTipo, Categoria, SubCat, Peso, Alta) "
     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
     bindMarca},
    {Table::kValVehi1, &Sizes::valVehi1,
     "INSERT INTO ValVehi1(Anioimp, Tipo, Categoria, SubCate, Modanio, SubTipo, Importe) "
     "VALUES (?, ?, ?, ?, ?, ?, ?)",
     "INSERT INTO RNAValVehi1(AnioImpuesto, Tipo, Categoria, SubCat, ModAnio, SubTipo, Importe, "
     "Alta) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
     bindValVehi1},
    {Table::kValVehi2, &Sizes::valVehi2,
     "INSERT INTO ValVehi2(Anioimp, Tipo, CodMar, CodMod, Modanio, Importe, Alicuota, DispTipo, "
     "DispNro, DispAnio) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
     "INSERT INTO RNAValVehi2(AnioImpuesto, Tipo, CodMar, CodMod, ModAnio, Importe, Alicuota, "
     "DispTipo, DispNro, DispAnio, Alta) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
     bindValVehi2},
}};

void removeFile(const std::filesystem::path& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    std::filesystem::remove(path.string() + suffix);
  }
}

// `changedShare`: for an update file, the share of rows a typical update changes.
void fill(const std::filesystem::path& path, const Options& options, bool main,
          double changedShare) {
  SqlCipherFile file(path, kPassword, SqlCipherFile::Mode::kCreate);
  // A cache larger than the file keeps pages from being encrypted and written more than once.
  file.exec("PRAGMA cache_size = -262144;");
  file.exec("BEGIN;");
  file.exec(main ? kMainSchema : kUpdateSchema);
  for (const TableRecipe& recipe : kTables) {
    const Plan plan = planTable(recipe.table, options.sizes.*recipe.size, options.seed);
    Statement insert(file.handle(), main ? recipe.mainInsert : recipe.updateInsert, path.string());
    for (const Row& row : main ? plan.main : plan.update) {
      Rng base(hashOf(options.seed, recipe.table, row.position, 0));
      Rng own(hashOf(options.seed, recipe.table, row.position,
                     static_cast<std::uint64_t>(row.version) + 1));
      std::optional<Rng> change;
      if (changedShare > 0) {
        Rng draw(hashOf(options.seed, recipe.table, row.position,
                        kChangePart + static_cast<std::uint64_t>(row.version)));
        if (draw.chance(changedShare)) change = draw;
      }
      Binder binder(insert, own);
      recipe.bind(binder, plan.space.decode(row.position), plan.space, base, own, row.version,
                  change ? &*change : nullptr);
      if (main) binder.text(own.chance(kAltaShare) ? "S" : "N");
      insert.execute();
    }
  }
  file.exec("COMMIT;");
}

void create(const std::filesystem::path& path, const Options& options, bool main,
            double changedShare = 0) {
  removeFile(path);
  try {
    fill(path, options, main, changedShare);
  } catch (...) {
    // A half-written file must not pass for a sample; the first error is the one to report.
    try {
      removeFile(path);
    } catch (...) {
    }
    throw;
  }
}

}  // namespace

Sizes Sizes::scaled(double factor) {
  if (!std::isfinite(factor)) throw std::invalid_argument("scale factor must be finite");
  auto count = [factor](double full) {
    return factor > 0 ? static_cast<std::int64_t>(std::llround(full * factor)) : 0;
  };
  return {count(20'000), count(200'000), count(1'000'000)};
}

void createUpdateDatabase(const std::filesystem::path& path, const Options& options) {
  create(path, options, false);
}

void createMainDatabase(const std::filesystem::path& path, const Options& options) {
  create(path, options, true);
}

void createTypicalUpdateDatabase(const std::filesystem::path& path, const Options& options) {
  create(path, options, false, kTypicalChangedShare);
}

void createEmptyDatabase(const std::filesystem::path& path, std::string_view schema) {
  removeFile(path);
  SqlCipherFile file(path, kPassword, SqlCipherFile::Mode::kCreate);
  file.exec(schema);
  // Writing the header makes the file exist on disk, keyed, even for an empty schema.
  file.exec("PRAGMA user_version = 0;");
}

}  // namespace kestova::sample
