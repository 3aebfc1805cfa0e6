// Fuzz target for the text the data layer reads: filter criteria
// (parseCriteria), connection strings (ConnectionString) and their data
// sources (resolveDataSource). The first byte chooses which ('0', '1', '2'
// and so on modulo 3), the rest is the text. Each is checked against a second
// reading of its format written another way, so that a text accepted that
// should be refused, refused that should be accepted, or read differently,
// all show; criteria are also checked for anything outside quotes that could
// act as an operator, and read once more by a CriteriaReader.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/connection_string.h"
#include "data/criteria.h"
#include "data/database_error.h"
#include "data/text_rules.h"
#include "fuzz/fuzz_support.h"
#include "platform/utf8_path.h"

namespace {

using kestova::CriteriaTerm;
using kestova::DatabaseError;
using kestova::fuzz::require;
using kestova::fuzz::shown;

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}
bool isWordChar(char c) {
  return isLetter(c) || isDigit(c);
}
bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The criteria grammar read token by token, each token checked against what
// the terms so far allow next. Number values follow the number literal rule.
std::optional<std::vector<CriteriaTerm>> readCriteria(std::string_view s) {
  enum { Name, Equals, Literal, And } next = Name;
  std::vector<CriteriaTerm> terms;
  CriteriaTerm term;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t begin = i;
    if (isBlank(s[i])) {
      ++i;
    } else if (isLetter(s[i])) {
      while (i < s.size() && isWordChar(s[i])) ++i;
      const std::string_view word = s.substr(begin, i - begin);
      if (next == Name) {
        term.name = word;
        next = Equals;
      } else if (next == And && kestova::sameName(word, "and") && i < s.size() && isBlank(s[i])) {
        next = Name;
      } else {
        return std::nullopt;
      }
    } else if (s[i] == '=' && next == Equals) {
      ++i;
      next = Literal;
    } else if (s[i] == '\'' && next == Literal) {
      std::string text;
      for (++i;; ++i) {
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '\'' && (i + 1 >= s.size() || s[i + 1] != '\'')) break;
        if (s[i] == '\'') ++i;  // '' stands for one quote
        text += s[i];
      }
      ++i;
      term.literal = text;
      terms.push_back(term);
      next = And;
    } else if (next == Literal) {
      auto digits = [&] {
        const std::size_t first = i;
        while (i < s.size() && isDigit(s[i])) ++i;
        return i > first;
      };
      if (s[i] == '+' || s[i] == '-') ++i;
      if (!digits()) return std::nullopt;
      if (i < s.size() && s[i] == '.' && (++i, !digits())) return std::nullopt;
      if (i < s.size() && isWordChar(s[i])) return std::nullopt;
      auto value = kestova::parseNumberLiteral(s.substr(begin, i - begin));
      if (!value) return std::nullopt;
      term.literal = *value;
      terms.push_back(term);
      next = And;
    } else {
      return std::nullopt;
    }
  }
  if (next != And && !(next == Name && terms.empty())) return std::nullopt;
  return terms;
}

// Outside quotes an accepted text holds only names, numbers, '=' and blanks,
// and `or` and `not` only as field names: no text the parser takes can be read
// as `x = 1 or 1 = 1`, whatever a later reader of it makes of it.
void checkNothingOutsideQuotesActs(std::string_view text) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') quoted = !quoted;  // '' inside a text closes and opens again
    if (quoted || c == '\'') continue;
    require(isWordChar(c) || isBlank(c) || c == '=' || c == '.' || c == '+' || c == '-',
            [&] { return "an operator character outside quotes: " + shown(text); });
    if (!isLetter(c) || (i > 0 && isWordChar(text[i - 1]))) continue;
    std::size_t end = i;
    while (end < text.size() && isWordChar(text[end])) ++end;
    const std::string_view word = text.substr(i, end - i);
    if (!kestova::sameName(word, "or") && !kestova::sameName(word, "not")) continue;
    while (end < text.size() && isBlank(text[end])) ++end;
    require(end < text.size() && text[end] == '=',
            [&] { return "'" + std::string(word) + "' used as an operator: " + shown(text); });
  }
}

bool sameTerms(const std::vector<CriteriaTerm>& a, const std::vector<CriteriaTerm>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.name == y.name && x.literal == y.literal;
  });
}

// A reader that follows the layout of the text before reads every text as
// the full parse does: the text itself twice, then with its digits changed
// (the same layout around other numbers, when the digits stand in literals).
void checkReaderAgreesWithParse(std::string_view text) {
  static kestova::CriteriaReader reader;  // carries the layout from input to input
  std::string changed(text);
  for (char& c : changed)
    if (c >= '0' && c <= '9') c = static_cast<char>('0' + (c - '0' + 7) % 10);
  for (std::string_view version : {text, text, std::string_view(changed)}) {
    std::optional<std::vector<CriteriaTerm>> parsed;
    try {
      parsed = kestova::parseCriteria(version);
    } catch (const DatabaseError&) {
    }
    try {
      const std::vector<CriteriaTerm>& read = reader.read(version);
      require(parsed && sameTerms(read, *parsed),
              [&] { return "the reader reads otherwise: " + shown(version); });
    } catch (const DatabaseError&) {
      require(!parsed, [&] { return "the reader refuses: " + shown(version); });
    }
  }
}

