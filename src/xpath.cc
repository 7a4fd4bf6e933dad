// XPath subset compiler.
//
// Input: one XPath expression. Output: its member selectors, or the empty
// list. The subset: absolute or context-relative paths of child (/) and
// descendant (//) steps; name tests and *; attribute predicates (@a,
// @a="v", contains(@a,"v"), starts-with(@a,"v")) joined by `and` / `or`; a
// sole positional predicate ([N], [last()], [last()-k], [position()=last()]);
// a sole text predicate ([.="v"], [text()="v"], [contains(.,"v")],
// [contains(text(),"v")]); the following-sibling:: axis; the upward forms
// //INNER/ancestor::E and //INNER/parent::E; the endings /text(), //text(),
// /@name, //@name; unions with |; and a top-level normalize-space(path).
//
// Invariants: failures are silent; `or` alternatives expand to at most
// kMaxAlternatives selectors per union member; normalize-space() re-entry is
// bounded by the same depth limit as CSS nesting. Names must be written in
// lower case: HTML names are lower-cased by the parser, so an upper-case name
// test could never match and is refused instead.
#include "xpath.h"

#include <algorithm>

#include "base.h"
#include "selector.h"

namespace ls {

namespace {

using std::string_view;

inline uint8_t byte_at(string_view t, size_t i) { return static_cast<uint8_t>(t[i]); }
inline string_view trim(string_view t) { return trim_unicode_whitespace(t); }

// An attribute name: a lower-case ASCII letter, '_' or non-ASCII byte, then
// lower-case letters, digits, '_', '-', '.' or non-ASCII bytes.
bool valid_attr_name(string_view n) {
  if (n.empty()) return false;
  for (size_t i = 0; i < n.size(); ++i) {
    uint8_t c = byte_at(n, i);
    bool ok = (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80 ||
              (i > 0 && (is_ascii_digit(c) || c == '-' || c == '.'));
    if (!ok) return false;
  }
  return true;
}

std::string without_whitespace(string_view t) {
  std::string out;
  for (char c : t)
    if (!is_ascii_whitespace(static_cast<uint8_t>(c))) out.push_back(c);
  return out;
}

// The index of the bracket that closes the one at `open` (`[`/`]` or
// `(`/`)`), counting nested pairs outside quoted literals; npos when the
// text ends first. A `]` inside `"places = ["` is part of the literal.
size_t closing(string_view t, size_t open, char in, char out) {
  int depth = 0;
  char quote = 0;
  for (size_t i = open; i < t.size(); ++i) {
    const char c = t[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == in) {
      ++depth;
    } else if (c == out && --depth == 0) {
      return i;
    }
  }
  return string_view::npos;
}

bool is_name_byte(uint8_t c) { return is_ascii_alpha(c) || is_ascii_digit(c) || c == '-' || c == '_'; }

// `kw` at `i` as a whole word.
bool word_at(string_view t, size_t i, string_view kw) {
  return t.substr(i).starts_with(kw) && (i + kw.size() == t.size() || !is_name_byte(byte_at(t, i + kw.size())));
}

// Spellings that XPath reads alike, rewritten into the one form the compiler
// reads; quoted literals are copied untouched:
//   - white space between a function's name and its `(` is dropped
//     (`contains (@a, "x")`);
//   - `and` / `or` written against a closing `)`, `]` or quote get the space
//     the splitter looks for (`contains(@a, "x")and @b`);
//   - the explicit forward axes: `child::x` is `x`, `descendant::x` after a
//     `/` is `//x` (both select the element descendants of the context), and
//     at the start of a predicate path `.//x`.
// The output is never longer than the input plus one byte per input byte.
std::string canonical_form(string_view t) {
  std::string out;
  out.reserve(t.size() + 8);
  char quote = 0;
  auto space_before_keyword = [&](size_t next) {
    if (word_at(t, next, "and") || word_at(t, next, "or")) out.push_back(' ');
  };
  for (size_t i = 0; i < t.size(); ++i) {
    const char c = t[i];
    if (quote) {
      out.push_back(c);
      if (c == quote) {
        quote = 0;
        space_before_keyword(i + 1);
      }
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      out.push_back(c);
      continue;
    }
    if (is_ascii_whitespace(static_cast<uint8_t>(c))) {
      size_t j = i;
      while (j < t.size() && is_ascii_whitespace(byte_at(t, j))) ++j;
      if (j < t.size() && t[j] == '(' && !out.empty() && is_name_byte(static_cast<uint8_t>(out.back()))) {
        size_t k = out.size();
        while (k > 0 && is_name_byte(static_cast<uint8_t>(out[k - 1]))) --k;
        string_view name = string_view(out).substr(k);
        if (name != "and" && name != "or" && name != "div" && name != "mod") {
          i = j - 1;  // a function call: the spaces go
          continue;
        }
      }
      out.push_back(c);
      continue;
    }
    const char prev = out.empty() ? '\0' : out.back();
    if ((prev == '/' || prev == '[') && word_at(t, i, "child") && t.substr(i + 5).starts_with("::")) {
      i += 6;  // `child::` names the default axis
      continue;
    }
    if ((prev == '/' || prev == '[') && word_at(t, i, "descendant") && t.substr(i + 10).starts_with("::")) {
      if (prev == '[') out.append(".//");
      else if (!string_view(out).ends_with("//")) out.push_back('/');
      i += 11;
      continue;
    }
    out.push_back(c);
    if (c == ')' || c == ']') space_before_keyword(i + 1);
  }
  return out;
}

// A 1-based position counted from the end: last() is 1, last()-k is k + 1.
std::optional<int32_t> last_from_end(string_view pred) {
  std::string s = without_whitespace(pred);
  string_view v = s;
  if (v.starts_with("position()=")) v.remove_prefix(11);
  if (v == "last()") return 1;
  if (!v.starts_with("last()-")) return std::nullopt;
  std::optional<int32_t> k = parse_decimal_i32(v.substr(7), true);
  if (!k || *k < 0 || *k == INT32_MAX) return std::nullopt;
  return *k + 1;
}

// A range of positions, `position()>N` (and `>=`, `<`, `<=`), as a forward
// position a*n + b for n >= 0: `> N` is n + (N + 1), `< N` is -n + (N - 1).
std::optional<Nth> position_range(string_view pred) {
  std::string s = without_whitespace(pred);
  string_view v = s;
  if (!v.starts_with("position()")) return std::nullopt;
  v.remove_prefix(10);
  int32_t a = 0, shift = 0;
  if (v.starts_with(">=")) a = 1, v.remove_prefix(2);
  else if (v.starts_with("<=")) a = -1, v.remove_prefix(2);
  else if (v.starts_with(">")) a = 1, shift = 1, v.remove_prefix(1);
  else if (v.starts_with("<")) a = -1, shift = -1, v.remove_prefix(1);
  else return std::nullopt;
  std::optional<int32_t> n = parse_decimal_i32(v, false);
  // Bounded so that b stays a position a 32-bit counter can hold.
  if (!n || *n > INT32_MAX - 1) return std::nullopt;
  Nth out;
  out.a = a;
  out.b = *n + shift;
  return out;
}

// The text a text test reads: the first own text node (`text()`, which XPath
// converts to the string of its first node, except in `text()="v"`, a test
// of every node), its normalize-space() (`normalize-space(text())`), or the
// whole text (`.`).
struct TextSubject {
  bool own = false;
  bool normalized = false;
};

std::optional<TextSubject> text_subject(string_view s) {
  std::string t = without_whitespace(s);
  if (t == "text()") return TextSubject{true, false};
  if (t == ".") return TextSubject{false, false};
  if (t == "normalize-space(text())") return TextSubject{true, true};
  if (t == "normalize-space()" || t == "normalize-space(.)") return TextSubject{false, true};
  return std::nullopt;
}

// The whole text normalized is tested on a stream that trims each
// candidate's part at its start only by one space: a value that starts or
// ends with white space is refused rather than answered wrongly.
bool normalized_value_ok(const TextSubject& subject, string_view value) {
  if (!subject.normalized || subject.own || value.empty()) return true;
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  return !space(value.front()) && !space(value.back());
}

// One text test, without not().
std::optional<TextPred> plain_text_predicate(string_view pred) {
  pred = trim(pred);
  {
    // A text converted to a boolean: true when it is not empty after
    // normalize-space().
    std::string t = without_whitespace(pred);
    TextPred nonblank;
    nonblank.substring = true;
    nonblank.nonblank = true;
    if (t == "normalize-space(text())") {
      nonblank.own = true;
      return nonblank;
    }
    if (t == "normalize-space()" || t == "normalize-space(.)") return nonblank;
  }
  if (pred.starts_with("contains(") && pred.ends_with(")")) {
    string_view inside = pred.substr(9, pred.size() - 10);
    std::vector<string_view> two = split_top(inside, ",");
    if (two.size() == 2)
      if (std::optional<TextSubject> subject = text_subject(two[0]))
        if (auto lit = single_literal(trim(two[1]))) {
          if (!normalized_value_ok(*subject, *lit)) return std::nullopt;
          TextPred p{std::string(*lit), subject->own, true};
          p.normalized = subject->normalized;
          return p;
        }
  }
  for (size_t i = 0; i < pred.size(); ++i) {
    if (pred[i] != '=') continue;
    if (i > 0 && (pred[i - 1] == '!' || pred[i - 1] == '<' || pred[i - 1] == '>')) continue;
    std::optional<TextSubject> subject = text_subject(pred.substr(0, i));
    if (!subject) return std::nullopt;
    auto lit = single_literal(trim(pred.substr(i + 1)));
    if (!lit || !normalized_value_ok(*subject, *lit)) return std::nullopt;
    TextPred p{std::string(*lit), subject->own, false};
    // normalize-space(text()) = "v" compares the first node's text, which
    // the own-first test reads.
    if (subject->normalized) {
      p.normalized = true;
    }
    return p;
  }
  return std::nullopt;
}

// A text test, or its negation (`not(contains(text(), "v"))`).
std::optional<TextPred> text_predicate(string_view pred) {
  pred = trim(pred);
  if (pred.starts_with("not(") && closing(pred, 3, '(', ')') == pred.size() - 1) {
    std::optional<TextPred> p = plain_text_predicate(pred.substr(4, pred.size() - 5));
    if (p) p->negated = true;
    return p;
  }
  return plain_text_predicate(pred);
}

std::optional<AttrPred> fn_args(string_view inside, AttrOp op) {
  size_t comma = inside.find(',');
  if (comma == string_view::npos) return std::nullopt;
  string_view left = trim(inside.substr(0, comma));
  if (left.empty() || left[0] != '@') return std::nullopt;
  string_view name = trim(left.substr(1));
  if (!valid_attr_name(name)) return std::nullopt;
  auto lit = single_literal(trim(inside.substr(comma + 1)));
  if (!lit) return std::nullopt;
  return AttrPred{std::string(name), std::string(*lit), false, op};
}

std::optional<AttrPred> attr_test(string_view test) {
  test = trim(test);
  if (test.starts_with("contains(") && test.ends_with(")"))
    return fn_args(test.substr(9, test.size() - 10), AttrOp::kSubstring);
  if (test.starts_with("starts-with(") && test.ends_with(")"))
    return fn_args(test.substr(12, test.size() - 13), AttrOp::kPrefix);
  if (test.empty() || test[0] != '@') return std::nullopt;
  size_t eq = test.find('=');
  if (eq == string_view::npos) {
    string_view name = trim(test.substr(1));
    if (!valid_attr_name(name)) return std::nullopt;
    return AttrPred{std::string(name), "", false, AttrOp::kExists};
  }
  string_view name = trim(test.substr(1, eq - 1));
  if (!valid_attr_name(name)) return std::nullopt;
  auto lit = single_literal(trim(test.substr(eq + 1)));
  if (!lit) return std::nullopt;
  return AttrPred{std::string(name), std::string(*lit), false, AttrOp::kEquals};
}

struct Step {
  std::vector<Compound> alternatives;
  bool sibling_axis = false;
  bool following_axis = false;
  bool first = false;  // following::E[1], following-sibling::E[1]
  bool any_axis() const { return sibling_axis || following_axis; }
};

std::optional<Step> parse_step(string_view text, bool nested);

// One test of a general predicate.
struct Test {
  enum class Kind : uint8_t { kAttr, kNotAttr, kText, kHas, kSelf } kind = Kind::kAttr;
  AttrPred attr;                 // kAttr, kNotAttr; kSelf: the name in `name`
  std::optional<TextPred> text;  // kText
  std::optional<Has> has;        // kHas
};

// An existence test on a relative path: `p`, `./p` and `p[...]` are a
// child, `.//p` a descendant (`:has(> p)`, `:has(p)`); more steps joined by
// `/` (`td/a`, `.//a/h2`) are each the child of the one before (Has::via).
// Each step may test attributes, and the last one its own text, but none
// carries a position, nested path or axis. `nested` is set inside such a
// path, which may not hold another: the recursion is two levels deep
// whatever the input.
std::optional<Has> has_test(string_view test, bool nested) {
  if (nested) return std::nullopt;
  bool child = true;
  if (test.starts_with(".//")) {
    child = false;
    test.remove_prefix(3);
  } else if (test.starts_with("./")) {
    test.remove_prefix(2);
  }
  test = trim(test);
  if (test.empty()) return std::nullopt;
  // The steps: split at each `/` outside predicates; an empty one is a `//`.
  std::vector<string_view> texts = split_top(test, "/");
  std::vector<Compound> steps;
  for (string_view text : texts) {
    text = trim(text);
    if (text.empty()) return std::nullopt;
    std::optional<Step> step = parse_step(text, true);
    if (!step || step->any_axis() || step->alternatives.size() != 1) return std::nullopt;
    Compound& c = step->alternatives[0];
    if (c.nth || c.rev || c.has || (c.text && steps.size() + 1 < texts.size())) return std::nullopt;
    steps.push_back(std::move(c));
  }
  Compound last = std::move(steps.back());
  steps.pop_back();
  Has out{Box<Compound>(std::move(last)), child};
  out.via = std::move(steps);
  return out;
}

// `count(PATH) OP N`, PATH one child step (`td`, `./td[@a]`): a :has()
// test that counts the children it finds.
std::optional<Has> count_test(string_view test, bool nested) {
  if (!test.starts_with("count(")) return std::nullopt;
  const size_t close = closing(test, 5, '(', ')');
  if (close == string_view::npos) return std::nullopt;
  std::string rest = without_whitespace(test.substr(close + 1));
  string_view r = rest;
  Has::CountOp op;
  if (r.starts_with("!=")) op = Has::CountOp::kNe, r.remove_prefix(2);
  else if (r.starts_with("<=")) op = Has::CountOp::kLe, r.remove_prefix(2);
  else if (r.starts_with(">=")) op = Has::CountOp::kGe, r.remove_prefix(2);
  else if (r.starts_with("=")) op = Has::CountOp::kEq, r.remove_prefix(1);
  else if (r.starts_with("<")) op = Has::CountOp::kLt, r.remove_prefix(1);
  else if (r.starts_with(">")) op = Has::CountOp::kGt, r.remove_prefix(1);
  else return std::nullopt;
  std::optional<int32_t> n = parse_decimal_i32(r, false);
  if (!n || *n < 0) return std::nullopt;
  std::optional<Has> h = has_test(trim(test.substr(6, close - 6)), nested);
  if (!h || !h->child || !h->via.empty() || h->inner->text) return std::nullopt;
  h->count_op = op;
  h->count = static_cast<uint32_t>(*n);
  return h;
}

std::optional<Test> parse_test(string_view test, bool nested) {
  test = trim(test);
  Test out;
  if (std::optional<Has> h = count_test(test, nested)) {
    out.kind = Test::Kind::kHas;
    out.has = std::move(*h);
    return out;
  }
  if (std::optional<AttrPred> a = attr_test(test)) {
    out.attr = std::move(*a);
    return out;
  }
  if (test.starts_with("not(") && closing(test, 3, '(', ')') == test.size() - 1) {
    string_view inner = trim(test.substr(4, test.size() - 5));
    if (std::optional<AttrPred> a = attr_test(inner)) {
      out.kind = Test::Kind::kNotAttr;
      out.attr = std::move(*a);
      return out;
    }
    if (std::optional<Has> h = has_test(inner, nested)) {  // no such element
      h->negated = true;
      out.kind = Test::Kind::kHas;
      out.has = std::move(*h);
      return out;
    }
  }
  // `self::name`: the element's own name (`*[self::p or self::pre]`).
  if (test.starts_with("self::")) {
    string_view name = trim(test.substr(6));
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
          return (c >= 'a' && c <= 'z') || is_ascii_digit(static_cast<uint8_t>(c)) || c == '-' || c == '_';
        }) || !(name[0] >= 'a' && name[0] <= 'z'))
      return std::nullopt;
    out.kind = Test::Kind::kSelf;
    out.attr.name = std::string(name);
    return out;
  }
  if (std::optional<TextPred> tp = text_predicate(test)) {
    out.kind = Test::Kind::kText;
    out.text = std::move(*tp);
    return out;
  }
  if (std::optional<Has> h = has_test(test, nested)) {
    out.kind = Test::Kind::kHas;
    out.has = std::move(*h);
    return out;
  }
  return std::nullopt;
}

