#include "criteria.h"

#include <optional>

#include "database_error.h"
#include "text_rules.h"

namespace kestova {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::vector<CriteriaTerm> parse() {
    std::vector<CriteriaTerm> terms;
    terms.reserve(8);
    skipSpaces();
    if (atEnd()) return terms;
    for (;;) {
      CriteriaTerm term;
      term.name = name();
      skipSpaces();
      expect('=');
      skipSpaces();
      term.literal = literal();
      terms.push_back(std::move(term));
      skipSpaces();
      if (atEnd()) return terms;
      expectAnd();
      skipSpaces();
    }
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }
  // ASCII only, whatever the locale: criteria are parsed once per source row.
  static bool isDigit(char c) { return c >= '0' && c <= '9'; }
  static bool isNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  }
  static bool isNameChar(char c) { return isNameStart(c) || isDigit(c); }

  [[noreturn]] void fail(const std::string& what) const {
    constexpr std::size_t kShown = 120;
    std::string shown(text_.substr(0, kShown));
    if (text_.size() > kShown) shown += "...";
    throw DatabaseError("Filtrar", shown, what + " en la posición " + std::to_string(pos_ + 1));
  }

  void skipSpaces() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t')) ++pos_;
  }

  void expect(char c) {
    if (peek() != c) fail(std::string("se esperaba '") + c + "'");
    ++pos_;
  }

  std::string name() {
    if (!isNameStart(peek())) fail("se esperaba un nombre de campo");
    std::size_t start = pos_;
    while (!atEnd() && isNameChar(peek())) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  void expectAnd() {
    std::size_t start = pos_;
    while (!atEnd() && isNameChar(peek())) ++pos_;
    if (!sameName(text_.substr(start, pos_ - start), "and")) {
      pos_ = start;
      fail("se esperaba 'and'");
    }
    if (!atEnd() && peek() != ' ' && peek() != '\t')
      fail("se esperaba un espacio después de 'and'");
  }

  FieldValue literal() {
    if (peek() == '\'') return text();
    return number();
  }

  FieldValue text() {
    ++pos_;
    std::string value;
    for (;;) {
      if (atEnd()) fail("texto sin comilla de cierre");
      char c = text_[pos_++];
      if (c == '\'') {
        if (peek() != '\'') return value;
        ++pos_;
      }
      value += c;
    }
  }

  // The token runs over the characters a number may hold; whether they form
  // one is the number literal rule's to say.
  FieldValue number() {
    std::size_t start = pos_;
    if (peek() == '-' || peek() == '+') ++pos_;
    while (isDigit(peek()) || peek() == '.') ++pos_;
    if (isNameChar(peek())) fail("número mal formado");
    std::string_view token = text_.substr(start, pos_ - start);
    std::optional<FieldValue> value = parseNumberLiteral(token);
    if (!value) {
      pos_ = start;
      fail(token.empty() ? "se esperaba un número o un texto entre comillas"
                         : "número mal formado o fuera de rango");
    }
    return *value;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<CriteriaTerm> parseCriteria(std::string_view text) {
  return Parser(text).parse();
}

}  // namespace kestova
