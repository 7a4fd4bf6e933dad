// The text dump of the selector model. One line per selector:
//   [relative ][anchor=N ]COMPOUND (COMB COMPOUND)* -> TERMINAL( | STEP)*
// A compound prints its tag, #id, .classes, [attr op "value" i], then
// :not(..), :is(..), :nth(a,b[,of-type|,filtered|,global]), :rev(a,b[,only][,of-type]),
// :has([> ]..), :text(own|all,contains|equals,"v") and {sig=0x..} when set.
// A column step prints its name and its argument: ` | position(2)`,
// ` | contains"x"`.
#include <cstdio>
#include <string>

#include "selector_model.h"

namespace ls {

namespace {

void quoted(std::string& out, const std::string& s) {
  out.push_back('"');
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void compound_list(std::string& out, const char* name, const std::vector<Compound>& list) {
  out.append(name).push_back('(');
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) out.append(", ");
    out.append(dump(list[i]));
  }
  out.push_back(')');
}

void terminal(std::string& out, const Terminal& t) {
  switch (t.kind) {
    case Terminal::Kind::kText:
      out.append(t.subtree ? "text(subtree)" : t.after ? "text(after)" : "text");
      break;
    case Terminal::Kind::kAttr:
      out.append("attr(").append(t.name).append(t.descendants ? ", descendants)" : ")");
      break;
    case Terminal::Kind::kOuter:
      out.append("outer");
      break;
    case Terminal::Kind::kNormalizeSpace:
      out.append("normalize-space(");
      if (t.inner) terminal(out, **t.inner);
      out.push_back(')');
      break;
  }
}

}  // namespace

std::string dump(const Compound& c) {
  static const char* kOps[] = {"", "=", "^=", "$=", "*=", "~=", "|="};
  std::string out;
  if (c.tag) out.append(*c.tag);
  if (c.id) out.append("#").append(*c.id);
  for (const std::string& cls : c.classes) out.append(".").append(cls);
  for (const AttrPred& a : c.attrs) {
    out.append("[").append(a.name);
    if (a.op != AttrOp::kExists) {
      out.append(kOps[static_cast<int>(a.op)]);
      quoted(out, a.value);
    }
    if (a.ci) out.append(" i");
    out.append("]");
  }
  if (!c.nots.empty()) compound_list(out, ":not", c.nots);
  for (const auto& group : c.is_groups) compound_list(out, ":is", group);
  if (c.nth) {
    out.append(":nth(" + std::to_string(c.nth->a) + "," + std::to_string(c.nth->b));
    out.append(c.nth->of_type ? ",of-type)" : c.nth->global ? ",global)" : c.nth->filtered ? ",filtered)" : ")");
  }
  if (c.rev) {
    out.append(":rev(" + std::to_string(c.rev->a) + "," + std::to_string(c.rev->b));
    if (c.rev->only) out.append(",only");
    out.append(c.rev->of_type ? ",of-type)" : ")");
  }
  if (c.has) {
    out.append(c.has->negated ? ":not-has(" : ":has(").append(c.has->child ? "> " : "");
    for (const Compound& step : c.has->via) out.append(dump(step)).append(" > ");
    out.append(dump(*c.has->inner));
    if (c.has->count_op != Has::CountOp::kNone) {
      static const char* kOps[] = {"", "=", "!=", "<", "<=", ">", ">="};
      out.append(" count").append(kOps[static_cast<int>(c.has->count_op)]).append(std::to_string(c.has->count));
    }
    out.append(")");
  }
  if (c.text) {
    out.append(":text(").append(c.text->negated ? "not," : "").append(c.text->own ? "own," : "all,");
    if (c.text->normalized) out.append("normalized,");
    out.append(c.text->nonblank ? "nonblank," : c.text->substring ? "contains," : "equals,");
    quoted(out, c.text->value);
    out.append(")");
  }
  if (c.sig) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "{sig=0x%llx}", static_cast<unsigned long long>(c.sig));
    out.append(buf);
  }
  if (out.empty()) out = "{}";  // a compound with no test at all
  return out;
}

