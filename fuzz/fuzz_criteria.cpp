// Fuzz target for the filter criteria parser, parseCriteria(). Beyond crashes
// and undefined behaviour it checks what the rest of the program relies on:
// the parser accepts exactly the grammar criteria.h describes (compared with a
// second reading of that grammar written another way: tokens first, then the
// term sequence), it gives the same terms as that reading, accepted terms
// written out again parse to the same terms, nothing outside quotes can act as
// an operator, and every literal can be matched by the key index.

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "criteria.h"
#include "database_error.h"
#include "fuzz_support.h"
#include "key_index.h"

namespace {

using kestova::CriteriaTerm;
using kestova::FieldValue;
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

bool equalsIgnoringCase(std::string_view word, std::string_view lowerCase) {
  if (word.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lowerCase[i]) return false;
  }
  return true;
}

// The value of a number token, worked out without from_chars (which the parser
// uses): whole numbers by hand, the rest by strtod. Empty when out of range.
std::optional<FieldValue> numberValue(const std::string& spelling) {
  std::string_view digits = spelling;
  bool negative = false;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.find('.') == std::string_view::npos) {
    // The magnitude may reach 2^63 when negative.
    const std::uint64_t limit =
        negative ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(INT64_MAX);
    std::uint64_t magnitude = 0;
    bool fits = true;
    for (char c : digits) {
      const auto d = static_cast<std::uint64_t>(c - '0');
      if (magnitude > (limit - d) / 10) {
        fits = false;
        break;
      }
      magnitude = magnitude * 10 + d;
    }
    if (fits) {
      if (!negative) return FieldValue(static_cast<std::int64_t>(magnitude));
      if (magnitude == std::uint64_t{1} << 63) return FieldValue(INT64_MIN);
      return FieldValue(-static_cast<std::int64_t>(magnitude));
    }
  }
  const std::string text(spelling.front() == '+' ? spelling.substr(1) : spelling);
  const double real = std::strtod(text.c_str(), nullptr);
  // A literal that rounds to zero from non-zero digits, or to infinity, is out
  // of range; anything strtod can hold, subnormal or not, is a value.
  const bool nonZeroDigit = text.find_first_of("123456789") != std::string::npos;
  if (!std::isfinite(real) || (real == 0 && nonZeroDigit)) return std::nullopt;
  return FieldValue(real);
}

enum class Kind { Name, Equals, Number, Text };

struct Token {
  Kind kind;
  std::string text;  // a name, a number's spelling, a text's content
};

// The grammar's tokens; empty when some text is no token.
std::optional<std::vector<Token>> tokenize(std::string_view s) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == ' ' || c == '\t') {
      ++i;
    } else if (c == '=') {
      tokens.push_back({Kind::Equals, "="});
      ++i;
    } else if (isLetter(c)) {
      const std::size_t begin = i;
      while (i < s.size() && isWordChar(s[i])) ++i;
      tokens.push_back({Kind::Name, std::string(s.substr(begin, i - begin))});
    } else if (c == '\'') {
      std::string content;
      for (++i;; ++i) {
        if (i >= s.size()) return std::nullopt;
        if (s[i] == '\'') {
          if (i + 1 < s.size() && s[i + 1] == '\'') {
            content += '\'';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        content += s[i];
      }
      tokens.push_back({Kind::Text, std::move(content)});
    } else if (isDigit(c) || c == '+' || c == '-') {
      const std::size_t begin = i;
      if (!isDigit(c)) ++i;
      const std::size_t digits = i;
      while (i < s.size() && isDigit(s[i])) ++i;
      if (i == digits) return std::nullopt;
      if (i < s.size() && s[i] == '.') {
        const std::size_t fraction = ++i;
        while (i < s.size() && isDigit(s[i])) ++i;
        if (i == fraction) return std::nullopt;
      }
      // "12abc" is one malformed word, not a number and a name.
      if (i < s.size() && isWordChar(s[i])) return std::nullopt;
      tokens.push_back({Kind::Number, std::string(s.substr(begin, i - begin))});
    } else {
      return std::nullopt;
    }
  }
  return tokens;
}

// name '=' literal ('and' name '=' literal)*, or nothing at all.
std::optional<std::vector<CriteriaTerm>> referenceParse(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens) return std::nullopt;
  std::vector<CriteriaTerm> terms;
  std::size_t t = 0;
  while (t < tokens->size()) {
    if (t > 0) {
      if ((*tokens)[t].kind != Kind::Name || !equalsIgnoringCase((*tokens)[t].text, "and"))
        return std::nullopt;
      ++t;
    }
    if (t + 3 > tokens->size()) return std::nullopt;
    const Token& name = (*tokens)[t];
    const Token& equals = (*tokens)[t + 1];
    const Token& literal = (*tokens)[t + 2];
    if (name.kind != Kind::Name || equals.kind != Kind::Equals) return std::nullopt;
    CriteriaTerm term;
    term.name = name.text;
    if (literal.kind == Kind::Text) {
      term.literal = literal.text;
    } else if (literal.kind == Kind::Number) {
      auto value = numberValue(literal.text);
      if (!value) return std::nullopt;
      term.literal = *value;
    } else {
      return std::nullopt;
    }
    terms.push_back(std::move(term));
    t += 3;
  }
  // The loop ends only after a whole term, so a trailing "and" was refused.
  return terms;
}

