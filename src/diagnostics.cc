// Unsupported-query diagnostics and the schema audit.
//
// Input: query text (and, for the audit, the compiled schema). Output: a fixed
// English message per unsupported query. The diagnostics never look at the
// compilers' internal failure points: they re-examine the query text with an
// ordered list of textual tests, and the first test that fires names the most
// likely cause. Every input yields exactly one message.
#include "diagnostics.h"

#include <algorithm>

#include "lib.h"
#include "selector.h"
#include "xpath.h"

namespace ls {

namespace {

// The messages, byte for byte.
constexpr const char kGeneric[] =
    "invalid or unsupported CSS selector for the Larkspine subset (tag/`*`, `.class`, `#id`, `[attr]`/`[attr=v]`, descendant/`>`/`+`/`~`, `::text`/`::attr(name)`)";
constexpr const char kOtherPseudo[] =
    "pseudo-class/element is unsupported; supported terminals are `::text` and `::attr(name)`";
constexpr const char kPseudoElement[] =
    "pseudo-element (`::before`, `::after`) is unsupported";
constexpr const char kNamespace[] =
    "namespace prefix (`ns|tag`) is unsupported";
constexpr const char kNotCombinator[] =
    ":not() with a combinator argument (e.g. `:not(a b)`) is unsupported; a compound argument (`:not(.x)`) and a compound LIST (`:not(.x, .y)`) are both fine";
constexpr const char kNthUniversal[] =
    "`:nth-child()`/`:nth-of-type()` on the universal `*` (e.g. `*:nth-of-type(2)`) is unsupported; name the element (`li:nth-of-type(2)`) — that form is supported";
constexpr const char kReverse[] =
    "a reverse position (`:last-*`/`:only-*`/`:nth-last-*`) is supported on ONE compound of a lone selector, with the value being that element's own (`li:last-child::text`), its subtree (`li:last-child ::text`), or a DESCENDANT's (`li:last-child b::text`); a comma group, a group sub-field, `*`-of-type isn't";
constexpr const char kContains[] =
    ":contains() is supported as cssselect defines it — ONE string/ident argument (`:contains(\"Price\")`), on ONE compound of a lone selector, with the value being that element's own (`dt:contains(\"Price\")::text`), its subtree (`div:contains(\"x\") ::text`), a DESCENDANT's (`div:contains(\"x\") a::attr(href)`), or a following SIBLING's (`dt:contains(\"Price\") + dd::text`). In a COMMA GROUP it must be the element's own value and the group must name one kind of node — all `::text`, or all `::attr` with the SAME name (`h2::text, p:contains(\"x\")::text`) — since the column is merged by document offset. Unsupported: a second `:contains()` on the same compound (cssselect ANDs them), one inside `:not()`/`:is()`, a `Many`/`One` member, a comma group whose members name different nodes or whose value comes from a subtree";
constexpr const char kIs[] =
    ":is()/:where() alternatives must be plain compounds (tag/`*`/class/id/attr/`:not`); a combinator (`:is(a b)`), a positional/reverse/`:has` inside an alternative, or a nested `:is` is unsupported. Combined forms like `div.a:is(.x, .y)` ARE supported (with correct AND semantics, which cssselect also produces from 1.5.0 on; it ORed them up to 1.4.0)";
constexpr const char kHas[] =
    ":has() is supported on ONE compound of a lone selector, as a relative selector LIST whose members are each one compound — `:has(a)`, `:has(> img)`, `:has(a, img)`, `:has(> a, > img)`. The value may be that element's own (`div:has(a)::attr(id)`), its subtree (`div:has(a) ::text`), or a DESCENDANT's (`div:has(a) a::attr(href)`). A member may be a tag/`*`/id/class/attribute/`:not` compound (id/attribute/`:not` members and the list itself are a divergence in our favor; cssselect rejects them). Unsupported: a chain/sibling inside (`:has(.a .b)`, `:has(a + b)`), a list MIXING relative combinators (`:has(> a, img)`), a nested/second `:has`, a positional inner, a group member";
constexpr const char kAxis[] =
    "unsupported XPath axis — supported axes are child (`/`, `child::`), descendant (`//`, `descendant::`), `following-sibling::` and `following::` (after a single `/`), and `ancestor::`/`parent::`/`..` right after a first `//` step (`//INNER/ancestor::E`, `//INNER/..//x`); `preceding[-sibling]::`, `ancestor-or-self::` and `self::` outside a predicate (`//*[self::p or self::pre]` is supported) are not";
constexpr const char kOutsideSubset[] =
    "outside the supported downward-XPath subset (child/descendant steps, `*`/tag tests, attribute predicates, `text()`/`@attr` terminals)";
constexpr const char kPlacement[] =
    "the path compiles, but its steps decided when an element closes (a text test, a path in a predicate such as `[p]` or `[.//a]`, `..`/`parent::`/`ancestor::`, `[last()]`) cannot all be placed: at most three such steps in one path, a `[last()]` only as the first of them and not on an outer-HTML subject, and no `following-sibling::` step after one";
constexpr const char kUppercase[] =
    "uppercase name in the path — libxml2 lowercases HTML names but XPath name-tests are case-sensitive, so it matches nothing; lowercase the tag/attribute name";
constexpr const char kBareAbsolute[] =
    "a single-slash `/x` selects only the document root element; use `//x` (any depth) or `/html/…`";
constexpr const char kAbsoluteSubField[] =
    "absolute XPath in a grouped sub-field searches the whole document, not the container (empty column); write it relative to the container (`.//h1/text()`)";
constexpr const char kFollowing[] =
    "this `following::` form is unsupported; `following::E` and `following::E[1]` after a single `/` are supported when E is a name test with attribute predicates; the step before the axis may test its text or a path (`//h3[contains(text(), 'x')]/following::table[1]//td/text()`), and so may the steps below E (`//h3/following::table[1]//tr[not(th)]`); `//following::`, a position other than a last `[1]`, a text or path test on E itself or on a step before the one the axis starts from, a second `following::` or sibling step, and `following::` inside a predicate are not";
constexpr const char kFunction[] =
    "this XPath function or placement is unsupported; supported are, at the top, `normalize-space(path)`, `string(path)`, `substring-after(path, \"v\")` and `substring-before(path, \"v\")` of a text or attribute path (flat fields only); in a predicate, `not(@a)`/`not(@a=\"v\")`/`not(contains(@a, \"v\"))`; on a text or attribute node, `[normalize-space()]`, `[contains(., \"v\")]`, `[starts-with(., \"v\")]`, `[.=\"v\"]`, `[normalize-space()=\"v\"]`; `not()` of a path (`[not(p)]`, `[not(.//a)]`) and of a text test; `count(x) = N` (also `!=`, `<`, `<=`, `>`, `>=`) of one child step in a predicate (`//tr[count(td)=8]`); any other `count()`, `concat()`, `translate()`, `substring()` and `string-length()` are not";
constexpr const char kTextPredicate[] =
    "this text-content predicate form is unsupported; ONE text test per step is supported \u2014 `[.=\"v\"]`, `[contains(.,\"v\")]`, `[text()=\"v\"]`, `[contains(text(),\"v\")]`, `[normalize-space()]`, `[normalize-space(text())]`, `[normalize-space(text())=\"v\"]`, `[normalize-space()=\"v\"]`, `[contains(normalize-space(),\"v\")]` (a value without white space at either end), or `not()` of one \u2014 alone or joined to attribute tests by `and`, on the step that holds the value or inside a path predicate (`//tr[th[.=\"x\"]]`); two text tests on one step, one under `or`, `!=`/`<`/`>`, `string-length(...)`, a path inside `contains()`, and a text test on a `following-sibling::` step are not";
constexpr const char kPositional[] =
    "positional predicate (`[position()<n]` or `[last()]` combined with another predicate, `[N]` after an `or` (`//li[@a or @b][1]`), a position other than `[1]` after a text or path test, a position other than a last `[1]` on a `following-sibling::` step, or on a text node (`text()[1]`)) is unsupported; `[N]` (`//li[2]`), `[last()]`/`[last()-k]` or a range alone (`[position()>1]`, `[position()<=3]`) on an element step is supported, `[N]` also before or after attribute tests (`//li[2][@a]`, `//li[@a][2]`, counted among the siblings that pass them), `[1]` after a text or path test (`//h3[contains(., \"x\")][1]`, the first sibling that passes it), and so is one position of a whole parenthesised path (`(//li/text())[2]`, `(//a)[last()]`), followed by more steps when the path is one `//` step decided at its start tag and the position a number (`(//div[@class=\"x\"])[2]/p/text()`)";
constexpr const char kUnquoted[] =
    "comparison against an unquoted operand — XPath reads `[@a=2]` numerically (`@a=\"02\"` matches) and `[@a=b]` as a node-set compare against child `<b>` elements, neither of which is a byte compare; quote the value (`[@a=\"2\"]`) if a literal is what you meant";
constexpr const char kVariable[] =
    "XPath variable reference (`$name`) is unsupported — Larkspine's API takes no variable bindings (unlike `sel.xpath(q, name=…)`); inline the value as a quoted literal";
constexpr const char kUnexplained[] =
    "comma group is unsupported here, and none of the three known causes (an unsupported member, a deferred member, mixed terminals) applies — the taxonomy is meant to be exhaustive, so this is worth reporting";
constexpr const char kMixed[] =
    "comma group mixes an element (outer-HTML) terminal with a value (`::text`/`::attr`) terminal — a deferred capture can't be ordered against streamed values, so document order is unrecoverable; use one terminal kind per group";

std::string lower_copy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
  return out;
}

bool contains(std::string_view h, std::string_view n) { return h.find(n) != std::string_view::npos; }

// Whether the one-query schema compiled from these selectors serves query 0.
bool serves_query_zero(const std::vector<Selector>& selectors) {
  if (selectors.empty()) return false;
  SchemaSelectors one;
  one.flat.push_back(selectors);
  CompiledSchema s = CompiledSchema::compile(one);
  if (std::any_of(s.csels.begin(), s.csels.end(),
                  [](const CSel& c) { return c.flat && c.dest == 0 && !c.cold; }))
    return true;
  auto live = [](const auto& list) {
    return std::any_of(list.begin(), list.end(),
                       [](const DeferredTemplate& t) { return t.query == 0u && !t.cold; });
  };
  return live(s.revs) || live(s.has_entries) || live(s.text_entries);
}

bool carries_deferred(const Compound& c) {
  if (c.rev || c.has || c.text) return true;
  return std::any_of(c.nots.begin(), c.nots.end(), carries_deferred);
}

std::string comma_group_reason(const std::vector<std::string_view>& members) {
  // A comma group is CSS throughout: a member in XPath form compiles on its
  // own, but not inside the group (`a, //b` is neither CSS nor XPath).
  for (std::string_view m : members)
    if (routes_to_xpath(trim_unicode_whitespace(m)))
      return "a comma-group member is itself unsupported \xE2\x80\x94 a comma group is CSS and this member is "
             "XPath (an XPath union is written with `|`); the member is `" +
             std::string(trim_unicode_whitespace(m)) + "`";
  for (std::string_view m : members)
    if (!serves_query_zero(compile_query(m)))
      return std::string("a comma-group member is itself unsupported \xE2\x80\x94 ") + reason(m) +
             "; the member is `" + std::string(trim_unicode_whitespace(m)) + "`";
  for (std::string_view m : members) {
    std::optional<Selector> s = compile_one(m);
    if (s && std::any_of(s->compounds.begin(), s->compounds.end(), carries_deferred))
      return "a comma-group member needs deferred-close matching (a reverse position, `:has()`, or a "
             "text-content predicate), which resolves at an element's close and so cannot interleave "
             "with the group's streamed members in document order; the member is `" +
             std::string(trim_unicode_whitespace(m)) + "`";
  }
  size_t outer = 0;
  for (std::string_view m : members) {
    std::optional<Selector> s = compile_one(m);
    if (s && s->terminal.kind == Terminal::Kind::kOuter) ++outer;
  }
  return outer != 0 && outer != members.size() ? kMixed : kUnexplained;
}

}  // namespace