std::string dump(const Selector& s) {
  static const char* kCombs[] = {" ", " > ", " + ", " ~ ", " following ", " following[1] ",
                                 " ~[1] "};
  std::string out;
  if (s.relative) out.append("relative ");
  if (s.base_child) out.append("base-child ");
  if (s.anchor) out.append("anchor=" + std::to_string(*s.anchor) + " ");
  for (size_t i = 0; i < s.compounds.size(); ++i) {
    if (i) out.append(i - 1 < s.combs.size() ? kCombs[static_cast<int>(s.combs[i - 1])] : " ? ");
    out.append(dump(s.compounds[i]));
  }
  out.append(" -> ");
  terminal(out, s.terminal);
  static const char* kPost[] = {"nonblank", "contains", "equals", "starts-with", "normalized-equals",
                                "position", "from-end", "first", "substring-after", "substring-before"};
  for (const ValueOp& op : s.post) {
    out.append(" | ").append(kPost[static_cast<int>(op.kind)]);
    if (op.kind == ValueOp::Kind::kPosition || op.kind == ValueOp::Kind::kFromEnd)
      out.append("(").append(std::to_string(op.n)).append(")");
    else if (op.kind != ValueOp::Kind::kNonBlank && op.kind != ValueOp::Kind::kFirst)
      quoted(out, op.value);
  }
  return out;
}

namespace {

std::optional<std::string> compound_violation(const Compound& c, bool nested_is, unsigned depth) {
  if (depth > 40) return "nesting deeper than any parser allows";
  if (c.nth && c.rev) return "nth and rev both set";
  // A filtered position beside a test decided late is only `[1]` (the first
  // sibling that passes it), never counted over the document.
  const bool first_after_close = c.nth && c.nth->filtered && c.nth->a == 0 && c.nth->b == 1 && !c.nth->global;
  if (c.nth && c.nth->filtered &&
      (c.nth->of_type || ((c.text || c.has) && !first_after_close) || c.rev || !c.is_groups.empty()))
    return "a filtered position beside a test decided late, or of-type";
  if ((c.nth && c.nth->of_type) || (c.rev && c.rev->of_type))
    if (!c.tag || *c.tag == "*") return "-of-type position without a tag";
  if (c.sig != 0) return "sig set by a front end";
  if (nested_is && (c.nth || c.rev || c.has || c.text || !c.is_groups.empty()))
    return "a nested alternative carries a position, :has, text or :is";
  for (const Compound& n : c.nots) {
    if (!n.is_groups.empty()) return "a negation carries :is";
    if (auto v = compound_violation(n, false, depth + 1)) return v;
  }
  for (const auto& group : c.is_groups) {
    if (group.empty()) return "an empty :is list";
    for (const Compound& m : group)
      if (auto v = compound_violation(m, true, depth + 1)) return v;
  }
  if (c.has) {
    const Compound& inner = *c.has->inner;
    bool list_form = !inner.tag && !inner.id && inner.classes.empty() && inner.attrs.empty() &&
                     inner.nots.empty() && inner.is_groups.size() == 1 && !inner.nth && !inner.rev &&
                     !inner.has && !inner.text;
    if (list_form) {
      for (const Compound& m : inner.is_groups[0])
        if (auto v = compound_violation(m, true, depth + 1)) return v;
    } else {
      // A single argument may test its own text (XPath `[.//th[.="x"]]`):
      // that is decided when the argument's element closes, before the
      // candidate around it does.
      Compound plain = inner;
      plain.text.reset();
      if (auto v = compound_violation(plain, true, depth + 1)) return v;
    }
    for (const Compound& step : c.has->via) {
      if (list_form || step.text) return "a step of a :has() path is a list or tests its text";
      if (auto v = compound_violation(step, true, depth + 1)) return v;
    }
    if (c.has->count_op != Has::CountOp::kNone &&
        (!c.has->child || !c.has->via.empty() || inner.text || c.has->negated || list_form))
      return "a :has() count on an argument other than one plain child step";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> model_violation(const Selector& s) {
  if (s.compounds.empty()) return "no compound";
  if (s.combs.size() + 1 != s.compounds.size()) return "combinator count does not match";
  if (s.terminal.kind == Terminal::Kind::kNormalizeSpace) {
    if (!s.terminal.inner) return "normalize-space without an inner terminal";
    if ((*s.terminal.inner)->kind == Terminal::Kind::kNormalizeSpace) return "nested normalize-space";
  }
  for (const Compound& c : s.compounds)
    if (auto v = compound_violation(c, false, 0)) return v;
  return std::nullopt;
}

}  // namespace ls
