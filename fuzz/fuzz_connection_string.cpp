// Fuzz target for ConnectionString::parse() and value(). The bytes are read
// as a connection string and checked against a second reader of the same
// format, written as a character-by-character state machine: both must accept
// the same strings and agree on every key's value. The values an accepted
// string holds, written out again with every value quoted, must read back the
// same, and lookups must ignore letter case and surrounding spaces.
//
// The reference follows the parser's own whitespace rules: keys and unquoted
// values are trimmed of spaces, tabs, CR and LF, and the same may stand
// between '=' and an opening quote.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "connection_string.h"
#include "database_error.h"
#include "fuzz_support.h"

namespace {

using kestova::fuzz::require;
using kestova::fuzz::shown;

bool isTrimmed(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && isTrimmed(text[begin])) ++begin;
  while (end > begin && isTrimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string lowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string upperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Key (as written, trimmed) -> value; the map is keyed by the lower-case key.
using Pairs = std::map<std::string, std::pair<std::string, std::string>>;

std::optional<Pairs> referenceParse(std::string_view text) {
  enum class State { Key, BeforeValue, Bare, Quoted, AfterQuote };
  Pairs pairs;
  State state = State::Key;
  std::string key, value;
  char quote = 0;
  auto store = [&] {
    pairs[lowerAscii(key)] = {key, value};
    key.clear();
    value.clear();
  };
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const bool end = i == text.size();
    const char c = end ? ';' : text[i];  // the end closes a pair as ';' does
    switch (state) {
      case State::Key:
        if (c == ';') {
          if (!trimmed(key).empty()) return std::nullopt;  // a key without '='
          key.clear();
        } else if (c == '=' && !end) {
          key = trimmed(key);
          if (key.empty()) return std::nullopt;
          state = State::BeforeValue;
        } else {
          key += c;
        }
        break;
      case State::BeforeValue:
        if (!end && isTrimmed(c)) break;
        if (!end && (c == '"' || c == '\'')) {
          quote = c;
          state = State::Quoted;
          break;
        }
        state = State::Bare;
        [[fallthrough]];
      case State::Bare:
        if (c == ';') {
          value = trimmed(value);
          store();
          state = State::Key;
        } else {
          value += c;
        }
        break;
      case State::Quoted:
        if (end) return std::nullopt;  // unterminated
        if (c == quote) {
          if (i + 1 < text.size() && text[i + 1] == quote) {
            value += c;
            ++i;
          } else {
            state = State::AfterQuote;
          }
        } else {
          value += c;
        }
        break;
      case State::AfterQuote:
        if (c == ';') {
          store();
          state = State::Key;
        } else if (!isTrimmed(c)) {
          return std::nullopt;  // text after the closing quote
        }
        break;
    }
  }
  return pairs;
}

void checkAgrees(const kestova::ConnectionString& parsed, const Pairs& pairs,
                 const std::string& text) {
  for (const auto& [lowered, keyAndValue] : pairs) {
    const std::string& key = keyAndValue.first;
    const std::string& value = keyAndValue.second;
    for (const std::string& asked : {key, lowered, upperAscii(key), " \t" + key + " \r\n"}) {
      auto found = parsed.value(asked);
      require(found.has_value(),
              [&] { return "no value for key '" + shown(asked) + "' in " + shown(text); });
      require(*found == value, [&] {
        return "key '" + shown(asked) + "' gives '" + shown(*found) + "', expected '" +
               shown(value) + "' in " + shown(text);
      });
    }
  }
  // A key the string does not have gives nothing; "data source" is the one the
  // program asks for.
  for (const std::string& absent : {std::string("data source"), std::string("user id")}) {
    if (pairs.count(absent) == 0)
      require(!parsed.value(absent).has_value(),
              [&] { return "a value for absent key '" + absent + "' in " + shown(text); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto expected = referenceParse(text);

  std::optional<kestova::ConnectionString> parsed;
  try {
    parsed = kestova::ConnectionString::parse(text);
  } catch (const kestova::DatabaseError& error) {
    require(!expected, [&] {
      return "refused a well-formed string: " + shown(text) + " (" + error.what() + ")";
    });
    require(error.operation() == "Leer la cadena de conexión", "refusal names another operation");
    return 0;
  }
  require(expected.has_value(), [&] { return "accepted a malformed string: " + shown(text); });
  checkAgrees(*parsed, *expected, text);

  // Every value quoted, in both quote kinds, reads back the same: a value can
  // hold ';', '=', quotes and spaces.
  for (char quote : {'"', '\''}) {
    std::string again;
    for (const auto& [lowered, keyAndValue] : *expected) {
      again += keyAndValue.first + "=" + quote;
      for (char c : keyAndValue.second) {
        again += c;
        if (c == quote) again += quote;
      }
      again += quote;
      again += ';';
    }
    try {
      checkAgrees(kestova::ConnectionString::parse(again), *expected, again);
    } catch (const kestova::DatabaseError& error) {
      kestova::fuzz::fail("values written out again are refused: " + shown(again) + " (" +
                          error.what() + ")");
    }
  }
  return 0;
}
