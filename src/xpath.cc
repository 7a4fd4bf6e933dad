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

bool is_text_subject(string_view s, bool* own) {
  s = trim(s);
  if (s == "text()") {
    *own = true;
    return true;
  }
  if (s == ".") {
    *own = false;
    return true;
  }
  return false;
}

std::optional<TextPred> text_predicate(string_view pred) {
  pred = trim(pred);
  if (pred.starts_with("contains(") && pred.ends_with(")")) {
    string_view inside = pred.substr(9, pred.size() - 10);
    size_t comma = inside.find(',');
    bool own;
    if (comma != string_view::npos && is_text_subject(inside.substr(0, comma), &own))
      if (auto lit = single_literal(trim(inside.substr(comma + 1))))
        return TextPred{std::string(*lit), own, true};
  }
  for (size_t i = 0; i < pred.size(); ++i) {
    if (pred[i] != '=') continue;
    if (i > 0 && (pred[i - 1] == '!' || pred[i - 1] == '<' || pred[i - 1] == '>')) continue;
    bool own;
    if (!is_text_subject(pred.substr(0, i), &own)) return std::nullopt;
    auto lit = single_literal(trim(pred.substr(i + 1)));
    if (!lit) return std::nullopt;
    return TextPred{std::string(*lit), own, false};
  }
  return std::nullopt;
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
};