std::string literalText(const FieldValue& value) {
  if (auto* whole = std::get_if<std::int64_t>(&value)) return std::to_string(*whole);
  if (auto* real = std::get_if<double>(&value)) {
    // Fixed notation is the only one the grammar has; the shortest fixed form
    // reads back as the same double. A point keeps it a real number.
    char buffer[512];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, *real, std::chars_format::fixed);
    require(result.ec == std::errc(), "to_chars failed on an accepted literal");
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  std::string quoted = "'";
  for (char c : std::get<std::string>(value)) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

std::string writeTerms(const std::vector<CriteriaTerm>& terms, std::string_view equals,
                       std::string_view joiner) {
  std::string text;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i > 0) text += joiner;
    text += terms[i].name;
    text += equals;
    text += literalText(terms[i].literal);
  }
  return text;
}

bool sameTerms(const std::vector<CriteriaTerm>& a, const std::vector<CriteriaTerm>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].literal != b[i].literal) return false;
  }
  return true;
}

// Outside quotes an accepted text holds only names, numbers, '=', spaces and
// tabs, and the words `or` and `not` only where a field name stands, before
// '='. So no text the parser takes can be read as `x = 1 or 1 = 1`, whatever
// a later reader of the same text makes of it.
void checkNothingOutsideQuotesActs(std::string_view text) {
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      quoted = !quoted;  // '' inside a text closes and opens again
      continue;
    }
    if (quoted) continue;
    require(
        isWordChar(c) || c == ' ' || c == '\t' || c == '=' || c == '.' || c == '+' || c == '-',
        [&] { return "accepted text has an operator character outside quotes: " + shown(text); });
    if (isLetter(c) && (i == 0 || !isWordChar(text[i - 1]))) {
      std::size_t end = i;
      while (end < text.size() && isWordChar(text[end])) ++end;
      const std::string_view word = text.substr(i, end - i);
      if (equalsIgnoringCase(word, "or") || equalsIgnoringCase(word, "not")) {
        std::size_t after = end;
        while (after < text.size() && (text[after] == ' ' || text[after] == '\t')) ++after;
        require(after < text.size() && text[after] == '=', [&] {
          return "accepted text uses '" + std::string(word) + "' as an operator: " + shown(text);
        });
      }
    }
  }
  require(!quoted, [&] { return "accepted text ends inside quotes: " + shown(text); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto expected = referenceParse(text);

  std::vector<CriteriaTerm> terms;
  try {
    terms = kestova::parseCriteria(text);
  } catch (const kestova::DatabaseError& error) {
    require(!expected, [&] {
      return "refused a text the grammar allows: " + shown(text) + " (" + error.what() + ")";
    });
    require(error.operation() == "Filtrar", "refusal names another operation");
    std::string object(text.substr(0, 120));
    if (text.size() > 120) object += "...";
    require(error.object() == object, "refusal does not show the text it refused");
    // The message ends with the 1-based position of the first thing that does not fit.
    const std::string& message = error.message();
    const std::size_t at = message.rfind("posición ");
    require(at != std::string::npos, [&] { return "refusal gives no position: " + message; });
    const std::string number = message.substr(at + std::string_view("posición ").size());
    std::size_t position = 0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), position);
    require(ec == std::errc() && end == number.data() + number.size() && position >= 1 &&
                position <= size + 1,
            [&] { return "refusal gives a position outside the text: " + message; });
    return 0;
  }

  require(expected.has_value(),
          [&] { return "accepted a text the grammar refuses: " + shown(text); });
  require(sameTerms(terms, *expected),
          [&] { return "terms differ from the grammar's reading: " + shown(text); });
  checkNothingOutsideQuotesActs(text);

  for (const CriteriaTerm& term : terms) {
    require(!term.name.empty() && isLetter(term.name.front()), "a term has no proper name");
    require(!kestova::isNull(term.literal) && !std::holds_alternative<kestova::Blob>(term.literal),
            "a literal is Null or a blob");
    if (auto* real = std::get_if<double>(&term.literal))
      require(std::isfinite(*real), "a real literal is not finite");
    // setFilter() builds the key of every literal; one it cannot key would match nothing.
    std::string key;
    require(kestova::appendKeyPart(key, term.literal), "a literal has no key");
  }

  // Written out again, in two spellings, the terms read back unchanged.
  for (auto [equals, joiner] :
       {std::pair<std::string_view, std::string_view>{" = ", " and "}, {"=", "\tAnD\t"}}) {
    const std::string again = writeTerms(terms, equals, joiner);
    std::vector<CriteriaTerm> reread;
    try {
      reread = kestova::parseCriteria(again);
    } catch (const kestova::DatabaseError& error) {
      kestova::fuzz::fail("terms written out are refused: " + shown(again) + " (" + error.what() +
                          ")");
    }
    require(sameTerms(terms, reread),
            [&] { return "terms written out read back differently: " + shown(again); });
  }
  return 0;
}
