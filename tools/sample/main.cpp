// kestova-sample: writes the encrypted update and main files that Kestova's tests, benchmarks and
// manual runs work on.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tools/sample/sample_data.h"

namespace {

constexpr char kUsage[] =
    "usage: kestova-sample [--update PATH] [--main PATH] [--scale F] [--seed N] [--typical]\n"
    "\n"
    "Writes encrypted sample databases, replacing files already there.\n"
    "  --update PATH  update file (Marcas, ValVehi1, ValVehi2), like Kestova.mdb\n"
    "  --main PATH    main file (RNAMarMod, RNAValVehi1, RNAValVehi2), like Nevaro.mdb\n"
    "  --scale F      size factor, 0..20; 1 (the default) is 20,000 / 200,000 / 1,000,000 rows\n"
    "  --seed N       data seed, 0..4294967295 (default 1); files made with one seed fit together\n"
    "  --typical      with --update: a typical monthly update for the main file that a run of the\n"
    "                 plain update (same scale and seed) left: the same rows, except that about\n"
    "                 one in ten has one changed data field (Importe, or Peso in Marcas)\n"
    "At least one of --update and --main is required.\n";

constexpr double kMaxScale = 20;

// Bad command lines, told apart from failures while writing so only they get the usage hint.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Arguments {
  std::optional<std::filesystem::path> update, main;
  double scale = 1;
  std::uint32_t seed = 1;
  bool typical = false;
  bool help = false;
};

template <typename Number>
Number parseNumber(std::string_view option, std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw UsageError("invalid value for " + std::string(option) + ": '" + std::string(text) + "'");
  }
  return value;
}

Arguments parse(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      args.help = true;
      continue;
    }
    if (option == "--typical") {
      args.typical = true;
      continue;
    }
    if (option != "--update" && option != "--main" && option != "--scale" && option != "--seed") {
      throw UsageError("unknown argument '" + std::string(option) + "'");
    }
    if (i + 1 == argc) throw UsageError(std::string(option) + " needs a value");
    const std::string_view value = argv[++i];
    if (option == "--update") {
      args.update = value;
    } else if (option == "--main") {
      args.main = value;
    } else if (option == "--scale") {
      args.scale = parseNumber<double>(option, value);
      if (!std::isfinite(args.scale) || args.scale < 0 || args.scale > kMaxScale) {
        throw UsageError("--scale must be between 0 and 20");
      }
    } else {
      args.seed = parseNumber<std::uint32_t>(option, value);
    }
  }
  if (args.help) return args;
  if (!args.update && !args.main) throw UsageError("give --update PATH, --main PATH or both");
  if (args.typical && !args.update) throw UsageError("--typical needs --update PATH");
  if (args.update && args.main && *args.update == *args.main) {
    throw UsageError("--update and --main name the same file");
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  namespace sample = kestova::sample;
  try {
    const Arguments args = parse(argc, argv);
    if (args.help) {
      std::cout << kUsage;
      return 0;
    }
    const sample::Options options{sample::Sizes::scaled(args.scale), args.seed};
    const auto& sizes = options.sizes;
    if (args.update) {
      if (args.typical) {
        sample::createTypicalUpdateDatabase(*args.update, options);
      } else {
        sample::createUpdateDatabase(*args.update, options);
      }
      std::cout << (args.typical ? "typical update " : "update ") << args.update->string()
                << ": Marcas " << sizes.marcas << ", ValVehi1 " << sizes.valVehi1 << ", ValVehi2 "
                << sizes.valVehi2 << " rows\n";
    }
    if (args.main) {
      sample::createMainDatabase(*args.main, options);
      std::cout << "main " << args.main->string() << ": RNAMarMod " << sizes.marcas
                << ", RNAValVehi1 " << sizes.valVehi1 << ", RNAValVehi2 " << sizes.valVehi2
                << " rows\n";
    }
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "kestova-sample: " << error.what() << "\n"
              << "try 'kestova-sample --help'\n";
    return 1;
  }
}
