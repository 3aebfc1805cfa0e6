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
#include <vector>
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

  std::string slashed(source);
  for (char& c : slashed)
    if (c == '\\') c = '/';
  const bool rooted = !hasDrive && startsWith(slashed, "/");
  const bool network = rooted && startsWith(slashed, "//");

  fs::path resolved;
  try {
    resolved = kestova::resolveDataSource(source, kCurrentDirectory, kWindowsPrefix);
  } catch (const kestova::DatabaseError& error) {
    require((hasDrive && !driveC) || network,
            [&] { return "refused a path on drive C: or a relative path: " + shown(source); });
    require(error.operation() == "Ubicar la base de datos", "refusal names another operation");
    return 0;
  }
  require(!hasDrive || driveC,
          [&] { return "resolved a path on a drive other than C: " + shown(source); });
  require(!network, [&] { return "resolved a network path: " + shown(source); });

  const std::string result = resolved.string();
  require(resolved.is_absolute(), [&] { return "resolved to a relative path: " + shown(result); });
  require(result.find('\\') == std::string::npos,
          [&] { return "a backslash is left: " + shown(result); });

  if (driveC || rooted) {
    // As on Windows: "." is dropped, ".." goes up but never above the root
    // of the drive, and the parts that are left follow in order.
    std::vector<std::string> parts;
    std::string part;
    for (std::size_t i = driveC ? 2 : 0; i <= slashed.size(); ++i) {
      if (i < slashed.size() && slashed[i] != '/') {
        part += slashed[i];
        continue;
      }
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      part.clear();
    }
    std::string expected = (kWindowsPrefix / "drive_c").string();
    for (const std::string& kept : parts) expected += "/" + kept;
    require(result == expected, [&] {
      return "a path on drive C: did not land in drive_c as Windows reads it: " + shown(source) +
             " -> " + shown(result);
    });
  } else {
    require(result == (kCurrentDirectory / slashed).string(), [&] {
      return "a relative path is not taken against the current directory: " + shown(result);
    });
  }
  return 0;
}