std::optional<Step> parse_step(string_view text, bool nested) {
  Step step;
  // An axis is named before the first predicate (a `::` in a literal is not one).
  size_t axis = text.substr(0, text.find('[')).find("::");
  if (axis != string_view::npos) {
    const string_view name = text.substr(0, axis);
    if (name == "following-sibling") step.sibling_axis = true;
    else if (name == "following") step.following_axis = true;
    else return std::nullopt;
    text = text.substr(axis + 2);
  }
  Compound base;
  size_t pos = 0;
  if (!text.empty() && text[0] == '*') {
    base.tag = "*";
    pos = 1;
  } else {
    while (pos < text.size()) {
      uint8_t c = byte_at(text, pos);
      if (is_ascii_alpha(c) || is_ascii_digit(c) || c == '-' || c == '_' || c == ':') ++pos;
      else break;
    }
    string_view name = text.substr(0, pos);
    if (name.empty()) return std::nullopt;
    uint8_t first = byte_at(name, 0);
    if (!((first >= 'a' && first <= 'z') || first == '_')) return std::nullopt;
    for (char c : name)
      if ((c >= 'A' && c <= 'Z') || c == ':') return std::nullopt;
    base.tag = std::string(name);
  }
  // Predicates: a sequence of [...] groups, brackets counted outside literals.
  std::vector<string_view> preds;
  while (pos < text.size()) {
    if (text[pos] != '[') return std::nullopt;
    size_t i = closing(text, pos, '[', ']');
    if (i == string_view::npos) return std::nullopt;
    preds.push_back(trim(text.substr(pos + 1, i - pos - 1)));
    pos = i + 1;
  }
  const bool star = *base.tag == "*";
  // A position written with other predicates: first, it is a position among
  // the step's siblings as alone (`//li[2][@a]`); last, among the siblings
  // that pass the predicates before it (`//li[@a][2]`, Nth::filtered).
  std::optional<Nth> position;
  auto plain_position = [](string_view p) -> std::optional<int32_t> {
    std::string compact = without_whitespace(p);
    if (string_view(compact).starts_with("position()=")) compact.erase(0, 11);
    if (compact.empty() || !std::all_of(compact.begin(), compact.end(), [](char c) {
          return is_ascii_digit(static_cast<uint8_t>(c));
        }))
      return std::nullopt;
    return parse_decimal_i32(compact, false);
  };
  // following::E[1]: the first E after the context's end, a trigger that
  // the first E consumes; following-sibling::E[1] the same among the
  // context's later siblings. A position written last counts the E that pass
  // the predicates before it, which is what the trigger sees; any other
  // position would need a count per context.
  if (step.any_axis() && !preds.empty()) {
    if (std::optional<int32_t> n = plain_position(preds.back())) {
      if (*n != 1) return std::nullopt;
      step.first = true;
      preds.pop_back();
    }
  }
  if (!step.any_axis() && preds.size() >= 2) {
    if (std::optional<int32_t> n = plain_position(preds.front())) {
      position = Nth{0, *n, !star, false, 0};
      preds.erase(preds.begin());
    } else if (std::optional<int32_t> m = plain_position(preds.back())) {
      position = Nth{0, *m, false, true, 0};
      preds.pop_back();
    }
  }
  if (!step.any_axis() && preds.size() == 1 && !position) {
    string_view p = preds[0];
    if (!p.empty() && std::all_of(p.begin(), p.end(), [](char c) { return is_ascii_digit(static_cast<uint8_t>(c)); })) {
      std::optional<int32_t> n = parse_decimal_i32(p, false);
      if (!n) return std::nullopt;
      base.nth = Nth{0, *n, !star};
      step.alternatives.push_back(std::move(base));
      return step;
    }
    if (std::optional<int32_t> k = last_from_end(p)) {
      base.rev = Rev{0, *k, false, !star};
      step.alternatives.push_back(std::move(base));
      return step;
    }
    if (std::optional<Nth> range = position_range(p)) {
      range->of_type = !star;
      base.nth = *range;
      step.alternatives.push_back(std::move(base));
      return step;
    }
    if (std::optional<TextPred> tp = text_predicate(p)) {
      base.text = std::move(*tp);
      step.alternatives.push_back(std::move(base));
      return step;
    }
  }
  // General predicates: attribute tests, their negations, one text test and
  // one path test, joined by `and` / `or`. A text or path test must be in a
  // predicate without `or`: the model holds one of each per compound.
  std::vector<Compound> alts{base};
  for (string_view pred : preds) {
    // A string is true when it is not empty (`['text()']` is a string).
    if (std::optional<string_view> lit = single_literal(pred)) {
      if (lit->empty()) return std::nullopt;
      continue;
    }
    std::vector<std::vector<Test>> branches;
    std::vector<string_view> ors = split_top(pred, " or ");
    for (string_view branch : ors) {
      std::vector<Test> tests;
      for (string_view test : split_top(branch, " and ")) {
        std::optional<Test> t = parse_test(test, nested);
        if (!t) return std::nullopt;
        if (t->kind != Test::Kind::kAttr && t->kind != Test::Kind::kNotAttr && t->kind != Test::Kind::kSelf &&
            ors.size() > 1)
          return std::nullopt;
        tests.push_back(std::move(*t));
      }
      branches.push_back(std::move(tests));
    }
    if (alts.size() * branches.size() > kMaxAlternatives) return std::nullopt;
    std::vector<Compound> next;
    for (const Compound& alt : alts)
      for (const auto& branch : branches) {
        Compound c = alt;
        for (const Test& t : branch) {
          switch (t.kind) {
            case Test::Kind::kAttr: c.attrs.push_back(t.attr); break;
            case Test::Kind::kNotAttr: {
              Compound n;
              n.attrs.push_back(t.attr);
              c.nots.push_back(std::move(n));
              break;
            }
            case Test::Kind::kText:
              if (c.text || step.any_axis()) return std::nullopt;
              c.text = t.text;
              break;
            case Test::Kind::kHas:
              // A following:: step is decided at its start tag.
              if (c.has || step.following_axis) return std::nullopt;
              c.has = t.has;
              break;
            case Test::Kind::kSelf:
              // A name test on the step itself: `*` takes it, another name
              // must be the same one.
              if (*c.tag == "*") c.tag = t.attr.name;
              else if (*c.tag != t.attr.name) return std::nullopt;
              break;
          }
        }
        next.push_back(std::move(c));
      }
    alts = std::move(next);
  }
  if (position) {
    // A filtered position counts the siblings that pass the other tests as
    // they start: not under `or` (each alternative would count apart), nor
    // beside a test decided at the element's close.
    // `[1]` is the exception: the first sibling that passes a test decided
    // at its close is the first whose decision holds (the matcher's
    // first-among-siblings templates).
    const bool first_after_close = position->filtered && position->a == 0 && position->b == 1 &&
                                   alts.size() == 1 && (alts[0].text || alts[0].has);
    if (position->filtered && !first_after_close && (alts.size() != 1 || alts[0].text || alts[0].has))
      return std::nullopt;
    for (Compound& c : alts) {
      if (c.nth || c.rev) return std::nullopt;
      c.nth = *position;
    }
  }
  // One trigger per step: alternatives would each consume it.
  if (step.first && alts.size() != 1) return std::nullopt;
  step.alternatives = std::move(alts);
  return step;
}