void checkCriteria(std::string_view text) {
  checkReaderAgreesWithParse(text);
  const auto expected = readCriteria(text);
  std::vector<CriteriaTerm> terms;
  try {
    terms = kestova::parseCriteria(text);
  } catch (const DatabaseError& error) {
    require(!expected, [&] { return "refused: " + shown(text) + " (" + error.what() + ")"; });
    // The message ends with the 1-based position of the first thing that does not fit.
    const std::string& message = error.message();
    const std::size_t at = message.rfind("posición ");
    const long position = at == std::string::npos ? 0 : std::atol(message.c_str() + at + 10);
    require(position >= 1 && position <= static_cast<long>(text.size()) + 1,
            [&] { return "refusal gives no position within the text: " + message; });
    return;
  }
  require(expected.has_value(), [&] { return "accepted: " + shown(text); });
  require(sameTerms(terms, *expected), [&] { return "terms read differently: " + shown(text); });
  checkNothingOutsideQuotesActs(text);
}

bool isSpace(char c) {
  return isBlank(c) || c == '\r' || c == '\n';
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && isSpace(text[begin])) ++begin;
  while (end > begin && isSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// A connection string read character by character: each key (folded) with
// its key as written and its value, or nothing when the string is malformed.
using Pairs = std::map<std::string, std::pair<std::string, std::string>>;
std::optional<Pairs> readConnectionString(std::string_view text) {
  enum { Key, BeforeValue, Bare, Quoted, AfterQuote } state = Key;
  Pairs pairs;
  std::string key, value;
  char quote = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size();
    const char c = end ? ';' : text[i];  // the end closes a pair as ';' does
    if (state == Key && c == ';') {
      if (!trimmed(key).empty()) return std::nullopt;  // a key without '='
      key.clear();
    } else if (state == Key && c == '=' && !end) {
      key = trimmed(key);
      if (key.empty()) return std::nullopt;
      state = BeforeValue;
    } else if (state == Key) {
      key += c;
    } else if (state == BeforeValue && !end && isSpace(c)) {
    } else if (state == BeforeValue && !end && (c == '"' || c == '\'')) {
      quote = c;
      state = Quoted;
    } else if (state == Quoted) {
      if (end) return std::nullopt;
      if (c != quote) {
        value += c;
      } else if (i + 1 < text.size() && text[i + 1] == quote) {
        value += text[i++];
      } else {
        state = AfterQuote;
      }
    } else if (c == ';') {  // Bare, AfterQuote, or BeforeValue with nothing left
      pairs[kestova::foldName(key)] = {key, state == AfterQuote ? value : trimmed(value)};
      key.clear();
      value.clear();
      state = Key;
    } else if (state == AfterQuote) {
      if (!isSpace(c)) return std::nullopt;  // text after the closing quote
    } else {
      value += c;
      state = Bare;
    }
  }
  return pairs;
}

void checkConnectionString(std::string_view text) {
  const auto expected = readConnectionString(text);
  std::optional<kestova::ConnectionString> parsed;
  try {
    parsed = kestova::ConnectionString::parse(text);
  } catch (const DatabaseError& error) {
    require(!expected, [&] { return "refused: " + shown(text) + " (" + error.what() + ")"; });
    return;
  }
  require(expected.has_value(), [&] { return "accepted: " + shown(text); });
  for (const auto& [folded, keyAndValue] : *expected) {
    const std::string& key = keyAndValue.first;
    const std::string& value = keyAndValue.second;
    for (const std::string& asked : {key, folded, " \t" + key + " \r\n"}) {
      require(parsed->value(asked) == value, [&] {
        return "key '" + shown(asked) + "' does not give '" + shown(value) + "' in " + shown(text);
      });
    }
  }
  if (expected->count("data source") == 0)
    require(!parsed->value("Data Source"), [&] { return "a Data Source in " + shown(text); });
}

// Drive C: is the Windows prefix's drive_c, where ".." stops at the root as on
// Windows; other drives and network paths are refused; the rest is relative
// to the current directory. Paths are compared with forward slashes, which
// both systems read as separators.
void checkDataSource(std::string_view source) {
  const std::filesystem::path current = "/home/ana/trabajo", prefix = "/home/ana/.wine";
  const bool hasDrive =
      source.size() >= 2 && source[1] == ':' && isLetter(source[0]) && source[0] != '_';
  std::string slashed(source);
  for (char& c : slashed)
    if (c == '\\') c = '/';
  const bool rooted = !hasDrive && slashed.rfind('/', 0) == 0;
  bool named = true;  // Windows converts only valid UTF-8 to its names
  try {
    kestova::pathFromUtf8(source);
  } catch (const std::filesystem::filesystem_error&) {
    named = false;
  }
  const bool refused = !named || (hasDrive && kestova::foldAscii(source[0]) != 'c') ||
                       (rooted && slashed.rfind("//", 0) == 0);

  std::string resolved;
  try {
    resolved = kestova::resolveDataSource(source, current, prefix).generic_string();
  } catch (const DatabaseError&) {
    require(refused, [&] { return "refused: " + shown(source); });
    return;
  }
  require(!refused, [&] { return "accepted: " + shown(source); });
  std::string expected = (current / kestova::pathFromUtf8(slashed)).generic_string();
  if (hasDrive || rooted) {
    // The standard library's reading: ".." at the root stays at the root.
    std::string path = kestova::pathFromUtf8("/" + slashed.substr(hasDrive ? 2 : 0))
                           .lexically_normal()
                           .generic_string();
    while (!path.empty() && path.back() == '/') path.pop_back();
    expected = (prefix / "drive_c").generic_string() + path;
  }
  require(resolved == expected,
          [&] { return shown(source) + " resolves to " + shown(resolved) + ", not " + expected; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      checkCriteria(text);
      break;
    case 1:
      checkConnectionString(text);
      break;
    default:
      checkDataSource(text);
      break;
  }
  return 0;
}
