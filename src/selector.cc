// CSS selector parser.
//
// Input: one query string (UTF-8; invalid sequences are read as U+FFFD where
// a name is taken). Output: one Selector per comma-group member, or the empty
// list when anything in the query is outside the subset: tag / *, .class,
// #id, attribute selectors with the seven operators and the i / s flags, the
// four combinators, the structural pseudo-classes, :not(), :is() / :where(),
// :has(), :contains(), and the ::text / ::attr(name) value suffixes.
//
// Invariants: failures are silent (the whole query yields nothing); nesting
// through :not / :is / :where / :has is bounded by kMaxSelectorDepth, so the
// recursion depth never depends on the input beyond that; every compound the
// parser returns satisfies the selector model's invariants.
//
// Whitespace inside the syntax is the five ASCII characters; the ends of a
// member or an argument are trimmed by the Unicode White_Space property.
#include "selector.h"

#include <algorithm>
#include <cstring>

#include "base.h"
#include "whatwg/decode.h"

namespace ls {

namespace {

using std::string_view;

inline uint8_t byte_at(string_view t, size_t i) { return static_cast<uint8_t>(t[i]); }
inline bool is_ws(uint8_t c) { return is_ascii_whitespace(c); }
inline bool is_hex(uint8_t c) {
  return is_ascii_digit(c) || (static_cast<uint8_t>((c | 0x20) - 'a') < 6);
}
inline bool is_comb_char(uint8_t c) { return c == '>' || c == '+' || c == '~'; }

// Length of the UTF-8 sequence a lead byte announces (1 for stray bytes).
inline size_t utf8_len(uint8_t c) {
  if (c < 0xC0) return 1;
  if (c < 0xE0) return 2;
  if (c < 0xF0) return 3;
  if (c < 0xF8) return 4;
  return 1;
}

// The position after the escape whose backslash is at i: up to six hex
// digits and one whitespace (CR LF counts as one), or one whole character.
size_t skip_escape(string_view t, size_t i) {
  const size_t n = t.size();
  size_t p = i + 1;
  if (p >= n) return n;
  if (is_hex(byte_at(t, p))) {
    size_t end = std::min(n, p + 6);
    while (p < end && is_hex(byte_at(t, p))) ++p;
    if (p < n && byte_at(t, p) == '\r' && p + 1 < n && byte_at(t, p + 1) == '\n') return p + 2;
    if (p < n && is_ws(byte_at(t, p))) return p + 1;
    return p;
  }
  return std::min(n, p + utf8_len(byte_at(t, p)));
}

// Scans `t` with the quote, escape and nesting rules of the selector syntax,
// calling `at(i, depth)` for every byte outside quotes and escapes; a true
// return stops the scan at i. Returns the stop position or t.size().
template <class F>
size_t scan_top(string_view t, F&& at) {
  int depth = 0;
  uint8_t quote = 0;
  size_t i = 0;
  while (i < t.size()) {
    uint8_t c = byte_at(t, i);
    if (c == '\\') {
      i = skip_escape(t, i);
      continue;
    }
    if (quote) {
      if (c == quote) quote = 0;
      ++i;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '(' || c == '[') {
      ++depth;
    } else if (c == ')' || c == ']') {
      --depth;
    } else if (at(i, depth)) {
      return i;
    }
    ++i;
  }
  return t.size();
}

// Number of backslashes directly before position i.
size_t backslashes_before(string_view t, size_t i) {
  size_t k = 0;
  while (k < i && t[i - 1 - k] == '\\') ++k;
  return k;
}

bool valid_utf8(string_view t) { return whatwg::utf8_is_valid(t); }

// Decodes one code point of valid UTF-8 at i.
uint32_t code_point_at(string_view t, size_t i, size_t* len) {
  uint8_t c = byte_at(t, i);
  size_t l = utf8_len(c);
  if (l == 1 || i + l > t.size()) {
    *len = 1;
    return c;
  }
  uint32_t cp = l == 2 ? (c & 0x1F) : l == 3 ? (c & 0x0F) : (c & 0x07);
  for (size_t k = 1; k < l; ++k) cp = (cp << 6) | (byte_at(t, i + k) & 0x3F);
  *len = l;
  return cp;
}

// "Not exactly '-', and the first character after one optional leading '-'
// is neither '-' nor an ASCII digit."
bool name_start_ok(string_view raw) {
  if (raw.empty() || raw == "-") return false;
  size_t p = raw[0] == '-' ? 1 : 0;
  if (p >= raw.size()) return true;
  uint8_t c = byte_at(raw, p);
  return c != '-' && !is_ascii_digit(c);
}

std::string ascii_lowered(string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
  return out;
}

// read_name: ASCII letters, digits, '-', '_' and non-ASCII bytes; invalid
// UTF-8 becomes U+FFFD.
std::string read_name(string_view t, size_t& pos) {
  size_t s = pos;
  while (pos < t.size()) {
    uint8_t c = byte_at(t, pos);
    if (is_ascii_alpha(c) || is_ascii_digit(c) || c == '-' || c == '_' || c >= 0x80) ++pos;
    else break;
  }
  std::string out;
  whatwg::decode_append(whatwg::Encoding::kUtf8, t.substr(s, pos - s), out);
  return out;
}

std::optional<std::string> read_css_name(string_view t, size_t& pos, bool is_class) {
  const size_t s = pos;
  while (pos < t.size()) {
    uint8_t c = byte_at(t, pos);
    if (c == '\\') {
      if (pos + 1 >= t.size()) return std::nullopt;
      uint8_t nx = byte_at(t, pos + 1);
      if (nx == '\n' || nx == '\r' || nx == '\f') return std::nullopt;
      pos = skip_escape(t, pos);
    } else if (is_ascii_alpha(c) || is_ascii_digit(c) || c == '-' || c == '_' || c >= 0x80) {
      ++pos;
    } else {
      break;
    }
  }
  string_view raw = t.substr(s, pos - s);
  if (raw.empty() || !valid_utf8(raw)) return std::nullopt;
  if (is_class && !name_start_ok(raw)) return std::nullopt;
  std::optional<std::string> value = unescape_css(raw, false);
  if (!value) return std::nullopt;
  if (is_class && std::any_of(value->begin(), value->end(),
                              [](char c) { return is_ws(static_cast<uint8_t>(c)); }))
    return std::nullopt;
  return value;
}

bool attr_pred(string_view t, size_t& pos, Compound& c) {
  // After '['.
  std::string name = ascii_lowered(read_name(t, pos));
  if (!name_start_ok(name)) return false;
  auto skip_ws = [&] {
    while (pos < t.size() && is_ws(byte_at(t, pos))) ++pos;
  };
  skip_ws();
  if (pos < t.size() && t[pos] == ']') {
    ++pos;
    c.attrs.push_back({std::move(name), "", false, AttrOp::kExists});
    return true;
  }
  if (pos >= t.size()) return false;
  AttrOp op;
  switch (t[pos]) {
    case '=': op = AttrOp::kEquals; break;
    case '^': op = AttrOp::kPrefix; break;
    case '$': op = AttrOp::kSuffix; break;
    case '*': op = AttrOp::kSubstring; break;
    case '~': op = AttrOp::kIncludes; break;
    case '|': op = AttrOp::kDashMatch; break;
    default: return false;
  }
  if (op == AttrOp::kEquals) {
    ++pos;
  } else {
    if (pos + 1 >= t.size() || t[pos + 1] != '=') return false;
    pos += 2;
  }
  skip_ws();
  std::string value;
  if (pos < t.size() && (t[pos] == '"' || t[pos] == '\'')) {
    const char q = t[pos];
    size_t s = ++pos;
    while (pos < t.size() && t[pos] != q) pos += t[pos] == '\\' ? 2 : 1;
    pos = std::min(pos, t.size());
    std::optional<std::string> v = unescape_css(t.substr(s, pos - s), true);
    if (!v) return false;
    value = std::move(*v);
    if (pos < t.size()) ++pos;  // the closing quote
  } else {
    size_t s = pos;
    while (pos < t.size() && !is_ws(byte_at(t, pos)) && t[pos] != ']') ++pos;
    string_view raw = t.substr(s, pos - s);
    if (!is_css_ident(raw)) return false;
    value.assign(raw);
  }
  skip_ws();
  bool ci = false;
  const bool flag = pos + 1 < t.size() && ((t[pos] | 0x20) == 'i' || (t[pos] | 0x20) == 's') &&
                    (is_ws(byte_at(t, pos + 1)) || t[pos + 1] == ']');
  if (flag) {
    ci = (t[pos] | 0x20) == 'i';
    ++pos;
    skip_ws();
  }
  if (pos >= t.size() || t[pos] != ']') return false;
  ++pos;
  c.attrs.push_back({std::move(name), std::move(value), ci, op});
  return true;
}

// Members of a :not / :is / :where list.
std::optional<std::vector<Compound>> compound_list(string_view arg, unsigned depth) {
  std::vector<Compound> out;
  for (string_view m : split_top_commas(arg)) {
    m = trim_css(m);
    if (m.empty()) return std::nullopt;
    std::optional<Compound> c = parse_compound_depth(m, depth);
    if (!c) return std::nullopt;
    out.push_back(std::move(*c));
  }
  return out;
}

bool plain_member(const Compound& c) {
  return !c.nth && !c.rev && !c.has && !c.text && c.is_groups.empty();
}

std::optional<Has> parse_has_arg(string_view arg, unsigned depth) {
  arg = trim_unicode_whitespace(arg);
  if (arg.empty() || arg.find(":has(") != string_view::npos) return std::nullopt;
  std::vector<Compound> members;
  std::optional<bool> child;
  for (string_view m : split_top_commas(arg)) {
    m = trim_unicode_whitespace(m);
    bool is_child = false;
    if (!m.empty() && m[0] == '>') {
      is_child = true;
      m = trim_unicode_whitespace(m.substr(1));
    }
    if (m.empty() || (child && *child != is_child)) return std::nullopt;
    child = is_child;
    // One compound: no combinator and no whitespace outside quotes/escapes.
    size_t stop = scan_top(m, [&](size_t i, int) {
      uint8_t c = byte_at(m, i);
      return c == '\t' || c == '\n' || c == '\r' || c == ' ' || is_comb_char(c);
    });
    if (stop != m.size()) return std::nullopt;
    std::optional<Compound> c = parse_compound_depth(m, depth);
    if (!c || !plain_member(*c)) return std::nullopt;
    members.push_back(std::move(*c));
  }
  if (members.size() == 1) return Has{Box<Compound>(std::move(members[0])), *child};
  Compound any;
  any.is_groups.push_back(std::move(members));
  return Has{Box<Compound>(std::move(any)), *child};
}

bool pseudo_class(string_view t, size_t& pos, Compound& c, unsigned depth) {
  // After ':'.
  std::string name = ascii_lowered(read_name(t, pos));
  if (name.empty()) return false;
  std::optional<string_view> arg;
  if (pos < t.size() && t[pos] == '(') {
    // The argument runs to the matching ')', honouring quotes and escapes.
    const size_t s = pos + 1;
    size_t i = s;
    int nest = 0;
    uint8_t quote = 0;
    for (; i < t.size(); ++i) {
      const uint8_t ch = byte_at(t, i);
      if (ch == '\\') {
        i = skip_escape(t, i) - 1;
      } else if (quote) {
        if (ch == quote) quote = 0;
      } else if (ch == '"' || ch == '\'') {
        quote = ch;
      } else if (ch == '(') {
        ++nest;
      } else if (ch == ')') {
        if (nest == 0) break;
        --nest;
      }
    }
    if (i >= t.size()) return false;
    arg = trim_unicode_whitespace(t.substr(s, i - s));
    pos = i + 1;
  }
  const bool positional_free = !c.nth && !c.rev;
  const bool typed = c.tag && *c.tag != "*";
  auto simple = [&](bool typed_only) {
    return !arg && positional_free && (!typed_only || typed);
  };
  auto counted = [&](bool typed_only) -> std::optional<std::pair<int32_t, int32_t>> {
    if (!arg || !positional_free || (typed_only && !typed)) return std::nullopt;
    return parse_anpb(*arg);
  };
  if (name == "first-child" || name == "first-of-type") {
    bool of_type = name == "first-of-type";
    if (!simple(of_type)) return false;
    c.nth = Nth{0, 1, of_type};
  } else if (name == "last-child" || name == "last-of-type" || name == "only-child" ||
             name == "only-of-type") {
    bool of_type = name.ends_with("of-type");
    if (!simple(of_type)) return false;
    c.rev = Rev{0, 1, name.starts_with("only"), of_type};
  } else if (name == "nth-child" || name == "nth-of-type") {
    bool of_type = name == "nth-of-type";
    auto ab = counted(of_type);
    if (!ab) return false;
    c.nth = Nth{ab->first, ab->second, of_type};
  } else if (name == "nth-last-child" || name == "nth-last-of-type") {
    bool of_type = name == "nth-last-of-type";
    auto ab = counted(of_type);
    if (!ab) return false;
    c.rev = Rev{ab->first, ab->second, false, of_type};
  } else if (name == "not") {
    if (!arg || arg->empty() || arg->find(":not(") != string_view::npos) return false;
    auto members = compound_list(*arg, depth + 1);
    if (!members) return false;
    for (Compound& m : *members) {
      if (!m.is_groups.empty()) return false;
      c.nots.push_back(std::move(m));
    }
  } else if (name == "is" || name == "where") {
    if (!arg || arg->empty()) return false;
    auto members = compound_list(*arg, depth + 1);
    if (!members) return false;
    for (const Compound& m : *members)
      if (!plain_member(m)) return false;
    c.is_groups.push_back(std::move(*members));
  } else if (name == "has") {
    if (!arg || c.has || !positional_free) return false;
    std::optional<Has> h = parse_has_arg(*arg, depth + 1);
    if (!h) return false;
    c.has = std::move(*h);
  } else if (name == "contains") {
    if (!arg || c.text) return false;
    string_view a = *arg;
    std::string value;
    if (a.size() >= 2 && (a[0] == '"' || a[0] == '\'') && a.back() == a[0]) {
      std::optional<std::string> v = unescape_css(a.substr(1, a.size() - 2), true);
      if (!v) return false;
      value = std::move(*v);
    } else if (is_css_ident(a)) {
      value.assign(a);
    } else {
      return false;
    }
    c.text = TextPred{std::move(value), false, true};
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::vector<string_view> split_top_commas(string_view text) {
  std::vector<string_view> pieces;
  size_t start = 0;
  scan_top(text, [&](size_t i, int depth) {
    if (text[i] == ',' && depth == 0) {
      pieces.push_back(text.substr(start, i - start));
      start = i + 1;
    }
    return false;
  });
  pieces.push_back(text.substr(start));
  return pieces;
}

string_view trim_css(string_view text) {
  string_view t = trim_unicode_whitespace(text);
  if (t.empty()) return t;
  // When the text holds an escape, whitespace that ends a trailing escape (the
  // terminator of a hex escape, or an escaped space) belongs to the text.
  string_view rest = text.substr(static_cast<size_t>(t.data() - text.data()));
  if (rest.find('\\') == string_view::npos) return t;
  size_t protected_end = 0;
  for (size_t i = 0; i < rest.size();) {
    if (rest[i] == '\\') {
      i = skip_escape(rest, i);
      protected_end = i;
    } else {
      ++i;
    }
  }
  return rest.substr(0, std::max(t.size(), protected_end));
}

std::optional<std::string> unescape_css(string_view t, bool in_string) {
  if (t.find('\\') == string_view::npos) return std::string(t);
  std::string out;
  out.reserve(t.size());
  size_t i = 0;
  while (i < t.size()) {
    if (t[i] != '\\') {
      out.push_back(t[i++]);
      continue;
    }
    if (i + 1 >= t.size()) return std::nullopt;
    uint8_t c = byte_at(t, i + 1);
    if (c == '\n' || c == '\r' || c == '\f') {
      // A line continuation: inside a string the backslash and the newline
      // (CR LF counts as one) vanish; a name cannot hold one.
      if (!in_string) return std::nullopt;
      i += 2;
      if (c == '\r' && i < t.size() && t[i] == '\n') ++i;
      continue;
    }
    if (is_hex(c)) {
      size_t p = i + 1, end = std::min(t.size(), i + 7);
      uint32_t v = 0;
      while (p < end && is_hex(byte_at(t, p))) {
        uint8_t h = byte_at(t, p++);
        v = v * 16 + (is_ascii_digit(h) ? h - '0' : (h | 0x20) - 'a' + 10);
      }
      // Zero, a surrogate or a value past the last code point stands for
      // U+FFFD, as CSS Syntax consumes an escaped code point.
      if (v == 0 || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) v = 0xFFFD;
      whatwg::append_utf8(out, v);
      if (p < t.size() && t[p] == '\r' && p + 1 < t.size() && t[p + 1] == '\n') p += 2;
      else if (p < t.size() && is_ws(byte_at(t, p))) p += 1;
      i = p;
    } else {
      size_t l = std::min(utf8_len(c), t.size() - (i + 1));
      out.append(t.substr(i + 1, l));
      i += 1 + l;
    }
  }
  return out;
}

bool is_css_ident(string_view t) {
  if (t.empty() || t == "-") return false;
  size_t i = t[0] == '-' ? 1 : 0;
  bool first = true;
  while (i < t.size()) {
    size_t len;
    uint32_t cp = code_point_at(t, i, &len);
    bool ok = cp == '_' || is_ascii_alpha(static_cast<uint8_t>(cp < 0x80 ? cp : 0)) || cp >= 0xA0 ||
              (!first && (cp == '-' || (cp < 0x80 && is_ascii_digit(static_cast<uint8_t>(cp)))));
    if (!ok) return false;
    first = false;
    i += len;
  }
  return !first;
}

std::optional<std::pair<int32_t, int32_t>> parse_anpb(string_view arg) {
  std::string s = ascii_lowered(trim_unicode_whitespace(arg));
  if (s == "even") return std::pair{2, 0};
  if (s == "odd") return std::pair{2, 1};
  size_t n = s.find('n');
  if (n == std::string::npos) {
    auto b = parse_decimal_i32(s, true);
    if (!b) return std::nullopt;
    return std::pair{0, *b};
  }
  string_view before = trim_unicode_whitespace(string_view(s).substr(0, n));
  int32_t a;
  if (before.empty() || before == "+") {
    a = 1;
  } else if (before == "-") {
    a = -1;
  } else {
    auto v = parse_decimal_i32(before, true);
    if (!v) return std::nullopt;
    a = *v;
  }
  std::string after;
  for (char ch : string_view(s).substr(n + 1))
    if (!is_ws(static_cast<uint8_t>(ch))) after.push_back(ch);
  int32_t b = 0;
  if (!after.empty()) {
    auto v = parse_decimal_i32(after, true);
    if (!v) return std::nullopt;
    b = *v;
  }
  return std::pair{a, b};
}

std::optional<Compound> parse_compound_depth(string_view t, unsigned depth) {
  if (depth > kMaxSelectorDepth) return std::nullopt;
  Compound c;
  size_t pos = 0;
  if (!t.empty() && is_ascii_alpha(byte_at(t, 0))) {
    std::string name = read_name(t, pos);
    if (std::any_of(name.begin(), name.end(), [](char ch) { return static_cast<uint8_t>(ch) >= 0x80; }))
      return std::nullopt;
    c.tag = ascii_lowered(name);
  } else if (!t.empty() && t[0] == '*') {
    c.tag = "*";
    pos = 1;
  }
  while (pos < t.size()) {
    const char ch = t[pos++];
    if (ch == '#') {
      std::optional<std::string> id = read_css_name(t, pos, false);
      if (!id || id->empty()) return std::nullopt;
      if (!c.id) c.id = std::move(*id);
      else if (*c.id != *id) c.attrs.push_back({"id", std::move(*id), false, AttrOp::kEquals});
    } else if (ch == '.') {
      std::optional<std::string> cls = read_css_name(t, pos, true);
      if (!cls) return std::nullopt;
      c.classes.push_back(std::move(*cls));
    } else if (ch == '[') {
      if (!attr_pred(t, pos, c)) return std::nullopt;
    } else if (ch == ':') {
      if (!pseudo_class(t, pos, c, depth)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return c;
}

std::optional<Selector> parse(string_view member) {
  string_view m = trim_css(member);
  Selector sel;
  string_view element;
  bool value_terminal = true;
  // The value suffixes are pseudo-element names, which cssselect matches
  // ignoring ASCII case (`::Text`); the search runs on a lowered copy, whose
  // offsets are those of `m`.
  const std::string low = ascii_lowered(m);
  size_t attr_at = low.find("::attr(");
  if (attr_at != string_view::npos) {
    if (m.back() != ')' || m.size() < attr_at + 8) return std::nullopt;
    string_view name = trim_unicode_whitespace(m.substr(attr_at + 7, m.size() - 1 - (attr_at + 7)));
    const bool quoted = name.size() >= 2 && (name[0] == '"' || name[0] == '\'') && name.back() == name[0];
    if (quoted) name = name.substr(1, name.size() - 2);
    std::optional<std::string> n = unescape_css(name, quoted);
    if (!n || !name_start_ok(*n)) return std::nullopt;
    sel.terminal.kind = Terminal::Kind::kAttr;
    sel.terminal.name = std::move(*n);
    element = m.substr(0, attr_at);
  } else if (m.size() >= 6 && string_view(low).ends_with("::text")) {
    sel.terminal.kind = Terminal::Kind::kText;
    element = m.substr(0, m.size() - 6);
  } else {
    sel.terminal.kind = Terminal::Kind::kOuter;
    element = m;
    value_terminal = false;
  }

  std::string rewritten;
  if (value_terminal) {
    string_view trimmed = trim_css(element);
    bool flag = trimmed.size() < element.size();
    element = trimmed;
    if (element.empty()) {
      element = "*";
    } else if (element.back() == '*' && backslashes_before(element, element.size() - 1) % 2 == 0) {
      const size_t star = element.size() - 1;
      size_t k = star;
      while (k > 0 && is_ws(byte_at(element, k - 1))) --k;
      if (k < star) {
        // "x *" means "x" with the subtree flag, unless a combinator precedes.
        if (k > 0 && !is_comb_char(byte_at(element, k - 1))) {
          element = element.substr(0, k);
          flag = true;
        }
      } else if (star > 0 && !is_comb_char(byte_at(element, star - 1)) && !flag) {
        return std::nullopt;
      }
    } else if (is_comb_char(static_cast<uint8_t>(element.back())) &&
               backslashes_before(element, element.size() - 1) % 2 == 0) {
      rewritten = std::string(element) + "*";
      element = rewritten;
      flag = false;
    }
    if (sel.terminal.kind == Terminal::Kind::kText) sel.terminal.subtree = flag;
    else sel.terminal.descendants = flag;
  } else if (element.empty()) {
    return std::nullopt;
  }

  // Compounds and combinators.
  std::vector<string_view> parts;
  size_t compound_start = 0;
  bool in_sep = false, failed = false;
  size_t sep_start = 0;
  auto close_sep = [&](size_t end) {
    string_view run = element.substr(sep_start, end - sep_start);
    int combs = 0;
    Comb comb = Comb::kDescendant;
    for (char ch : run) {
      if (ch == '>') ++combs, comb = Comb::kChild;
      else if (ch == '+') ++combs, comb = Comb::kAdjacent;
      else if (ch == '~') ++combs, comb = Comb::kSibling;
    }
    if (combs > 1 || (parts.empty() && sep_start == 0 && combs > 0)) failed = true;
    if (sep_start > 0) sel.combs.push_back(comb);
  };
  // Walk bytes; separators are recognised only outside quotes/escapes and at
  // nesting depth zero or below.
  {
    int depth = 0;
    uint8_t quote = 0;
    size_t i = 0;
    while (i < element.size() && !failed) {
      uint8_t ch = byte_at(element, i);
      bool sep_char = false;
      if (ch == '\\') {
        if (in_sep) {
          close_sep(i);
          in_sep = false;
          compound_start = i;
        }
        i = skip_escape(element, i);
        continue;
      }
      if (quote) {
        if (ch == quote) quote = 0;
      } else if (ch == '"' || ch == '\'') {
        quote = ch;
      } else if (ch == '(' || ch == '[') {
        ++depth;
      } else if (ch == ')' || ch == ']') {
        --depth;
      } else if (depth <= 0 && (is_ws(ch) || is_comb_char(ch))) {
        sep_char = true;
      }
      if (sep_char && !in_sep) {
        if (i > compound_start) parts.push_back(element.substr(compound_start, i - compound_start));
        in_sep = true;
        sep_start = i;
      } else if (!sep_char && in_sep) {
        close_sep(i);
        in_sep = false;
        compound_start = i;
      }
      ++i;
    }
    if (in_sep) return std::nullopt;  // ends in a separator
    if (failed) return std::nullopt;
    parts.push_back(element.substr(compound_start));
  }
  if (sel.combs.size() + 1 != parts.size()) return std::nullopt;
  for (string_view p : parts) {
    std::optional<Compound> c = parse_compound_depth(trim_css(p), 0);
    if (!c) return std::nullopt;
    sel.compounds.push_back(std::move(*c));
  }
  return sel;
}

namespace {

std::vector<Selector> parse_list_folded(string_view query) {
  std::vector<Selector> out;
  for (string_view piece : split_top_commas(query)) {
    std::optional<Selector> s = parse(piece);
    if (!s) return {};
    out.push_back(std::move(*s));
  }
  if (out.size() > 1) {
    size_t outer = std::count_if(out.begin(), out.end(), [](const Selector& s) {
      return s.terminal.kind == Terminal::Kind::kOuter;
    });
    if (outer != 0 && outer != out.size()) return {};
  }
  return out;
}

}  // namespace

std::vector<Selector> parse_list(string_view query) {
  // CSS Syntax preprocesses the input: every U+0000 becomes U+FFFD, so a NUL
  // written in a name or a string stands for the replacement character.
  if (query.find('\0') != string_view::npos) {
    std::string folded;
    folded.reserve(query.size() + 8);
    for (char c : query) {
      if (c == '\0') folded.append("\xEF\xBF\xBD");
      else folded.push_back(c);
    }
    return parse_list_folded(folded);
  }
  return parse_list_folded(query);
}

}  // namespace ls