// A step of an upward form. The inner step (INNER in `//INNER/parent::E`)
// may test its own text, which becomes the :has() argument's; E may not.
std::optional<Compound> build_upward(string_view text, bool inner) {
  std::optional<Step> s = parse_step(text, inner);
  if (!s || s->any_axis() || s->alternatives.size() != 1) return std::nullopt;
  Compound& c = s->alternatives[0];
  if (c.nth || c.rev || c.has || (c.text && !inner)) return std::nullopt;
  return std::move(c);
}

struct RawStep {
  bool descendant;  // separated by "//"
  string_view text;
};

// A predicate on a text or attribute node tests the node's string value,
// which is the value itself: it becomes a column step. `.` is the node;
// supported: normalize-space() / normalize-space(.), contains(., "v"),
// starts-with(., "v"), . = "v", normalize-space(.) = "v", joined by `and`.
bool value_predicate(string_view pred, std::vector<ValueOp>& ops) {
  for (string_view test : split_top(pred, " and ")) {
    test = trim(test);
    std::string t = without_whitespace(test);
    if (t == "normalize-space()" || t == "normalize-space(.)") {
      ops.push_back({ValueOp::Kind::kNonBlank, "", 0});
      continue;
    }
    ValueOp op;
    string_view args;
    if (test.starts_with("contains(") && closing(test, 8, '(', ')') == test.size() - 1) {
      op.kind = ValueOp::Kind::kContains;
      args = test.substr(9, test.size() - 10);
    } else if (test.starts_with("starts-with(") && closing(test, 11, '(', ')') == test.size() - 1) {
      op.kind = ValueOp::Kind::kStartsWith;
      args = test.substr(12, test.size() - 13);
    }
    if (!args.empty()) {
      std::vector<string_view> two = split_top(args, ",");
      if (two.size() != 2 || trim(two[0]) != ".") return false;
      std::optional<string_view> lit = single_literal(trim(two[1]));
      if (!lit) return false;
      op.value = std::string(*lit);
      ops.push_back(std::move(op));
      continue;
    }
    std::vector<string_view> sides = split_top(test, "=");
    if (sides.size() != 2 || sides[0].ends_with("!") || sides[0].ends_with("<") || sides[0].ends_with(">"))
      return false;
    std::string left = without_whitespace(sides[0]);
    if (left == ".") op.kind = ValueOp::Kind::kEquals;
    else if (left == "normalize-space()" || left == "normalize-space(.)") op.kind = ValueOp::Kind::kNormalizedEquals;
    else return false;
    std::optional<string_view> lit = single_literal(trim(sides[1]));
    if (!lit) return false;
    op.value = std::string(*lit);
    ops.push_back(std::move(op));
  }
  return true;
}