std::optional<Step> parse_step(string_view text) {
  Step step;
  size_t axis = text.find("::");
  if (axis != string_view::npos) {
    if (text.substr(0, axis) != "following-sibling") return std::nullopt;
    step.sibling_axis = true;
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
  // Predicates: a sequence of [...] groups, brackets counted, quotes not.
  std::vector<string_view> preds;
  while (pos < text.size()) {
    if (text[pos] != '[') return std::nullopt;
    int depth = 0;
    size_t i = pos;
    for (; i < text.size(); ++i) {
      if (text[i] == '[') ++depth;
      else if (text[i] == ']' && --depth == 0) break;
    }
    if (i >= text.size()) return std::nullopt;
    preds.push_back(trim(text.substr(pos + 1, i - pos - 1)));
    pos = i + 1;
  }
  const bool star = *base.tag == "*";
  if (!step.sibling_axis && preds.size() == 1) {
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
    if (std::optional<TextPred> tp = text_predicate(p)) {
      base.text = std::move(*tp);
      step.alternatives.push_back(std::move(base));
      return step;
    }
  }
  std::vector<Compound> alts{base};
  for (string_view pred : preds) {
    std::vector<std::vector<AttrPred>> branches;
    for (string_view branch : split_top(pred, " or ")) {
      std::vector<AttrPred> tests;
      for (string_view test : split_top(branch, " and ")) {
        std::optional<AttrPred> a = attr_test(test);
        if (!a) return std::nullopt;
        tests.push_back(std::move(*a));
      }
      branches.push_back(std::move(tests));
    }
    if (alts.size() * branches.size() > kMaxAlternatives) return std::nullopt;
    std::vector<Compound> next;
    for (const Compound& alt : alts)
      for (const auto& branch : branches) {
        Compound c = alt;
        c.attrs.insert(c.attrs.end(), branch.begin(), branch.end());
        next.push_back(std::move(c));
      }
    alts = std::move(next);
  }
  step.alternatives = std::move(alts);
  return step;
}

std::optional<Compound> build_upward(string_view text) {
  std::optional<Step> s = parse_step(text);
  if (!s || s->sibling_axis || s->alternatives.size() != 1) return std::nullopt;
  Compound& c = s->alternatives[0];
  if (c.nth || c.rev || c.has || c.text) return std::nullopt;
  return std::move(c);
}

struct RawStep {
  bool descendant;  // separated by "//"
  string_view text;
};

std::optional<std::vector<Selector>> compile_part(string_view member) {
  Terminal terminal;
  string_view path;
  if (member.ends_with("//text()")) {
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
    size_t e = s;
    for (; e < path.size(); ++e) {
      char c = path[e];
      if (c == '(' || c == '[') ++depth;
      else if (c == ')' || c == ']') --depth;
      else if (c == '/' && depth == 0) break;
    }
    string_view text = trim(path.substr(s, e - s));
    if (text.empty()) return std::nullopt;
    steps.push_back({descendant, text});
    pos = e;
  }
  if (steps.empty()) return std::nullopt;

  // The upward forms //INNER/ancestor::E and //INNER/parent::E.
  bool upward = std::any_of(steps.begin(), steps.end(), [](const RawStep& s) {
    return s.text.find("ancestor::") != string_view::npos || s.text.find("parent::") != string_view::npos;
  });
  if (upward) {
    if (steps.size() != 2 || relative || !steps[0].descendant || steps[1].descendant)
      return std::nullopt;
    string_view second = steps[1].text;
    bool child;
    if (second.starts_with("ancestor::")) {
      child = false;
      second.remove_prefix(10);
    } else if (second.starts_with("parent::")) {
      child = true;
      second.remove_prefix(8);
    } else {
      return std::nullopt;
    }
    std::optional<Compound> inner = build_upward(steps[0].text);
    std::optional<Compound> outer = build_upward(second);
    if (!inner || !outer) return std::nullopt;
    outer->has = Has{Box<Compound>(std::move(*inner)), child};
    Selector sel;
    sel.compounds.push_back(std::move(*outer));
    sel.terminal = std::move(terminal);
    return std::vector<Selector>{std::move(sel)};
  }

  std::vector<Step> parsed;
  std::vector<Comb> combs;
  for (size_t i = 0; i < steps.size(); ++i) {
    std::optional<Step> st = parse_step(steps[i].text);
    if (!st) return std::nullopt;
    if (i == 0) {
      if (st->sibling_axis) return std::nullopt;
    } else if (st->sibling_axis) {
      if (steps[i].descendant) return std::nullopt;
      combs.push_back(Comb::kSibling);
    } else {
      combs.push_back(steps[i].descendant ? Comb::kDescendant : Comb::kChild);
    }
    parsed.push_back(std::move(*st));
  }
  if (!steps[0].descendant) {  // rooted: /html/...
    if (relative || parsed[0].alternatives[0].tag != "html") return std::nullopt;
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

std::optional<string_view> single_literal(string_view t) {
  if (t.size() < 2 || (t[0] != '"' && t[0] != '\'') || t.back() != t[0]) return std::nullopt;
  string_view inside = t.substr(1, t.size() - 2);
  if (inside.find(t[0]) != string_view::npos) return std::nullopt;
  return inside;
}

std::vector<Selector> compile_members_depth(string_view expr, unsigned depth) {
  if (depth > kMaxSelectorDepth) return {};
  string_view t = trim(expr);
  // Variable references need bindings this API does not take.
  if (any_outside_literals(t, [](char c) { return c == '$'; })) return {};
  if (t.size() >= 17 && t.starts_with("normalize-space(") && t.ends_with(")")) {
    string_view inner = trim(t.substr(16, t.size() - 17));
    if (inner.empty() || inner == ".") return {};
    std::vector<Selector> in = compile_members_depth(inner, depth + 1);
    if (in.size() != 1 || in[0].terminal.kind == Terminal::Kind::kNormalizeSpace) return {};
    Terminal wrapped;
    wrapped.kind = Terminal::Kind::kNormalizeSpace;
    wrapped.inner = Box<Terminal>(std::move(in[0].terminal));
    in[0].terminal = std::move(wrapped);
    return in;
  }
  std::vector<Selector> out;
  for (string_view member : split_top(t, "|")) {
    std::optional<std::vector<Selector>> part = compile_part(trim(member));
    if (!part) return {};
    for (Selector& s : *part) out.push_back(std::move(s));
  }
  size_t outer = std::count_if(out.begin(), out.end(), [](const Selector& s) {
    return s.terminal.kind == Terminal::Kind::kOuter;
  });
  if (outer != 0 && outer != out.size()) return {};
  return out;
}

std::optional<Selector> compile(string_view expr) {
  std::vector<Selector> members = compile_members_depth(expr, 0);
  if (members.size() != 1) return std::nullopt;
  return std::move(members[0]);
}

}  // namespace ls
