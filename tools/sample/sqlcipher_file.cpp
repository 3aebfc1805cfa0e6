#include "tools/sample/sqlcipher_file.h"

#include <optional>
#include <utility>

#include "data/statement.h"

namespace kestova::sample {

std::string quoteLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

SqlCipherFile::SqlCipherFile(std::filesystem::path path, std::string_view key, Mode mode)
    : path_(std::move(path)),
      // sqlite3_key refuses an empty key, where PRAGMA key = '' leaves the file
      // plain: tests make unencrypted files that way.
      db_(openDatabaseFile(path_, key.empty() ? std::nullopt : std::optional<std::string>(key),
                           mode == Mode::kCreate ? FileAccess::kCreate : FileAccess::kReadWrite)) {
  // The key is only tried on the first read; do it now so a wrong key fails at open.
  Statement(handle(), "SELECT count(*) FROM sqlite_master", path_.string()).execute();
}

void SqlCipherFile::exec(std::string_view sql) {
  executeScript(handle(), std::string(sql), path_.string());
}

}  // namespace kestova::sample