// Splits trailing predicates off the value step of a member (`text()[...]`,
// `@href[...]`) into column steps; returns the member without them.
std::optional<string_view> strip_value_predicates(string_view member, std::vector<ValueOp>& ops) {
  // The last step starts after the last `/` outside brackets and literals.
  size_t last = string_view::npos;
  {
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < member.size(); ++i) {
      const char c = member[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[' || c == '(') {
        ++depth;
      } else if (c == ']' || c == ')') {
        --depth;
      } else if (c == '/' && depth == 0) {
        last = i;
      }
    }
  }
  if (last == string_view::npos) return member;
  string_view step = member.substr(last + 1);
  size_t open;
  if (step.starts_with("text()[")) {
    open = 6;
  } else if (step.starts_with("following-sibling::text()[")) {
    open = 25;
  } else if (step.starts_with("@")) {
    open = step.find('[');
    if (open == string_view::npos) return member;
  } else {
    return member;
  }
  for (size_t i = open; i < step.size();) {
    if (step[i] != '[') return std::nullopt;
    size_t close = closing(step, i, '[', ']');
    if (close == string_view::npos) return std::nullopt;
    if (!value_predicate(trim(step.substr(i + 1, close - i - 1)), ops)) return std::nullopt;
    i = close + 1;
  }
  return member.substr(0, last + 1 + open);
}

// `//html/..` and `/html/..` are the document node (html is the root
// element, never nested), and a path below it reads as a path from the
// document: `//html/..//p` is `//p`. Returns the path with every such
// prefix dropped; each round drops at least eight bytes.
string_view from_document_node(string_view member) {
  for (;;) {
    string_view rest;
    if (member.starts_with("//html/..")) rest = member.substr(9);
    else if (member.starts_with("/html/..")) rest = member.substr(8);
    else if (member.starts_with("//html/parent::node()")) rest = member.substr(21);
    else if (member.starts_with("/html/parent::node()")) rest = member.substr(20);
    else return member;
    if (!rest.starts_with("/")) return member;
    member = rest;
  }
}

std::optional<std::vector<Selector>> compile_part(string_view full_member) {
  full_member = from_document_node(full_member);
  std::vector<ValueOp> ops;
  std::optional<string_view> stripped = strip_value_predicates(full_member, ops);
  if (!stripped) return std::nullopt;
  string_view member = *stripped;
  Terminal terminal;
  string_view path;
  if (member.ends_with("/following-sibling::text()")) {
    // `//following-sibling::text()` would start from every descendant.
    path = member.substr(0, member.size() - 26);
    if (path.empty() || path.ends_with("/")) return std::nullopt;
    terminal.kind = Terminal::Kind::kText;
    terminal.after = true;
  } else if (member.ends_with("//text()")) {
    terminal.kind = Terminal::Kind::kText;
    terminal.subtree = true;
    path = member.substr(0, member.size() - 8);
  } else if (member.ends_with("/text()")) {
    terminal.kind = Terminal::Kind::kText;
    path = member.substr(0, member.size() - 7);
  } else if (size_t at = member.rfind("//@"); at != string_view::npos) {
    terminal.kind = Terminal::Kind::kAttr;
    terminal.descendants = true;
    terminal.name = std::string(member.substr(at + 3));
    path = member.substr(0, at);
  } else if (size_t at1 = member.rfind("/@"); at1 != string_view::npos) {
    terminal.kind = Terminal::Kind::kAttr;
    terminal.name = std::string(member.substr(at1 + 2));
    path = member.substr(0, at1);
  } else {
    terminal.kind = Terminal::Kind::kOuter;
    path = member;
  }
  if (terminal.kind == Terminal::Kind::kAttr && !valid_attr_name(terminal.name)) return std::nullopt;

  // The context element itself (`.`, `./text()`, `.//@href`): compound `*`
  // tied to the context by the anchor (the root element for a query, the
  // container for a grouped sub-field).
  // `//text()`: every text node of the document, the subtree text of each
  // top-level element.
  if (path == "." || (path.empty() && terminal.kind == Terminal::Kind::kText && terminal.subtree)) {
    Selector sel;
    sel.compounds.emplace_back().tag.emplace("*");
    sel.anchor = 0;
    sel.terminal = std::move(terminal);
    sel.post = std::move(ops);
    return std::vector<Selector>{std::move(sel)};
  }
  bool relative = false;
  if (path.starts_with("./")) {
    relative = true;
    path.remove_prefix(1);
  } else if (!path.starts_with("/")) {
    return std::nullopt;
  }

  std::vector<RawStep> steps;
  size_t pos = 0;
  while (pos < path.size()) {
    // path[pos] == '/'
    bool descendant = pos + 1 < path.size() && path[pos + 1] == '/';
    size_t s = pos + (descendant ? 2 : 1);
    int depth = 0;
    char quote = 0;
    size_t e = s;
    for (; e < path.size(); ++e) {
      char c = path[e];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '(' || c == '[') {
        ++depth;
      } else if (c == ')' || c == ']') {
        --depth;
      } else if (c == '/' && depth == 0) {
        break;
      }
    }
    string_view text = trim(path.substr(s, e - s));
    if (text.empty()) return std::nullopt;
    steps.push_back({descendant, text});
    pos = e;
  }
  if (steps.empty()) return std::nullopt;

  // The upward forms //INNER/ancestor::E, //INNER/parent::E and //INNER/..
  // (E = *), optionally followed by more steps below E: E becomes the first
  // compound, with `INNER` as its :has() argument.
  auto upward_step = [](const RawStep& s) {
    string_view head = s.text.substr(0, s.text.find('['));
    return s.text == ".." || head.find("ancestor::") != string_view::npos || head.find("parent::") != string_view::npos;
  };
  if (std::any_of(steps.begin(), steps.end(), upward_step)) {
    // `//INNER/../..`: each further `..` is one more level up, a step of
    // the :has() path above INNER (`*:has(> * > INNER)`).
    size_t ups = 0;
    while (steps.size() > 2 + ups && !steps[2 + ups].descendant && steps[2 + ups].text == ".." &&
           steps[1].text == "..")
      ++ups;
    if (ups > 0) steps.erase(steps.begin() + 2, steps.begin() + 2 + static_cast<ptrdiff_t>(ups));
    if (steps.size() < 2 || relative || !steps[0].descendant || steps[1].descendant || !upward_step(steps[1]) ||
        std::any_of(steps.begin() + 2, steps.end(), upward_step))
      return std::nullopt;
    string_view second = steps[1].text;
    bool child;
    if (second == "..") {
      child = true;
      second = "*";
    } else if (second.starts_with("ancestor::")) {
      child = false;
      second.remove_prefix(10);
    } else if (second.starts_with("parent::")) {
      child = true;
      second.remove_prefix(8);
    } else {
      return std::nullopt;
    }
    std::optional<Compound> inner = build_upward(steps[0].text, true);
    std::optional<Compound> outer = build_upward(second, false);
    if (!inner || !outer) return std::nullopt;
    outer->has = Has{Box<Compound>(std::move(*inner)), child};
    outer->has->via.resize(ups);
    for (Compound& level : outer->has->via) level.tag.emplace("*");
    Selector sel;
    sel.compounds.push_back(std::move(*outer));
    for (size_t i = 2; i < steps.size(); ++i) {
      std::optional<Step> st = parse_step(steps[i].text, false);
      if (!st || st->any_axis() || st->alternatives.size() != 1) return std::nullopt;
      sel.compounds.push_back(std::move(st->alternatives[0]));
      sel.combs.push_back(steps[i].descendant ? Comb::kDescendant : Comb::kChild);
    }
    sel.terminal = std::move(terminal);
    sel.post = std::move(ops);
    return std::vector<Selector>{std::move(sel)};
  }

  std::vector<Step> parsed;
  std::vector<Comb> combs;
  // `./following-sibling::x` and `./following::x`: the axis from the
  // context element itself, which stands first as `*`; from the root element
  // they reach only content after `</html>` (later top-level elements).
  bool from_context = false;
  for (size_t i = 0; i < steps.size(); ++i) {
    std::optional<Step> st = parse_step(steps[i].text, false);
    if (!st) return std::nullopt;
    if (i == 0 && st->any_axis() && relative && !steps[0].descendant) {
      from_context = true;
      parsed.emplace_back().alternatives.emplace_back().tag.emplace("*");
    }
    if (i == 0 && !from_context) {
      if (st->any_axis()) return std::nullopt;
    } else if (st->any_axis()) {
      // `//following::x` would start from every descendant of the context.
      if (steps[i].descendant) return std::nullopt;
      combs.push_back(st->sibling_axis ? (st->first ? Comb::kSiblingFirst : Comb::kSibling)
                                       : st->first ? Comb::kFollowingFirst : Comb::kFollowing);
    } else {
      combs.push_back(steps[i].descendant ? Comb::kDescendant : Comb::kChild);
    }
    parsed.push_back(std::move(*st));
  }
  // `./x`: children of the context, one level below it; `/x`: the root
  // element, which is html in every HTML tree.
  std::optional<uint32_t> anchor;
  if (!steps[0].descendant) {
    if (relative) {
      anchor = from_context ? 0 : 1;
      relative = false;
    } else if (parsed[0].alternatives[0].tag != "html") {
      return std::nullopt;
    }
  }
  // One selector per choice of an alternative at every step, the last step
  // varying fastest. Each chain is built once, in place: a step-by-step
  // expansion that copies every partial chain would cost O(steps^2).
  size_t count = 1;
  for (const Step& st : parsed) {
    if (st.alternatives.empty() || count * st.alternatives.size() > kMaxAlternatives) return std::nullopt;
    count *= st.alternatives.size();
  }
  std::vector<Selector> out(count);
  for (size_t k = 0; k < count; ++k) {
    Selector& sel = out[k];
    sel.compounds.resize(parsed.size());
    size_t rest = k;
    for (size_t i = parsed.size(); i-- > 0;) {
      std::vector<Compound>& alts = parsed[i].alternatives;
      const size_t choice = rest % alts.size();
      rest /= alts.size();
      if (count == 1) sel.compounds[i] = std::move(alts[choice]);
      else sel.compounds[i] = alts[choice];
    }
    sel.combs = combs;
    sel.terminal = terminal;
    sel.relative = relative;
    sel.anchor = anchor;
    sel.post = ops;
  }
  return out;
}

}  // namespace

