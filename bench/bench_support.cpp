#include "bench/bench_support.h"

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "data/data_environment.h"
#include "data/statement.h"
#include "sync/table_definition.h"

namespace kestova::bench {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(std::string_view stem) {
  std::string pattern = (fs::temp_directory_path() / (std::string(stem) + ".XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot create a scratch folder like " + pattern + ": " +
                             std::strerror(errno));
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void Layout::createFolders() const {
  for (const char* folder : {kPlainUpdate, kTypicalUpdate, kGeneratedMain, kMainAfterRun})
    fs::create_directories(root / folder);
  fs::create_directories(mainPath().parent_path());
}

void Layout::freshMain() const {
  for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(mainPath().string() + suffix);
  fs::copy_file(startMainPath(), mainPath(), fs::copy_options::overwrite_existing);
}

std::string connectionStringFor(const fs::path& file) {
  return "Provider=Microsoft.Jet.OLEDB.3.51;Persist Security Info=False;Data Source=\"" +
         file.filename().string() + "\";Jet OLEDB:Database Password=k7p.t4;";
}

DataSettings folderSettings(const fs::path& folder) {
  return {folder, folder, std::chrono::milliseconds(30'000)};
}

Arguments parseArguments(int argc, char** argv, Arguments args, std::string_view usage) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << usage;
      std::exit(0);
    }
    if ((option != "--scale" && option != "--repeat") || i + 1 == argc)
      throw std::invalid_argument("unknown argument or missing value: " + std::string(option));
    const std::string_view text = argv[++i];
    bool valid;
    if (option == "--scale") {
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), args.scale);
      valid = error == std::errc() && end == text.data() + text.size() && args.scale > 0 &&
              args.scale <= 20;
    } else {
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), args.repeat);
      valid = error == std::errc() && end == text.data() + text.size() && args.repeat >= 1 &&
              args.repeat <= 100;
    }
    if (!valid) throw std::invalid_argument("bad value for " + std::string(option));
  }
  return args;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double medianRatio(const std::vector<double>& over, const std::vector<double>& under) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < over.size(); ++i) ratios.push_back(over[i] / under[i]);
  return median(ratios);
}

namespace {

// FNV-1a: enough to tell two contents apart, and simple to reproduce anywhere.
class Hash {
 public:
  void add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      value_ ^= bytes[i];
      value_ *= 0x100000001b3ULL;
    }
  }
  template <class T>
  void addValue(T value) {
    add(&value, sizeof value);
  }
  void addField(Null) {}
  void addField(std::int64_t number) { addValue(number); }
  void addField(double number) { addValue(number); }
  void addField(const std::string& text) {
    addValue(text.size());
    add(text.data(), text.size());
  }
  void addField(const Blob& blob) { addField(blob.bytes); }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xcbf29ce484222325ULL;
};

TableChecksum checksumTable(sqlite3* db, const std::string& table) {
  Statement select(db, "SELECT rowid, * FROM " + quoteIdentifier(table) + " ORDER BY rowid", table);
  const int columns = select.columnCount();
  TableChecksum checksum{table, 0, 0};
  Hash hash;
  while (select.step()) {
    ++checksum.rows;
    for (int i = 0; i < columns; ++i) {
      const FieldValue value = select.column(i);
      hash.addValue(static_cast<unsigned char>(value.index()));
      std::visit([&hash](const auto& field) { hash.addField(field); }, value);
    }
  }
  checksum.hash = hash.value();
  return checksum;
}

}  // namespace

std::vector<TableChecksum> checksumMain(const fs::path& file) {
  Connection connection("Checksum", connectionStringFor(file), /*readOnly=*/true);
  connection.open(folderSettings(file.parent_path()));
  DataEnvironment2 names(folderSettings(file.parent_path()));  // only for its table names
  std::vector<TableChecksum> checksums;
  for (const TableDefinition* table : runTables())
    checksums.push_back(checksumTable(connection.handle(), names.commandOf(table->target).table));
  return checksums;
}

std::string describe(const std::vector<TableChecksum>& checksums) {
  std::ostringstream text;
  for (std::size_t i = 0; i < checksums.size(); ++i) {
    if (i > 0) text << " | ";
    text << checksums[i].table << ' ' << checksums[i].rows << " rows " << std::hex << std::setw(16)
         << std::setfill('0') << checksums[i].hash << std::dec;
  }
  return text.str();
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeText(const fs::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

std::string now() {
  const std::time_t time = std::time(nullptr);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&time));
  return text;
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return argv;
}

}  // namespace kestova::bench
