#include "data/connection_string.h"

#include <algorithm>
#include <vector>

#include "data/database_error.h"
#include "data/text_rules.h"
#include "platform/utf8_path.h"

namespace kestova {

namespace {

constexpr char kOperation[] = "Leer la cadena de conexión";

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

// The value in quotes that starts at text[at], where a doubled quote stands
// for one; leaves `at` just after the closing quote.
std::string quotedValue(std::string_view text, std::size_t& at, std::string_view key) {
  const char quote = text[at++];
  std::string value;
  for (;; ++at) {
    if (at >= text.size()) throw DatabaseError(kOperation, std::string(key), "comillas sin cerrar");
    if (text[at] != quote) {
      value += text[at];
    } else if (at + 1 < text.size() && text[at + 1] == quote) {
      value += quote;
      ++at;
    } else {
      ++at;
      return value;
    }
  }
}

}  // namespace

ConnectionString ConnectionString::parse(std::string_view text) {
  ConnectionString result;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t equals = text.find_first_of("=;", i);
    if (equals == std::string_view::npos || text[equals] == ';') {
      std::string_view rest = trim(
          text.substr(i, equals == std::string_view::npos ? std::string_view::npos : equals - i));
      if (!rest.empty())
        throw DatabaseError(kOperation, std::string(rest), "falta '=' después de la clave");
      i = equals == std::string_view::npos ? text.size() : equals + 1;
      continue;
    }
    std::string_view key = trim(text.substr(i, equals - i));
    if (key.empty()) throw DatabaseError(kOperation, "", "clave vacía");

    std::size_t j = equals + 1;
    while (j < text.size() && isSpace(text[j])) ++j;
    std::string value;
    const bool quoted = j < text.size() && (text[j] == '"' || text[j] == '\'');
    if (quoted) value = quotedValue(text, j, key);
    const std::size_t end = text.find(';', j);
    const std::string_view rest =
        trim(text.substr(j, end == std::string_view::npos ? end : end - j));
    if (quoted && !rest.empty())
      throw DatabaseError(kOperation, std::string(key), "texto después de las comillas");
    if (!quoted) value = rest;
    i = end == std::string_view::npos ? text.size() : end + 1;
    result.values_[foldName(key)] = std::move(value);
  }
  return result;
}

std::optional<std::string> ConnectionString::value(std::string_view key) const {
  auto found = values_.find(foldName(trim(key)));
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::filesystem::path resolveDataSource(std::string_view dataSource,
                                        const std::filesystem::path& currentDirectory,
                                        const std::filesystem::path& windowsPrefix) {
  constexpr char kLocate[] = "Ubicar la base de datos";
  const bool hasDrive = dataSource.size() >= 2 && dataSource[1] == ':' &&
                        foldAscii(dataSource[0]) >= 'a' && foldAscii(dataSource[0]) <= 'z';
  // Windows names files in UTF-16, which only valid UTF-8 converts to.
  std::filesystem::path asWritten;
  try {
    asWritten = pathFromUtf8(dataSource);
  } catch (const std::filesystem::filesystem_error&) {
    throw DatabaseError(kLocate, std::string(dataSource), "el nombre no es texto UTF-8 válido");
  }
  if (windowsPrefix.empty())
    return asWritten.is_absolute() || hasDrive ? asWritten : currentDirectory / asWritten;
  std::string text(dataSource);
  std::replace(text.begin(), text.end(), '\\', '/');
  const bool rooted = !text.empty() && text[0] == '/';
  if (!hasDrive && !rooted) return currentDirectory / pathFromUtf8(text);
  if ((hasDrive && foldAscii(text[0]) != 'c') || text.rfind("//", 0) == 0)
    throw DatabaseError(kLocate, std::string(dataSource),
                        "solo la unidad C: tiene carpeta en el prefijo de Windows");
  // A path on drive C: (or on the current drive, from its root) stays inside
  // drive_c: as on Windows, ".." at the root of a drive stays at the root.
  std::vector<std::string> parts;
  std::size_t start = hasDrive ? 2 : 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  std::filesystem::path path = windowsPrefix / "drive_c";
  for (const std::string& part : parts) path /= pathFromUtf8(part);
  return path;
}

}  // namespace kestova