std::vector<string_view> split_top(string_view text, string_view sep) {
  std::vector<string_view> out;
  int depth = 0;
  char quote = 0;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '(' || c == '[') {
      ++depth;
    } else if (c == ')' || c == ']') {
      --depth;
    } else if (depth == 0 && c == sep[0] && text.substr(i).starts_with(sep)) {
      out.push_back(text.substr(start, i - start));
      start = i + sep.size();
      i = start - 1;
    }
  }
  out.push_back(text.substr(start));
  return out;
}

std::string canonical(string_view text) { return canonical_form(text); }

std::optional<string_view> single_literal(string_view t) {
  if (t.size() < 2 || (t[0] != '"' && t[0] != '\'') || t.back() != t[0]) return std::nullopt;
  string_view inside = t.substr(1, t.size() - 2);
  if (inside.find(t[0]) != string_view::npos) return std::nullopt;
  return inside;
}

namespace {

// `name(` ... `)` spanning the whole text: the argument text, else nothing.
std::optional<string_view> call_args(string_view t, string_view name) {
  if (!t.starts_with(name) || t.size() <= name.size() || t[name.size()] != '(') return std::nullopt;
  if (closing(t, name.size(), '(', ')') != t.size() - 1) return std::nullopt;
  return t.substr(name.size() + 1, t.size() - name.size() - 2);
}

bool same_post(const std::vector<Selector>& sels) {
  return std::all_of(sels.begin(), sels.end(), [&](const Selector& s) { return s.post == sels[0].post; });
}

// `(//STEP)[N]` followed by steps: the N-th element of the document that
// STEP selects, then the steps below it. STEP is one `//` step whose tests
// are decided at its start tag, so the N-th is known when it starts (a
// document-wide count, Nth::global); the steps after it may be anything a
// path may hold. Nothing else may follow a grouped position.
std::optional<Selector> grouped_position_path(string_view inner, string_view pred, string_view steps) {
  steps = trim(steps);
  if (!inner.starts_with("//") || !steps.starts_with("/")) return std::nullopt;
  std::string compact = without_whitespace(pred);
  if (string_view(compact).starts_with("position()=")) compact.erase(0, 11);
  if (compact.empty() || !std::all_of(compact.begin(), compact.end(),
                                      [](char c) { return is_ascii_digit(static_cast<uint8_t>(c)); }))
    return std::nullopt;
  std::optional<int32_t> n = parse_decimal_i32(compact, false);
  if (!n) return std::nullopt;
  std::optional<std::vector<Selector>> head = compile_part(inner);
  if (!head || head->size() != 1) return std::nullopt;
  const Selector& h = (*head)[0];
  if (h.compounds.size() != 1 || h.terminal.kind != Terminal::Kind::kOuter || !h.post.empty()) return std::nullopt;
  const Compound& c = h.compounds[0];
  if (c.nth || c.rev || c.has || c.text) return std::nullopt;
  std::string path(inner);
  path.append(steps);
  std::optional<std::vector<Selector>> full = compile_part(path);
  if (!full || full->size() != 1) return std::nullopt;
  Selector sel = std::move((*full)[0]);
  if (sel.compounds[0] != c) return std::nullopt;  // the steps did not start after STEP
  sel.compounds[0].nth = Nth{0, *n, false, true, 0, true};
  return sel;
}

// `t` is canonical (see `canonical`).
std::vector<Selector> compile_expr(string_view t, unsigned depth) {
  if (depth > kMaxSelectorDepth) return {};
  t = trim(t);
  if (t.size() >= 17 && t.starts_with("normalize-space(") && t.ends_with(")")) {
    string_view inner = trim(t.substr(16, t.size() - 17));
    if (inner.empty() || inner == ".") return {};
    std::vector<Selector> in = compile_expr(inner, depth + 1);
    // Its value is the first node's, taken as the scan meets it: a column
    // step inside could not run first.
    // Nor can text that follows its element be taken as the scan meets it.
    if (in.size() != 1 || in[0].terminal.kind == Terminal::Kind::kNormalizeSpace || !in[0].post.empty() ||
        in[0].terminal.after)
      return {};
    Terminal wrapped;
    wrapped.kind = Terminal::Kind::kNormalizeSpace;
    wrapped.inner = Box<Terminal>(std::move(in[0].terminal));
    in[0].terminal = std::move(wrapped);
    return in;
  }
  // The string functions of a node-set: the first value (or one empty value)
  // of a text or attribute path, then cut. An element's string value would
  // need its whole text, which only normalize-space() gathers.
  {
    std::optional<string_view> args;
    ValueOp cut;
    if ((args = call_args(t, "string"))) {
      cut.kind = ValueOp::Kind::kFirst;
    } else if ((args = call_args(t, "substring-after"))) {
      cut.kind = ValueOp::Kind::kSubstringAfter;
    } else if ((args = call_args(t, "substring-before"))) {
      cut.kind = ValueOp::Kind::kSubstringBefore;
    }
    if (args) {
      std::vector<string_view> parts = split_top(*args, ",");
      if (parts.size() != (cut.kind == ValueOp::Kind::kFirst ? 1u : 2u)) return {};
      if (parts.size() == 2) {
        std::optional<string_view> lit = single_literal(trim(parts[1]));
        if (!lit) return {};
        cut.value = std::string(*lit);
      }
      std::vector<Selector> in = compile_expr(parts[0], depth + 1);
      if (in.empty() || !same_post(in)) return {};
      for (Selector& s : in) {
        if (s.terminal.kind == Terminal::Kind::kOuter) return {};
        // The inner value may already be one string (a nested function).
        const bool scalar = !s.post.empty() && (s.post.back().kind == ValueOp::Kind::kFirst ||
                                                s.post.back().kind == ValueOp::Kind::kSubstringAfter ||
                                                s.post.back().kind == ValueOp::Kind::kSubstringBefore);
        if (!scalar) s.post.push_back({ValueOp::Kind::kFirst, "", 0});
        if (cut.kind != ValueOp::Kind::kFirst) s.post.push_back(cut);
      }
      return in;
    }
  }
  std::vector<Selector> out;
  for (string_view member : split_top(t, "|")) {
    member = trim(member);
    if (member.starts_with("(")) {
      // A parenthesised path and at most one position in its node-set:
      // `(//a)[2]`, `(//a)[last()]`. Anything after it is refused.
      const size_t close = closing(member, 0, '(', ')');
      if (close == string_view::npos) return {};
      string_view rest = trim(member.substr(close + 1));
      if (!rest.empty() && rest[0] == '[') {
        const size_t end = closing(rest, 0, '[', ']');
        if (end != string_view::npos && end + 1 < rest.size()) {
          std::optional<Selector> nth = grouped_position_path(trim(member.substr(1, close - 1)),
                                                             rest.substr(1, end - 1), rest.substr(end + 1));
          if (!nth) return {};
          out.push_back(std::move(*nth));
          continue;
        }
      }
      std::vector<Selector> in = compile_expr(member.substr(1, close - 1), depth + 1);
      if (in.empty()) return {};
      if (!rest.empty()) {
        if (rest[0] != '[' || closing(rest, 0, '[', ']') != rest.size() - 1) return {};
        string_view pred = trim(rest.substr(1, rest.size() - 2));
        std::string compact = without_whitespace(pred);
        ValueOp op;
        if (compact.starts_with("position()=")) compact.erase(0, 11);
        if (std::optional<int32_t> n = parse_decimal_i32(compact, false)) {
          op.kind = ValueOp::Kind::kPosition;
          op.n = *n;
        } else if (std::optional<int32_t> k = last_from_end(pred)) {
          op.kind = ValueOp::Kind::kFromEnd;
          op.n = *k;
        } else {
          return {};
        }
        if (!same_post(in)) return {};
        for (Selector& s : in) s.post.push_back(op);
      }
      for (Selector& s : in) out.push_back(std::move(s));
      continue;
    }
    std::optional<std::vector<Selector>> part = compile_part(member);
    if (!part) return {};
    for (Selector& s : *part) out.push_back(std::move(s));
  }
  size_t outer = std::count_if(out.begin(), out.end(), [](const Selector& s) {
    return s.terminal.kind == Terminal::Kind::kOuter;
  });
  if (outer != 0 && outer != out.size()) return {};
  // Column steps act on the query's one column: every member must agree.
  if (!out.empty() && !same_post(out)) return {};
  return out;
}

}  // namespace

std::vector<Selector> compile_members_depth(string_view expr, unsigned depth) {
  if (depth > kMaxSelectorDepth) return {};
  string_view t = trim(expr);
  // Variable references need bindings this API does not take.
  if (any_outside_literals(t, [](char c) { return c == '$'; })) return {};
  const std::string canon = canonical_form(t);
  return compile_expr(canon, depth);
}

std::optional<Selector> compile(string_view expr) {
  std::vector<Selector> members = compile_members_depth(expr, 0);
  if (members.size() != 1) return std::nullopt;
  return std::move(members[0]);
}

}  // namespace ls