bool contains_ci(std::string_view haystack, std::string_view lower_needle) {
  return contains(lower_copy(haystack), lower_needle);
}

bool not_arg_has_combinator(std::string_view text) {
  std::string low = lower_copy(text);
  size_t at = low.find(":not(");
  if (at == std::string::npos) return false;
  size_t s = at + 5, i = s;
  int depth = 0;
  for (; i < low.size(); ++i) {
    if (low[i] == '(') ++depth;
    else if (low[i] == ')' && depth-- == 0) break;
  }
  if (i >= low.size()) return false;
  for (std::string_view m : split_top_commas(std::string_view(text).substr(s, i - s))) {
    m = trim_unicode_whitespace(m);
    if (m.find_first_of(" +>~") != std::string_view::npos) return true;
  }
  return false;
}

bool has_namespace_prefix(std::string_view text) { return contains(text, "|") && !contains(text, "||"); }

bool has_other_pseudo(std::string_view text) {
  std::string low = lower_copy(text);
  for (size_t at; (at = low.find("::text")) != std::string::npos;) low.erase(at, 6);
  for (size_t at; (at = low.find("::attr(")) != std::string::npos;) low.replace(at, 7, "@@ATTR@@(");
  return low.find(':') != std::string::npos;
}

std::vector<std::string_view> each_predicate(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '[') {
      ++i;
      continue;
    }
    int depth = 0;
    char quote = 0;
    size_t j = i;
    for (; j < text.size(); ++j) {
      const char c = text[j];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++depth;
      } else if (c == ']' && --depth == 0) {
        break;
      }
    }
    out.push_back(text.substr(i + 1, std::min(j, text.size()) - (i + 1)));
    i = j + 1;
  }
  return out;
}

