#include "data/criteria.h"

#include <optional>

#include "data/database_error.h"
#include "data/text_rules.h"

namespace kestova {

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text, std::size_t pos = 0) : text_(text), pos_(pos) {}

  std::size_t position() const { return pos_; }

  // Reads a literal at the position into `value`; false, with `value`
  // unspecified, when there is none.
  bool tryLiteral(FieldValue& value) {
    if (atEnd() ||
        (peek() != '\'' && peek() != '-' && peek() != '+' && peek() != '.' && !isDigit(peek())))
      return false;
    try {
      value = literal();
      return true;
    } catch (const DatabaseError&) {
      return false;
    }
  }

  // `between`, when given, receives the text around the literals.
  std::vector<CriteriaTerm> parse(std::vector<std::string>* between = nullptr) {
    std::vector<CriteriaTerm> terms;
    terms.reserve(8);
    std::size_t afterLiteral = 0;
    auto cut = [&](std::size_t end) {
      if (between) between->emplace_back(text_.substr(afterLiteral, end - afterLiteral));
    };
    if (between) between->clear();
    skipSpaces();
    if (atEnd()) {
      cut(text_.size());
      return terms;
    }
    for (;;) {
      CriteriaTerm term;
      term.name = name();
      skipSpaces();
      expect('=');
      skipSpaces();
      cut(pos_);
      term.literal = literal();
      afterLiteral = pos_;
      terms.push_back(std::move(term));
      skipSpaces();
      if (atEnd()) {
        cut(text_.size());
        return terms;
      }
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

const std::vector<CriteriaTerm>& CriteriaReader::read(std::string_view text) {
  sameLayout_ = readLiterals(text);
  if (!sameLayout_) {
    between_.clear();  // a text refused leaves no layout to follow
    std::vector<std::string> between;
    terms_ = Parser(text).parse(&between);
    between_ = std::move(between);
  }
  return terms_;
}

bool CriteriaReader::readLiterals(std::string_view text) {
  // Each literal ends where the parser ends it: the text after it, the same
  // as before, starts with nothing a literal could go on with (the parse
  // before ended the literal there). So the same text around new literals
  // reads as the same terms with the new literals.
  if (between_.size() != terms_.size() + 1) return false;
  std::size_t pos = 0;
  for (std::size_t i = 0;; ++i) {
    if (text.substr(pos, between_[i].size()) != between_[i]) return false;
    pos += between_[i].size();
    if (i == terms_.size()) return pos == text.size();
    Parser literal(text, pos);
    if (!literal.tryLiteral(terms_[i].literal)) return false;
    pos = literal.position();
  }
}

}  // namespace kestova
