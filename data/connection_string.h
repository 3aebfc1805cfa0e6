#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestova {

// A connection string: `;`-separated `key=value` pairs. Keys are matched
// without regard to case; spaces around keys and values are ignored; a value
// may be enclosed in double or single quotes (a doubled quote inside stands for
// one), which lets it hold `;` or `=`. Later pairs replace earlier ones.
class ConnectionString {
 public:
  // Throws DatabaseError on a malformed string (a pair without `=`, an empty
  // key, an unterminated quote).
  static ConnectionString parse(std::string_view text);

  // The value of `key`, if the string has it.
  std::optional<std::string> value(std::string_view key) const;

 private:
  std::map<std::string, std::string> values_;  // keys in lower case
};

// Where the data source of a connection lives on this machine. Without a
// Windows prefix (on Windows) a path is used as it stands; with one (on Linux,
// or a test's own folder) drive C: is the folder drive_c of the prefix and
// backslashes become slashes, as Wine lays it out. Any other relative path is
// taken against `currentDirectory`. Throws DatabaseError for a drive other
// than C: in a prefix.
std::filesystem::path resolveDataSource(std::string_view dataSource,
                                        const std::filesystem::path& currentDirectory,
                                        const std::filesystem::path& windowsPrefix);

}  // namespace kestova
