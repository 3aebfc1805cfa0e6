// filter_bench: what one key filter costs on the main database's largest
// table, at 10,000 and at 1,000,000 rows. A run filters the target once per
// source row, so the cost must not grow with the table: the recordset's key
// index should make the two sizes cost about the same. Each round times a few
// thousand filters (setFilter, then recordCount) on keys that exist and on keys
// that do not, alternating the two sizes; the medians over the rounds are
// printed with their ratio, and so is the one-off cost of building the index.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <iomanip>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "data/connection.h"
#include "data/recordset.h"
#include "data/statement.h"
#include "sync/table_definition.h"
#include "tools/sample/sample_data.h"

namespace kestova::bench {

namespace {

namespace fs = std::filesystem;

constexpr int kKeys = 2'000;  // of each kind, per size
constexpr int kRounds = 101;
constexpr std::array<std::int64_t, 2> kSizes = {10'000, 1'000'000};

using Key = std::array<std::int64_t, 5>;  // AnioImpuesto, Tipo, CodMar, CodMod, ModAnio

// The filter text the run writes for a ValVehi2 row.
std::string filterText(const Key& key) {
  return "AnioImpuesto = " + std::to_string(key[0]) + " and Tipo = " + std::to_string(key[1]) +
         " and CodMar = " + std::to_string(key[2]) + " and CodMod = " + std::to_string(key[3]) +
         " and ModAnio = " + std::to_string(key[4]);
}

struct Table {
  std::int64_t rows = 0;
  std::unique_ptr<Connection> connection;
  std::unique_ptr<Recordset> recordset;
  std::vector<std::string> existing, missing, mixed;  // mixed: both, shuffled
  double indexSeconds = 0;
  std::vector<double> existingNs, missingNs, allNs;
};

void prepareTable(Table& table, const fs::path& folder, std::mt19937_64& random) {
  const fs::path file = folder / ("main-" + std::to_string(table.rows) + ".mdb");
  Stopwatch made;
  sample::createMainDatabase(file, {{0, 0, table.rows}, 1});
  std::cout << "RNAValVehi2 " << std::setw(9) << table.rows << " rows: sample file made in "
            << std::fixed << std::setprecision(1) << made.seconds() << " s\n";

  table.connection = std::make_unique<Connection>("Nevaro", connectionStringFor(file), true);
  table.connection->open(folderSettings(folder));
  table.recordset = std::make_unique<Recordset>(valuaciones2().target);
  table.recordset->open(*table.connection, "RNAValVehi2");

  std::vector<Key> keys;
  Statement select(table.connection->handle(),
                   "SELECT AnioImpuesto, Tipo, CodMar, CodMod, ModAnio FROM RNAValVehi2",
                   "RNAValVehi2");
  while (select.step()) {
    Key key;
    for (int i = 0; i < 5; ++i) key[i] = select.columnInt64(i);
    keys.push_back(key);
  }
  for (int i = 0; i < kKeys; ++i)
    table.existing.push_back(filterText(keys[random() % keys.size()]));

  // Missing keys lie among the existing ones, not beyond their ranges.
  std::int64_t lastCodMar = 1;
  for (const Key& key : keys) lastCodMar = std::max(lastCodMar, key[2]);
  std::sort(keys.begin(), keys.end());
  while (table.missing.size() < kKeys) {
    const std::int64_t year = 2000 + static_cast<std::int64_t>(random() % 27);
    const Key key = {
        year, 1 + static_cast<std::int64_t>(random() % 9),
        1 + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(lastCodMar)),
        1 + static_cast<std::int64_t>(random() % 40),
        year - static_cast<std::int64_t>(random() % 21)};
    if (!std::binary_search(keys.begin(), keys.end(), key))
      table.missing.push_back(filterText(key));
  }

  table.mixed = table.existing;
  table.mixed.insert(table.mixed.end(), table.missing.begin(), table.missing.end());
  std::shuffle(table.mixed.begin(), table.mixed.end(), random);

  // The first filter builds the index; a run pays this once per table.
  Stopwatch index;
  table.recordset->setFilter(table.existing.front());
  table.recordset->recordCount();
  table.indexSeconds = index.seconds();
}

enum class Expect { Rows, None, Any };

// Nanoseconds per filter; `wrong` is set when a count is not what was expected.
double timeFilters(Recordset& recordset, const std::vector<std::string>& filters, Expect expect,
                   bool& wrong) {
  Stopwatch clock;
  for (const std::string& filter : filters) {
    recordset.setFilter(filter);
    const std::int64_t count = recordset.recordCount();
    wrong =
        wrong || (expect == Expect::Rows && count < 1) || (expect == Expect::None && count != 0);
  }
  return clock.seconds() * 1e9 / static_cast<double>(filters.size());
}

int benchMain() {
  std::cout << "filter_bench: " << now() << ", " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, "
            << kKeys << " existing and " << kKeys << " missing keys per size, " << kRounds
            << " rounds\n";
  ScratchFolder scratch("kestova-filter-bench");
  std::mt19937_64 random(20240601);
  std::array<Table, 2> tables;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    tables[i].rows = kSizes[i];
    prepareTable(tables[i], scratch.path(), random);
  }

  bool wrong = false;
  for (int round = 0; round < kRounds; ++round) {
    for (Table& table : tables) {
      table.existingNs.push_back(
          timeFilters(*table.recordset, table.existing, Expect::Rows, wrong));
      table.missingNs.push_back(timeFilters(*table.recordset, table.missing, Expect::None, wrong));
      table.allNs.push_back(timeFilters(*table.recordset, table.mixed, Expect::Any, wrong));
    }
  }

  std::cout << std::fixed << std::setprecision(0);
  for (const Table& table : tables) {
    std::cout << "RNAValVehi2 " << std::setw(9) << table.rows << " rows: " << std::setw(5)
              << median(table.allNs) << " ns per filter on mixed keys (existing "
              << median(table.existingNs) << ", missing " << median(table.missingNs)
              << "); index built in " << std::setprecision(1) << table.indexSeconds * 1e3 << " ms"
              << std::setprecision(0) << '\n';
  }
  // Ratios per round: both sizes are timed within the same round.
  std::cout << std::setprecision(2) << "ratio " << kSizes[1] << "/" << kSizes[0]
            << " rows: " << medianRatio(tables[1].allNs, tables[0].allNs) << " (mixed; existing "
            << medianRatio(tables[1].existingNs, tables[0].existingNs) << ", missing "
            << medianRatio(tables[1].missingNs, tables[0].missingNs)
            << "; medians of per-round ratios)\n";
  if (wrong) {
    std::cout << "FAIL: a filter found rows for a missing key or none for an existing one\n";
    return 1;
  }
  return 0;
}

}  // namespace

}  // namespace kestova::bench

int main() {
  try {
    return kestova::bench::benchMain();
  } catch (const std::exception& error) {
    std::cout << "FAIL: " << error.what() << '\n';
    return 1;
  }
}
