// Query syntax recognizers (see syntax.h).
//
// Both recognizers work on the query's UTF-8 bytes and report byte offsets,
// turned into code points at the end. Neither allocates per character: the
// CSS one tokenizes into one vector first, as cssselect does, and the XPath
// one reads tokens on demand.
#include "syntax.h"

#include <vector>

#include "base.h"
#include "lib.h"

namespace ls {

namespace {

// Thrown nowhere: a parse stops by returning false with `error` set.
struct Failure {
  std::optional<SyntaxError> error;
  bool too_deep = false;
  bool fail(size_t pos, std::string expected) {
    if (!error && !too_deep) error = SyntaxError{static_cast<uint32_t>(pos), std::move(expected)};
    return false;
  }
};

uint32_t code_points_before(std::string_view s, size_t pos) {
  uint32_t n = 0;
  for (size_t i = 0; i < pos && i < s.size(); ++i)
    if ((static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) ++n;
  return n;
}

bool ascii_iequal_word(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(static_cast<uint8_t>(a[i])) != static_cast<uint8_t>(lower[i])) return false;
  return true;
}

bool is_hex(uint8_t c) { return is_ascii_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// ---------------------------------------------------------------- CSS

enum class Tok : uint8_t { kIdent, kHash, kString, kNumber, kSpace, kDelim, kEof };

struct Token {
  Tok type;
  size_t pos;
  std::string_view text;  // the source text (for a delimiter: its one byte)
  bool delim(char c) const { return type == Tok::kDelim && text.size() == 1 && text[0] == c; }
};

// `text` in single quotes. Built by appending: GCC 12 misreads
// `"'" + std::string(...)` as an overlapping copy (-Wrestrict) once inlined.
std::string quoted(std::string_view text) {
  std::string out(1, '\'');
  out.append(text).push_back('\'');
  return out;
}

std::string describe(const Token& t) {
  switch (t.type) {
    case Tok::kIdent: return "identifier " + quoted(t.text);
    case Tok::kHash: return quoted(t.text);
    case Tok::kString: return "a string";
    case Tok::kNumber: return "number " + std::string(t.text);
    case Tok::kSpace: return "whitespace";
    case Tok::kDelim: return quoted(t.text);
    case Tok::kEof: return "the end of the query";
  }
  return "";
}

class CssTokenizer {
 public:
  explicit CssTokenizer(std::string_view s) : s_(s), n_(s.size()) {}

  // False with `f` set on an unclosed or invalid string.
  bool run(std::vector<Token>& out, Failure& f) {
    size_t pos = 0;
    while (pos < n_) {
      const size_t start = pos;
      if (size_t e = whitespace(pos)) {
        out.push_back({Tok::kSpace, start, s_.substr(start, e - start)});
        pos = e;
        continue;
      }
      if (size_t e = ident(pos)) {
        out.push_back({Tok::kIdent, start, s_.substr(start, e - start)});
        pos = e;
        continue;
      }
      if (s_[pos] == '#') {
        size_t e = pos + 1;
        while (size_t k = nmchar(e)) e += k;
        if (e > pos + 1) {
          out.push_back({Tok::kHash, start, s_.substr(start, e - start)});
          pos = e;
          continue;
        }
      }
      if (s_[pos] == '"' || s_[pos] == '\'') {
        const char quote = s_[pos];
        size_t e = pos + 1;
        while (e < n_) {
          const uint8_t c = static_cast<uint8_t>(s_[e]);
          if (c == static_cast<uint8_t>(quote) || c == '\n' || c == '\r' || c == '\f') break;
          if (c == '\\') {
            if (e + 1 < n_ && (s_[e + 1] == '\n' || s_[e + 1] == '\f')) {
              e += 2;
            } else if (e + 1 < n_ && s_[e + 1] == '\r') {
              e += (e + 2 < n_ && s_[e + 2] == '\n') ? 3 : 2;
            } else if (size_t k = escape(e)) {
              e += k;
            } else {
              break;
            }
            continue;
          }
          ++e;
        }
        if (e == n_) return f.fail(pos, "a closing quote (the string is not closed)");
        if (s_[e] != quote) return f.fail(pos, "a valid string (a newline or a lone backslash ends it)");
        out.push_back({Tok::kString, start, s_.substr(start, e + 1 - start)});
        pos = e + 1;
        continue;
      }
      if (size_t e = number(pos)) {
        out.push_back({Tok::kNumber, start, s_.substr(start, e - start)});
        pos = e;
        continue;
      }
      if (pos + 1 < n_ && s_[pos] == '/' && s_[pos + 1] == '*') {
        const size_t close = s_.find("*/", pos + 2);
        pos = close == std::string_view::npos ? n_ : close + 2;
        continue;
      }
      // One delimiter: a whole character (a non-ASCII one is an identifier
      // start, so only ASCII reaches here).
      out.push_back({Tok::kDelim, start, s_.substr(start, 1)});
      ++pos;
    }
    out.push_back({Tok::kEof, n_, {}});
    return true;
  }

 private:
  size_t whitespace(size_t p) const {
    size_t e = p;
    while (e < n_ && (s_[e] == ' ' || s_[e] == '\t' || s_[e] == '\r' || s_[e] == '\n' || s_[e] == '\f')) ++e;
    return e > p ? e : 0;
  }
  // Length of an escape at p, or 0.
  size_t escape(size_t p) const {
    if (p + 1 >= n_ || s_[p] != '\\') return 0;
    const uint8_t c = static_cast<uint8_t>(s_[p + 1]);
    if (is_hex(c)) {
      size_t e = p + 1;
      while (e < n_ && e < p + 7 && is_hex(static_cast<uint8_t>(s_[e]))) ++e;
      if (e + 1 < n_ && s_[e] == '\r' && s_[e + 1] == '\n') return e + 2 - p;
      if (e < n_ && (s_[e] == ' ' || s_[e] == '\n' || s_[e] == '\r' || s_[e] == '\t' || s_[e] == '\f'))
        return e + 1 - p;
      return e - p;
    }
    if (c == '\n' || c == '\r' || c == '\f') return 0;
    return 2;
  }
  size_t nmstart(size_t p) const {
    if (p >= n_) return 0;
    const uint8_t c = static_cast<uint8_t>(s_[p]);
    // Non-ASCII bytes, and NUL (which cssselect replaces by U+FFFD).
    if (c == '_' || is_ascii_alpha(c) || c >= 0x80 || c == 0) return 1;
    return escape(p);
  }
  size_t nmchar(size_t p) const {
    if (p < n_ && (is_ascii_digit(static_cast<uint8_t>(s_[p])) || s_[p] == '-')) return 1;
    return nmstart(p);
  }
  size_t ident(size_t p) const {
    size_t e = p;
    if (e < n_ && s_[e] == '-') ++e;
    const size_t k = nmstart(e);
    if (!k) return 0;
    e += k;
    while (size_t m = nmchar(e)) e += m;
    return e;
  }
  size_t number(size_t p) const {
    size_t e = p;
    if (e < n_ && (s_[e] == '+' || s_[e] == '-')) ++e;
    const size_t digits = e;
    while (e < n_ && is_ascii_digit(static_cast<uint8_t>(s_[e]))) ++e;
    if (e + 1 < n_ && s_[e] == '.' && is_ascii_digit(static_cast<uint8_t>(s_[e + 1]))) {
      ++e;
      while (e < n_ && is_ascii_digit(static_cast<uint8_t>(s_[e]))) ++e;
      return e;
    }
    return e > digits ? e : 0;
  }

  std::string_view s_;
  size_t n_;
};

// The parser of cssselect (parse_selector_group and below), recognizing
// only. Restrictions cssselect adds to the grammar itself (no :not() nested
// or inside :is(), :scope first) are not syntax and are not checked.
class CssParser {
 public:
  CssParser(const std::vector<Token>& t, Failure& f) : t_(t), f_(f) {}

  bool group() {
    skip_space();
    for (;;) {
      if (!selector()) return false;
      if (!peek().delim(',')) break;
      next();
      skip_space();
    }
    // parse_selector stops only at the end or at a comma.
    return true;
  }

 private:
  const Token& peek() const { return t_[i_]; }
  const Token& next() {
    const Token& t = t_[i_];
    if (i_ + 1 < t_.size()) ++i_;
    ++used_;
    return t;
  }
  void skip_space() {
    while (peek().type == Tok::kSpace) next();
  }
  bool expected(const Token& at, const std::string& what) { return f_.fail(at.pos, what + ", got " + describe(at)); }
  bool combinator(const Token& t) const { return t.delim('+') || t.delim('>') || t.delim('~'); }

  bool selector() {
    bool pseudo = false;
    if (!simple(false, false, pseudo)) return false;
    for (;;) {
      skip_space();
      const Token& p = peek();
      if (p.type == Tok::kEof || p.delim(',')) return true;
      if (pseudo) return f_.fail(p.pos, "the end of the selector after its pseudo-element, got " + describe(p));
      if (combinator(p)) {
        next();
        skip_space();
      }
      if (!simple(false, false, pseudo)) return false;
    }
  }

  bool ident_or_star(const char* context) {
    const Token& t = next();
    if (t.type == Tok::kIdent || t.delim('*')) return true;
    return expected(t, context);
  }

  bool simple(bool inside_negation, bool inside_list, bool& pseudo) {
    if (++depth_ > kMaxSyntaxDepth) {
      f_.too_deep = true;
      return false;
    }
    skip_space();
    const size_t start = used_;
    if (peek().type == Tok::kIdent || peek().delim('*')) {
      next();
      if (peek().delim('|')) {
        next();
        if (!ident_or_star("an identifier or '*'")) return false;
      }
    }
    pseudo = false;
    for (;;) {
      const Token& p = peek();
      if (p.type == Tok::kSpace || p.type == Tok::kEof || p.delim(',') || combinator(p) || p.delim(')')) break;
      if (pseudo) return f_.fail(p.pos, "the end of the selector after its pseudo-element, got " + describe(p));
      if (p.type == Tok::kHash) {
        next();
      } else if (p.delim('.')) {
        next();
        const Token& name = next();
        if (name.type != Tok::kIdent) return expected(name, "an identifier");
      } else if (p.delim('|')) {
        if (used_ != start) return expected(p, "a selector");
        next();
        if (!ident_or_star("an identifier or '*'")) return false;
      } else if (p.delim('[')) {
        next();
        if (!attrib()) return false;
      } else if (p.delim(':')) {
        next();
        if (peek().delim(':')) {
          next();
          const Token& name = next();
          if (name.type != Tok::kIdent) return expected(name, "an identifier");
          if (peek().delim('(')) {
            next();
            if (!arguments()) return false;
          }
          pseudo = true;
          continue;
        }
        const Token& name = next();
        if (name.type != Tok::kIdent) return expected(name, "an identifier");
        const std::string_view id = name.text;
        if (ascii_iequal_word(id, "first-line") || ascii_iequal_word(id, "first-letter") ||
            ascii_iequal_word(id, "before") || ascii_iequal_word(id, "after")) {
          pseudo = true;
          continue;
        }
        if (!peek().delim('(')) continue;
        next();
        skip_space();
        if (ascii_iequal_word(id, "not")) {
          if (!negation()) return false;
        } else if (ascii_iequal_word(id, "has")) {
          if (!relative_list()) return false;
        } else if (ascii_iequal_word(id, "matches") || ascii_iequal_word(id, "is") || ascii_iequal_word(id, "where")) {
          if (!simple_list()) return false;
        } else if (!arguments()) {
          return false;
        }
      } else {
        return expected(p, "a selector");
      }
    }
    (void)inside_negation;
    (void)inside_list;
    --depth_;
    if (used_ == start) return expected(peek(), "a selector");
    return true;
  }

  bool negation() {
    bool pseudo = false;
    if (!simple(true, false, pseudo)) return false;
    for (;;) {
      skip_space();
      const Token& p = peek();
      if (pseudo) return f_.fail(p.pos, "')' after a pseudo-element inside :not(), got " + describe(p));
      if (p.delim(')')) {
        next();
        return true;
      }
      if (combinator(p)) {
        next();
        skip_space();
      } else if (p.type == Tok::kEof || p.delim(',')) {
        return expected(p, "')'");
      }
      if (!simple(true, false, pseudo)) return false;
    }
  }

  bool relative_list() {
    for (;;) {
      skip_space();
      if (combinator(peek())) {
        next();
        skip_space();
      }
      bool pseudo = false;
      if (!simple(false, false, pseudo)) return false;
      for (;;) {
        skip_space();
        const Token& p = peek();
        if (pseudo) return f_.fail(p.pos, "no pseudo-element inside a function, got one before " + describe(p));
        if (p.delim(',') || p.delim(')')) break;
        if (p.type == Tok::kEof) return expected(p, "')'");
        if (combinator(p)) {
          next();
          skip_space();
        }
        if (!simple(false, false, pseudo)) return false;
      }
      if (next().delim(')')) return true;
    }
  }

  bool simple_list() {
    for (;;) {
      bool pseudo = false;
      if (!simple(false, true, pseudo)) return false;
      if (pseudo) return f_.fail(peek().pos, "no pseudo-element inside a function");
      skip_space();
      const Token& t = next();
      if (t.delim(',')) {
        skip_space();
        continue;
      }
      if (t.delim(')')) return true;
      return expected(t, "an argument");
    }
  }

  bool arguments() {
    for (;;) {
      skip_space();
      const Token& t = next();
      if (t.type == Tok::kIdent || t.type == Tok::kString || t.type == Tok::kNumber || t.delim('+') || t.delim('-'))
        continue;
      if (t.delim(')')) return true;
      return expected(t, "an argument or ')'");
    }
  }

  bool attrib() {
    skip_space();
    bool op = false;
    if (peek().delim('|')) {
      next();
      const Token& name = next();
      if (name.type != Tok::kIdent) return expected(name, "an attribute name");
    } else {
      const Token& name = next();
      const bool star = name.delim('*');
      if (name.type != Tok::kIdent && !star) return expected(name, "an attribute name");
      if (star && !peek().delim('|')) return expected(peek(), "'|'");
      if (peek().delim('|')) {
        next();
        if (peek().delim('=')) {
          next();
          op = true;
        } else {
          const Token& local = next();
          if (local.type != Tok::kIdent) return expected(local, "an attribute name");
        }
      }
    }
    if (!op) {
      skip_space();
      const Token& t = next();
      if (t.delim(']')) return true;
      if (!t.delim('=')) {
        const bool prefix = t.delim('^') || t.delim('$') || t.delim('*') || t.delim('~') || t.delim('|') || t.delim('!');
        if (!prefix || !peek().delim('=')) return expected(t, "']' or an operator (=, ~=, |=, ^=, $=, *=, !=)");
        next();
      }
    }
    skip_space();
    const Token& value = next();
    if (value.type != Tok::kIdent && value.type != Tok::kString) return expected(value, "a string or an identifier");
    skip_space();
    const Token* t = &next();
    if (t->type == Tok::kIdent) {
      if (!ascii_iequal_word(t->text, "i") && !ascii_iequal_word(t->text, "s")) return expected(*t, "']'");
      skip_space();
      t = &next();
    }
    if (!t->delim(']')) return expected(*t, "']'");
    return true;
  }

  const std::vector<Token>& t_;
  Failure& f_;
  size_t i_ = 0;
  size_t used_ = 0;
  uint32_t depth_ = 0;
};

// ---------------------------------------------------------------- XPath

bool xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool name_start(uint8_t c) { return c == '_' || is_ascii_alpha(c) || c >= 0x80; }
bool name_char(uint8_t c) { return name_start(c) || is_ascii_digit(c) || c == '-' || c == '.'; }

constexpr std::string_view kAxes[] = {
    "ancestor",  "ancestor-or-self",  "attribute", "child",     "descendant", "descendant-or-self", "following",
    "following-sibling", "namespace", "parent",    "preceding", "preceding-sibling", "self",
};

// A recursive-descent recognizer of the XPath 1.0 grammar. The context of
// the descent settles the lexical ambiguities of XPath 1.0's lexical
// structure (its section 3.7): after an operand, `*` multiplies and a name is an operator
// name; in a step they are name tests.
class XPathParser {
 public:
  XPathParser(std::string_view s, Failure& f) : s_(s), f_(f) {}

  bool whole() {
    if (!expr()) return false;
    space();
    if (p_ < s_.size()) return f_.fail(p_, "an operator or the end of the expression, got " + here());
    return true;
  }

 private:
  void space() {
    while (p_ < s_.size() && xml_space(s_[p_])) ++p_;
  }
  bool at(std::string_view t) {
    space();
    return s_.substr(p_, t.size()) == t;
  }
  bool eat(std::string_view t) {
    if (!at(t)) return false;
    p_ += t.size();
    return true;
  }
  std::string here() const {
    if (p_ >= s_.size()) return "the end of the expression";
    size_t e = p_ + 1;
    while (e < s_.size() && (static_cast<uint8_t>(s_[e]) & 0xC0) == 0x80) ++e;
    return quoted(s_.substr(p_, e - p_));
  }
  bool expected(const std::string& what) {
    space();
    return f_.fail(p_, what + ", got " + here());
  }
  // An NCName at p (no skipping), its length or 0.
  size_t ncname(size_t p) const {
    if (p >= s_.size() || !name_start(static_cast<uint8_t>(s_[p]))) return 0;
    size_t e = p + 1;
    while (e < s_.size() && name_char(static_cast<uint8_t>(s_[e]))) ++e;
    return e - p;
  }
  // The next non-space position after q.
  size_t skip_from(size_t q) const {
    while (q < s_.size() && xml_space(s_[q])) ++q;
    return q;
  }
  bool enter() {
    if (++depth_ > kMaxSyntaxDepth) {
      f_.too_deep = true;
      return false;
    }
    return true;
  }

  bool expr() {
    if (!enter()) return false;
    if (!binary(0)) return false;
    --depth_;
    return true;
  }

  // Levels: or, and, equality, relational, additive, multiplicative.
  bool binary(int level) {
    if (level == 6) return unary();
    if (!binary(level + 1)) return false;
    for (;;) {
      if (!binary_operator(level)) return true;
      if (!binary(level + 1)) return false;
    }
  }
  bool operator_name(std::string_view name) {
    space();
    const size_t n = ncname(p_);
    if (n != name.size() || s_.substr(p_, n) != name) return false;
    p_ += n;
    return true;
  }
  bool binary_operator(int level) {
    space();
    switch (level) {
      case 0: return operator_name("or");
      case 1: return operator_name("and");
      case 2: return eat("=") || eat("!=");
      case 3: return eat("<=") || eat(">=") || eat("<") || eat(">");
      case 4: return eat("+") || eat("-");
      case 5: return eat("*") || operator_name("div") || operator_name("mod");
    }
    return false;
  }

  bool unary() {
    while (eat("-")) {
    }
    if (!path()) return false;
    while (eat("|"))
      if (!path()) return false;
    return true;
  }

  bool step_start() {
    space();
    if (p_ >= s_.size()) return false;
    const uint8_t c = static_cast<uint8_t>(s_[p_]);
    if (c == '.' && !(p_ + 1 < s_.size() && is_ascii_digit(static_cast<uint8_t>(s_[p_ + 1])))) return true;
    return c == '@' || c == '*' || name_start(c);
  }

  // A name at p_ that opens a function call (not a node type, not an axis).
  bool function_call_ahead() {
    space();
    size_t n = ncname(p_);
    if (!n) return false;
    size_t e = p_ + n;
    if (e + 1 < s_.size() && s_[e] == ':' && s_[e + 1] != ':') {
      const size_t local = ncname(e + 1);
      if (!local) return false;  // `ns:*` is a name test
      e += 1 + local;
    }
    const size_t after = skip_from(e);
    if (after >= s_.size() || s_[after] != '(') return false;
    const std::string_view name = s_.substr(p_, e - p_);
    return !(name == "comment" || name == "text" || name == "node" || name == "processing-instruction");
  }

  // A run of `/` between steps, as libxml2 reads it: `//`, and also `///`
  // or `/ /` (whitespace between them), which it accepts as `//`.
  size_t slashes() {
    size_t n = 0;
    while (at("/")) {
      ++p_;
      ++n;
    }
    return n;
  }

  bool path() {
    space();
    if (const size_t n = slashes()) {
      if (n >= 2) return relative();
      if (step_start()) return relative();
      return true;
    }
    const bool primary_start = p_ < s_.size() &&
                               (s_[p_] == '$' || s_[p_] == '(' || s_[p_] == '"' || s_[p_] == '\'' ||
                                is_ascii_digit(static_cast<uint8_t>(s_[p_])) ||
                                (s_[p_] == '.' && p_ + 1 < s_.size() && is_ascii_digit(static_cast<uint8_t>(s_[p_ + 1])))) ;
    if (primary_start || function_call_ahead()) {
      if (!primary()) return false;
      while (at("["))
        if (!predicate()) return false;
      if (slashes()) return relative();
      return true;
    }
    if (!step_start()) return expected("an expression or a location path");
    return relative();
  }

  bool relative() {
    if (!step()) return false;
    while (slashes())
      if (!step()) return false;
    return true;
  }

  bool step() {
    space();
    if (eat("..")) return true;
    if (p_ < s_.size() && s_[p_] == '.' && !(p_ + 1 < s_.size() && is_ascii_digit(static_cast<uint8_t>(s_[p_ + 1])))) {
      ++p_;
      return true;
    }
    if (eat("@")) {
      if (!node_test()) return false;
    } else {
      const size_t n = ncname(p_);
      const size_t after = n ? skip_from(p_ + n) : p_;
      if (n && s_.substr(after, 2) == "::") {
        const std::string_view axis = s_.substr(p_, n);
        bool known = false;
        for (std::string_view a : kAxes) known = known || a == axis;
        if (!known) return expected("an axis name (child, descendant, parent, attribute, ...)");
        p_ = after + 2;
      }
      if (!node_test()) return false;
    }
    while (at("["))
      if (!predicate()) return false;
    return true;
  }

  bool node_test() {
    space();
    if (eat("*")) return true;
    const size_t n = ncname(p_);
    if (!n) return expected("a node test (a name, '*', text(), node(), comment() or processing-instruction())");
    const std::string_view name = s_.substr(p_, n);
    p_ += n;
    if (p_ + 1 < s_.size() && s_[p_] == ':' && s_[p_ + 1] != ':') {
      ++p_;
      if (p_ < s_.size() && s_[p_] == '*') {
        ++p_;
        return true;
      }
      const size_t local = ncname(p_);
      if (!local) return expected("a local name or '*' after the prefix");
      p_ += local;
      return true;
    }
    const bool type = name == "comment" || name == "text" || name == "node" || name == "processing-instruction";
    if (type && at("(")) {
      ++p_;
      if (name == "processing-instruction" && (at("\"") || at("'"))) {
        if (!literal()) return false;
      }
      if (!eat(")")) return expected("')'");
    }
    return true;
  }

  bool predicate() {
    eat("[");
    if (!expr()) return false;
    if (!eat("]")) return expected("']'");
    return true;
  }

  bool literal() {
    space();
    const char q = s_[p_];
    const size_t close = s_.find(q, p_ + 1);
    if (close == std::string_view::npos) return f_.fail(p_, "a closing quote (the literal is not closed)");
    p_ = close + 1;
    return true;
  }

  bool primary() {
    space();
    const char c = s_[p_];
    if (c == '$') {
      ++p_;
      const size_t n = ncname(p_);
      if (!n) return expected("a variable name");
      p_ += n;
      if (p_ + 1 < s_.size() && s_[p_] == ':' && ncname(p_ + 1)) p_ += 1 + ncname(p_ + 1);
      return true;
    }
    if (c == '(') {
      ++p_;
      if (!expr()) return false;
      if (!eat(")")) return expected("')'");
      return true;
    }
    if (c == '"' || c == '\'') return literal();
    if (is_ascii_digit(static_cast<uint8_t>(c)) || c == '.') {
      while (p_ < s_.size() && is_ascii_digit(static_cast<uint8_t>(s_[p_]))) ++p_;
      if (p_ < s_.size() && s_[p_] == '.') {
        ++p_;
        while (p_ < s_.size() && is_ascii_digit(static_cast<uint8_t>(s_[p_]))) ++p_;
      }
      return true;
    }
    // A function call (function_call_ahead said so).
    p_ += ncname(p_);
    if (p_ + 1 < s_.size() && s_[p_] == ':') p_ += 1 + ncname(p_ + 1);
    eat("(");
    if (eat(")")) return true;
    for (;;) {
      if (!expr()) return false;
      if (eat(")")) return true;
      if (!eat(",")) return expected("',' or ')'");
    }
  }

  std::string_view s_;
  Failure& f_;
  size_t p_ = 0;
  uint32_t depth_ = 0;
};

std::optional<SyntaxError> finish(std::string_view query, Failure& f, size_t offset) {
  if (f.too_deep || !f.error) return std::nullopt;
  SyntaxError e = *f.error;
  e.position = code_points_before(query, offset + e.position);
  return e;
}

}  // namespace

std::optional<SyntaxError> css_syntax_error(std::string_view query) {
  Failure f;
  std::vector<Token> tokens;
  if (CssTokenizer(query).run(tokens, f)) CssParser(tokens, f).group();
  return finish(query, f, 0);
}

std::optional<SyntaxError> xpath_syntax_error(std::string_view query) {
  Failure f;
  if (query.find_first_not_of(" \t\r\n") == std::string_view::npos)
    f.fail(query.size(), "an expression, got the end of the expression");
  else
    XPathParser(query, f).whole();
  return finish(query, f, 0);
}

std::optional<SyntaxError> query_syntax_error(std::string_view query) {
  if (!compile_query(query).empty()) return std::nullopt;
  const Bytes t = trim_unicode_whitespace(query);
  if (!routes_to_xpath(t)) {
    // Routed as CSS, but XPath that is merely written without its leading
    // `/` (`following-sibling::p`, `count(//li)`) is unsupported, not malformed.
    std::optional<SyntaxError> css = css_syntax_error(query);
    if (css && !xpath_syntax_error(t)) return std::nullopt;
    return css;
  }
  std::optional<SyntaxError> e = xpath_syntax_error(t);
  if (e) e->position += code_points_before(query, static_cast<size_t>(t.data() - query.data()));
  return e;
}

std::optional<SyntaxError> sub_field_syntax_error(std::string_view field) {
  if (compile_sub(field)) return std::nullopt;
  const Bytes t = trim_unicode_whitespace(field);
  if (t == "." || t == "text()" || t.starts_with("@")) {
    std::optional<SyntaxError> e = xpath_syntax_error(t);
    if (e) e->position += code_points_before(field, static_cast<size_t>(t.data() - field.data()));
    return e;
  }
  return query_syntax_error(field);
}

}  // namespace ls
