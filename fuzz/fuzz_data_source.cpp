// Fuzz target for resolveDataSource(): the bytes are a connection's Data
// Source, resolved against a fixed current directory and Windows prefix. It
// checks the mapping connection_string.h describes: only drive C: has a
// folder (other drives are refused), a C: path lands in drive_c and stays
// there as it would on Windows, where ".." at the root of a drive goes
// nowhere; backslashes become slashes; a relative path is taken against the
// current directory.

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "connection_string.h"
#include "database_error.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using kestova::fuzz::require;
using kestova::fuzz::shown;

const fs::path kCurrentDirectory = "/home/ana/trabajo";
const fs::path kWindowsPrefix = "/home/ana/.wine";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  const bool hasDrive =
      size >= 2 && source[1] == ':' && std::isalpha(static_cast<unsigned char>(source[0]));
  const bool driveC = hasDrive && (source[0] == 'c' || source[0] == 'C');

  fs::path resolved;
  try {
    resolved = kestova::resolveDataSource(source, kCurrentDirectory, kWindowsPrefix);
  } catch (const kestova::DatabaseError& error) {
    require(hasDrive && !driveC,
            [&] { return "refused a path on no other drive: " + shown(source); });
    require(error.operation() == "Ubicar la base de datos", "refusal names another operation");
    return 0;
  }
  require(!hasDrive || driveC,
          [&] { return "resolved a path on a drive other than C: " + shown(source); });

  const std::string result = resolved.string();
  require(resolved.is_absolute(), [&] { return "resolved to a relative path: " + shown(result); });
  require(result.find('\\') == std::string::npos,
          [&] { return "a backslash is left: " + shown(result); });

  std::string slashed(source);
  for (char& c : slashed)
    if (c == '\\') c = '/';

  if (driveC) {
    const std::string driveRoot = (kWindowsPrefix / "drive_c").string() + "/";
    require(startsWith(result, driveRoot),
            [&] { return "a C: path is outside drive_c: " + shown(result); });
    // The rest of the path follows unchanged, less its leading separators.
    std::string rest = slashed.substr(2);
    rest.erase(0, rest.find_first_not_of('/'));
    require(result.substr(driveRoot.size()) == rest,
            [&] { return "a C: path lost or changed part of its path: " + shown(result); });
    // On Windows "C:\..\x" is "C:\x": no path on drive C: leaves the drive.
    // Lexically normalised, the result must still be inside drive_c.
    const std::string normal = resolved.lexically_normal().string();
    require(startsWith(normal + "/", driveRoot), [&] {
      return "a C: path resolves outside drive_c: " + shown(source) + " -> " + shown(normal);
    });
  } else if (!slashed.empty() && slashed.front() == '/') {
    require(result == slashed, [&] { return "an absolute path was changed: " + shown(result); });
  } else {
    require(result == (kCurrentDirectory / slashed).string(), [&] {
      return "a relative path is not taken against the current directory: " + shown(result);
    });
  }
  return 0;
}
