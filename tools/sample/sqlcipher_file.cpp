#include "sqlcipher_file.h"

#include <utility>

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
    : path_(std::move(path)) {
  const int flags = SQLITE_OPEN_READWRITE | (mode == Mode::kCreate ? SQLITE_OPEN_CREATE : 0);
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(path_.c_str(), &raw, flags, nullptr);
  db_.reset(raw);  // owned even on failure: the handle carries the error message
  check(rc, "open");
  exec("PRAGMA key = " + quoteLiteral(key) + ";");

  SqlStatement version(*this, "PRAGMA cipher_version;");
  if (!version.step()) {
    throw SqlCipherError("open " + path_.string() +
                         ": the SQLite library in use is not SQLCipher, the key would be ignored");
  }
  // The key is only tried on the first read; do it now so a wrong key fails at open.
  check(sqlite3_exec(db_.get(), "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr),
        "read with the key");
}

void SqlCipherFile::exec(std::string_view sql) {
  check(sqlite3_exec(db_.get(), std::string(sql).c_str(), nullptr, nullptr, nullptr),
        "execute \"" + std::string(sql.substr(0, 60)) + (sql.size() > 60 ? "...\"" : "\""));
}

void SqlCipherFile::check(int rc, std::string_view what) const {
  if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) return;
  const char* message = db_ ? sqlite3_errmsg(db_.get()) : sqlite3_errstr(rc);
  throw SqlCipherError(std::string(what) + " on " + path_.string() + ": " + message);
}

SqlStatement::SqlStatement(const SqlCipherFile& file, std::string_view sql)
    : file_(file), what_("run \"" + std::string(sql) + "\"") {
  sqlite3_stmt* raw = nullptr;
  const int rc =
      sqlite3_prepare_v2(file.handle(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  stmt_.reset(raw);
  file_.check(rc, "prepare" + what_.substr(3));
}

void SqlStatement::bindInt(int index, std::int64_t value) {
  file_.check(sqlite3_bind_int64(handle(), index, value), what_);
}

void SqlStatement::bindReal(int index, double value) {
  file_.check(sqlite3_bind_double(handle(), index, value), what_);
}

void SqlStatement::bindText(int index, std::string_view value) {
  file_.check(sqlite3_bind_text(handle(), index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT),
              what_);
}

void SqlStatement::bindNull(int index) {
  file_.check(sqlite3_bind_null(handle(), index), what_);
}

bool SqlStatement::step() {
  const int rc = sqlite3_step(handle());
  file_.check(rc, what_);
  return rc == SQLITE_ROW;
}

void SqlStatement::reset() {
  file_.check(sqlite3_reset(handle()), what_);
}

bool SqlStatement::isNull(int column) const {
  return sqlite3_column_type(handle(), column) == SQLITE_NULL;
}

std::int64_t SqlStatement::columnInt(int column) const {
  return sqlite3_column_int64(handle(), column);
}

double SqlStatement::columnReal(int column) const {
  return sqlite3_column_double(handle(), column);
}

std::optional<std::string> SqlStatement::columnText(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(handle(), column));
  if (text == nullptr) return std::nullopt;
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(handle(), column)));
}

}  // namespace kestova::sample