bool is_bare_absolute_nonroot(std::string_view text) {
  if (!text.starts_with("/") || text.starts_with("//")) return false;
  std::string_view rest = text.substr(1);
  while (!rest.empty() && is_ascii_whitespace(static_cast<uint8_t>(rest[0]))) rest.remove_prefix(1);
  return !(rest == "html" || rest.starts_with("html/") || rest.starts_with("html["));
}

// The query without its `following::` axis names (outside literals), and
// whether it had any.
std::pair<std::string, bool> without_following(std::string_view q) {
  std::string out;
  bool found = false;
  char quote = 0;
  for (size_t i = 0; i < q.size(); ++i) {
    const char c = q[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (q.substr(i).starts_with("following::") && (i == 0 || q[i - 1] != '-')) {
      found = true;
      i += 10;
      continue;
    }
    out.push_back(c);
  }
  return {std::move(out), found};
}

std::string xpath_reason(std::string_view query) {
  if (any_outside_literals(query, [](char c) { return c == '$'; })) return kVariable;
  // The compiler took it: the matcher could not place it as a flat query.
  const auto [rest, following] = without_following(query);
  if (!compile_members_depth(query, 0).empty()) return following ? kFollowing : kPlacement;
  // With `following::` written as a child step the rest compiles: the axis
  // (its form, or what follows it) is the cause. Otherwise the cause lies in
  // the rest, and the rest is examined.
  if (following && !compile_members_depth(rest, 0).empty()) return kFollowing;
  const std::string_view q = following ? std::string_view(rest) : query;
  const std::vector<std::string_view> preds = each_predicate(q);
  for (std::string_view p : preds) {
    p = trim_unicode_whitespace(p);
    while (!p.empty() && p.back() == ')') p.remove_suffix(1);
    size_t at = p.rfind('=');
    if (at == std::string_view::npos) at = p.rfind(',');
    if (at == std::string_view::npos) continue;
    std::string_view operand = trim_unicode_whitespace(p.substr(at + 1));
    bool plain = !operand.empty() && std::all_of(operand.begin(), operand.end(), [](char c) {
      uint8_t u = static_cast<uint8_t>(c);
      return is_ascii_alpha(u) || is_ascii_digit(u) || c == '$' || c == '-' || c == '.' || c == ':' || c == '_';
    });
    if (plain) return kUnquoted;
  }
  if ((q.size() > 2 && contains(q, "::") && !contains(q, "()")) || q == "::") return kAxis;
  // An axis named outside literals is the cause even beside a position or a
  // text test (`//h3[contains(text(), "x")]/following::table[1]`).
  {
    static constexpr std::string_view kUnsupportedAxes[] = {
        "preceding::", "preceding-sibling::", "self::", "namespace::", "attribute::"};
    char quote = 0;
    for (size_t i = 0; i < q.size(); ++i) {
      const char c = q[i];
      if (quote) {
        if (c == quote) quote = 0;
        continue;
      }
      if (c == '"' || c == '\'') {
        quote = c;
        continue;
      }
      for (std::string_view axis : kUnsupportedAxes)
        if (q.substr(i).starts_with(axis)) return kAxis;  // also `ancestor-or-self::`, `descendant-or-self::`
    }
  }
  for (std::string_view p : preds) {
    p = trim_unicode_whitespace(p);
    bool digits = !p.empty() && std::all_of(p.begin(), p.end(), [](char c) { return is_ascii_digit(static_cast<uint8_t>(c)); });
    if (digits || contains_ci(p, "last()") || contains_ci(p, "position(")) return kPositional;
  }
  for (std::string_view p : preds)
    if (contains_ci(p, "text()") || contains_ci(p, "normalize-space(")) return kTextPredicate;
  for (const char* f : {"normalize-space(", "count(", "string(", "not(", "concat(", "translate(", "substring("})
    if (contains_ci(q, f)) return kFunction;
  if (is_bare_absolute_nonroot(q)) return kBareAbsolute;
  if (any_outside_literals(q, [](char c) { return c >= 'A' && c <= 'Z'; })) return kUppercase;
  return kOutsideSubset;
}

std::string reason(std::string_view query) {
  std::string_view t = trim_unicode_whitespace(query);
  if (t.empty()) return "empty selector";
  if (routes_to_xpath(t) || t == ".")
    return xpath_reason(canonical(t));
  std::vector<std::string_view> members = split_top_commas(t);
  if (members.size() >= 2) return comma_group_reason(members);
  const std::string l = lower_copy(t);
  if (contains(l, ":has(")) return kHas;
  if (contains(l, ":is(") || contains(l, ":where(")) return kIs;
  if (contains(l, ":contains(")) return kContains;
  for (const char* r : {":nth-last-", ":last-child", ":last-of-type", ":only-child", ":only-of-type"})
    if (contains(l, r)) return kReverse;
  if (contains(l, ":nth-")) return kNthUniversal;
  if (contains(l, ":not(") && not_arg_has_combinator(t)) return kNotCombinator;
  if (has_namespace_prefix(t)) return kNamespace;
  if (contains(l, "::before") || contains(l, "::after")) return kPseudoElement;
  if (has_other_pseudo(t)) return kOtherPseudo;
  return kGeneric;
}

SchemaAudit audit_schema(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups) {
  SchemaSelectors selectors = compile_schema(flat, groups);
  SchemaAudit out;
  out.budget = count_budget(selectors);
  const CompiledSchema s = CompiledSchema::compile(selectors);

  // Which queries and containers compiled: one pass over the compiled
  // schema, not one per query.
  std::vector<bool> compiled_flat(flat.size(), false);
  for (const CSel& c : s.csels)
    if (c.flat && c.dest < compiled_flat.size()) compiled_flat[c.dest] = true;
  auto mark = [&](const auto& list) {
    for (const DeferredTemplate& t : list)
      if (t.query && *t.query < compiled_flat.size()) compiled_flat[*t.query] = true;
  };
  mark(s.revs);
  mark(s.has_entries);
  mark(s.text_entries);
  std::vector<bool> compiled_container(groups.size(), false);
  for (const auto& p : s.containers)
    if (p.second < compiled_container.size()) compiled_container[p.second] = true;

  for (uint32_t i = 0; i < flat.size(); ++i)
    out.flat.push_back(compiled_flat[i] ? Support{} : Support{reason(flat[i])});

  for (uint32_t g = 0; g < groups.size(); ++g) {
    const GroupQuery& gq = groups[g];
    Support container;
    if (!compiled_container[g]) {
      if (auto r = group_shape_reason(gq.container)) container.reason = *r;
      else if (!compile_one(gq.container)) container.reason = reason(gq.container);
      else container.reason = "selector requires deferred-close matching, which is unsupported for a grouped container (empty group)";
    }
    std::vector<Support> subs;
    for (size_t j = 0; j < gq.fields.size(); ++j) {
      const std::string& q = gq.fields[j].second;
      Support sub;
      if (!(g < s.groups.size() && j < s.groups[g].subs.size() && s.groups[g].subs[j].segment)) {
        std::optional<Selector> sel = compile_sub(q);
        if (absolute_sub_field(q)) {
          sub.reason = kAbsoluteSubField;
        } else if (auto r = group_shape_reason(q)) {
          sub.reason = *r;
        } else if (sel && std::any_of(sel->combs.begin(), sel->combs.end(), [](Comb c) {
                     return c == Comb::kAdjacent || c == Comb::kSibling || c == Comb::kSiblingFirst;
                   })) {
          sub.reason = "sibling combinator (`+`/`~`) inside a grouped sub-field is unsupported (empty column)";
        } else if (sel && std::any_of(sel->combs.begin(), sel->combs.end(), is_following)) {
          sub.reason = "the following:: axis inside a grouped sub-field is unsupported (empty column)";
        } else if (!sel) {
          sub.reason = reason(q);
        } else {
          sub.reason = "selector requires deferred-close matching, which is unsupported inside a grouped sub-field (empty column)";
        }
      }
      subs.push_back(std::move(sub));
    }
    out.groups.emplace_back(std::move(container), std::move(subs));
  }
  return out;
}

}  // namespace ls
