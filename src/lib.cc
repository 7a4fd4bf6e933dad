// Extraction entry, query routing, input preparation, plans and the budget.
//
// Input: query strings, groups, and a document with an optional label.
// Output: selectors per query (routing), a Plan (compiled schema plus budget
// figures), and the flat and grouped results of one scan.
// Invariants: nothing here reports an error for a query or a document; an
// unsupported query compiles to nothing and its column stays empty. A
// prepared document never exceeds kMaxDocumentBytes, so every offset the
// tokenizer and matcher compute fits 32 bits.
#include "lib.h"

#include <algorithm>
#include <cstring>

#include "encoding.h"
#include "selector.h"
#include "whatwg/decode.h"
#include "xpath.h"

namespace ls {

namespace {

// Drops the leading/trailing bytes 09-0D and 20 (vertical tab included).
inline bool is_trim_byte(uint8_t c) { return (c >= 0x09 && c <= 0x0D) || c == 0x20; }

}  // namespace

// A path (`/`, `./`), a parenthesised path (`(//a)[1]`) or a function call
// (`normalize-space(`, `substring-after (`): no CSS selector starts so.
bool routes_to_xpath(Bytes t) {
  if (t.empty()) return false;
  if (t[0] == '/' || t[0] == '(' || t.starts_with("./") || t == ".") return true;
  size_t i = 0;
  while (i < t.size() && ((t[i] >= 'a' && t[i] <= 'z') || (i > 0 && t[i] == '-'))) ++i;
  if (i == 0) return false;
  while (i < t.size() && is_ascii_whitespace(static_cast<uint8_t>(t[i]))) ++i;
  return i < t.size() && t[i] == '(';
}

std::vector<Selector> compile_query(std::string_view query) {
  Bytes t = trim_unicode_whitespace(query);
  if (routes_to_xpath(t)) return compile_members_depth(t, 0);
  return parse_list(query);  // CSS trims by its own rules
}

std::optional<Selector> compile_one(std::string_view query) {
  Bytes t = trim_unicode_whitespace(query);
  if (routes_to_xpath(t)) {
    std::optional<Selector> s = compile(t);
    // A scalar cannot be grouped, nor a column step run per row.
    if (s && (s->terminal.kind == Terminal::Kind::kNormalizeSpace || !s->post.empty())) return std::nullopt;
    return s;
  }
  std::vector<Selector> list = parse_list(query);
  if (list.size() != 1) return std::nullopt;  // comma groups are refused here
  return std::move(list[0]);
}

SubRoute route_sub(std::string_view field) {
  using Via = SubRoute::Via;
  Bytes t = trim_unicode_whitespace(field);
  auto xpath = [](std::string prefix, Bytes rest) {
    return SubRoute{Via::kXPath, prefix.append(rest), 0};
  };
  if (t == ".") return {Via::kCompileOne, "*", 0};  // the container's own outer HTML
  if (t == "text()" || t == "./text()") return xpath("//*/text()", {});
  if (t == ".//text()") return xpath("//*//text()", {});
  if (t.starts_with(".//@")) return xpath("//*//@", t.substr(4));
  if (t.starts_with("./@")) return xpath("//*/@", t.substr(3));
  if (t.starts_with("@")) return xpath("//*/@", t.substr(1));
  if (t.starts_with("./") && !t.starts_with(".//"))
    return {Via::kCompileOne, std::string(".//").append(t.substr(2)), 1};
  return {Via::kCompileOne, std::string(field), std::nullopt};
}

bool absolute_xpath(std::string_view query) {
  Bytes t = trim_unicode_whitespace(query);
  // A top-level function (`string(`, `substring-after (`) and a parenthesised
  // path (`(//a)[2]`) evaluate their first argument as written, so they
  // search what it searches. Each round drops at least the `(`.
  for (;;) {
    size_t i = 0;
    while (i < t.size() && ((t[i] >= 'a' && t[i] <= 'z') || (i > 0 && t[i] == '-'))) ++i;
    while (i < t.size() && is_ascii_whitespace(static_cast<uint8_t>(t[i]))) ++i;
    if (i >= t.size() || t[i] != '(') break;
    t = trim_unicode_whitespace(t.substr(i + 1));
  }
  return !t.empty() && t[0] == '/';
}

bool absolute_sub_field(std::string_view field) {
  const Bytes t = trim_unicode_whitespace(field);
  return !t.empty() && t[0] == '/';
}

std::optional<Selector> compile_sub(std::string_view field) {
  if (absolute_sub_field(field)) return std::nullopt;
  SubRoute route = route_sub(field);
  std::optional<Selector> s =
      route.via == SubRoute::Via::kXPath ? compile(route.query) : compile_one(route.query);
  // Column steps act on flat columns only; text after an element may lie
  // outside the container.
  if (s && (!s->post.empty() || s->terminal.after)) return std::nullopt;
  if (s && route.anchor) {
    // Relative forms were rewritten to absolute XPath: the anchor, not the
    // `relative` flag, ties them to the container.
    s->anchor = route.anchor;
    s->relative = false;
  }
  return s;
}

SchemaSelectors compile_schema(const std::vector<std::string>& flat,
                               const std::vector<GroupQuery>& groups) {
  SchemaSelectors out;
  out.flat.reserve(flat.size());
  for (const std::string& q : flat) {
    out.flat.push_back(compile_query(q));
    out.flat_first_root.push_back(!absolute_xpath(q));
  }
  out.groups.reserve(groups.size());
  for (const GroupQuery& g : groups) {
    CompiledGroup cg;
    cg.container = compile_one(g.container);
    out.container_first_root.push_back(!absolute_xpath(g.container));
    cg.fields.reserve(g.fields.size());
    for (const auto& field : g.fields) cg.fields.push_back(compile_sub(field.second));
    out.groups.push_back(std::move(cg));
  }
  return out;
}

BudgetUsage count_budget(const SchemaSelectors& s) {
  uint64_t members = 0, sib_bits = 0;
  auto count_sibs = [&](const Selector& sel) {
    for (Comb c : sel.combs)
      if (is_boundary(c)) ++sib_bits;
  };
  uint64_t sub_fields = 0;
  for (const auto& list : s.flat) {
    members += mask_slots(list);
    for (const Selector& sel : list) count_sibs(sel);
  }
  for (const CompiledGroup& g : s.groups) {
    sub_fields += g.fields.size();
    if (g.container) {
      ++members;
      count_sibs(*g.container);
    }
  }
  members = std::max<uint64_t>(members, s.flat.size());
  auto clamp = [](uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, UINT32_MAX)); };
  return {clamp(members), clamp(sib_bits), clamp(sub_fields)};
}

BudgetUsage budget_usage(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups) {
  return count_budget(compile_schema(flat, groups));
}

std::optional<std::string> budget_error(BudgetUsage u) {
  if (u.members > kMaxMembers)
    return "larkspine: schema has " + std::to_string(u.members) +
           " member selectors, over the limit of " + std::to_string(kMaxMembers) +
           " (each comma-group member and each group container counts as one). Split the schema.";
  if (u.sib_bits > kMaxSibBits)
    return "larkspine: schema needs " + std::to_string(u.sib_bits) +
           " sibling-combinator trigger bits, over the limit of " + std::to_string(kMaxSibBits) +
           ". Reduce the number of `+`/`~` selectors.";
  if (u.sub_fields > kMaxSubFields)
    return "larkspine: schema has " + std::to_string(u.sub_fields) + " group sub-fields, over the limit of " +
           std::to_string(kMaxSubFields) + ". Split the schema.";
  return std::nullopt;
}

std::optional<std::string> group_shape_reason(std::string_view query) {
  std::vector<Selector> list = compile_query(query);
  for (const Selector& s : list)
    if (s.terminal.kind == Terminal::Kind::kNormalizeSpace)
      return "normalize-space() is supported for flat fields, but its scalar output is "
             "unsupported in a group";
  for (const Selector& s : list)
    if (!s.post.empty())
      return "a predicate on a text or attribute node, a position of a parenthesised path and the "
             "string()/substring-after()/substring-before() functions are supported for flat fields, "
             "but unsupported in a group";
  if (list.size() >= 2)
    return "a grouped container or sub-field requires a single selector; CSS comma groups and "
           "XPath unions/or-expansions are unsupported in this context";
  return std::nullopt;
}

NodeIdentity node_identity(const std::vector<Selector>& members) {
  if (members.empty()) return {std::nullopt, true};
  NodeIdentity out{std::nullopt, false};
  bool all_pinned = true;
  for (size_t i = 0; i < members.size(); ++i) {
    const Compound& subject = members[i].compounds.back();
    std::optional<std::string> pinned;
    if (subject.tag && *subject.tag != "*") {
      std::string t = *subject.tag;
      for (char& c : t) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
      pinned = std::move(t);
    }
    bool plain = !subject.id && subject.classes.empty() && subject.attrs.empty();
    if (plain && (!pinned || *pinned == "html" || *pinned == "head" || *pinned == "body"))
      out.synthesized = true;
    if (!pinned || (i > 0 && out.pinned_tag != pinned)) all_pinned = false;
    if (i == 0) out.pinned_tag = pinned;
  }
  if (!all_pinned) out.pinned_tag.reset();
  return out;
}

Bytes trim_document(Bytes v, bool strip_bom) {
  size_t b = 0, e = v.size();
  while (e > b && is_trim_byte(static_cast<uint8_t>(v[e - 1]))) --e;
  while (b < e && is_trim_byte(static_cast<uint8_t>(v[b]))) ++b;
  if (strip_bom && e - b >= 3 && v.substr(b, 3) == "\xEF\xBB\xBF") b += 3;
  return v.substr(b, e - b);
}

Fault prepare_document(Bytes doc, std::optional<Bytes> label, PreparedDocument& out) {
  using whatwg::Encoding;
  Encoding enc = resolve(doc, label);
  if (!whatwg::is_ascii_compatible(enc)) {
    // The tokenizer needs ASCII bytes to stand for themselves: transcode the
    // whole document to UTF-8 first. A byte-order mark overrides `enc`.
    const uint8_t* d = reinterpret_cast<const uint8_t*>(doc.data());
    Encoding from = enc;
    Bytes body = doc;
    if (doc.size() >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) {
      from = Encoding::kUtf8;
      body.remove_prefix(3);
    } else if (doc.size() >= 2 && d[0] == 0xFF && d[1] == 0xFE) {
      from = Encoding::kUtf16le;
      body.remove_prefix(2);
    } else if (doc.size() >= 2 && d[0] == 0xFE && d[1] == 0xFF) {
      from = Encoding::kUtf16be;
      body.remove_prefix(2);
    }
    out.owned = std::make_unique<std::string>();
    whatwg::decode_append(from, body, *out.owned);
    out.bytes = trim_document(*out.owned, true);
    out.encoding = Encoding::kUtf8;
  } else {
    out.bytes = trim_document(doc, enc == Encoding::kUtf8);
    out.encoding = enc;
  }
  return check_prepared_size(out.bytes.size());
}

Fault check_prepared_size(uint64_t size) {
  if (size <= kMaxDocumentBytes) return {};
  return Fault{FaultKind::kDocumentTooLarge,
               "larkspine: the prepared document is " + std::to_string(size) +
                   " bytes, over the limit of " + std::to_string(kMaxDocumentBytes) +
                   " bytes that the engine's 32-bit offsets can address"};
}

Fault Plan::extract(Bytes doc, std::optional<Bytes> label, ExtractResult& out) const noexcept {
  Fault too_large;
  Fault fault = guarded([&] {
    PreparedDocument prepared;
    too_large = prepare_document(doc, label, prepared);
    if (too_large) return;
    ValueArena arena;
    ExtractResult result = schema_.run(EncodedInput{prepared.bytes, prepared.encoding}, arena);
    arena.keep(std::move(prepared.owned));  // values may view the transcoded document
    result.arena = std::move(arena);
    out = std::move(result);
  });
  return fault ? fault : too_large;
}

// First-only flags act only where dropping later values is exact: not on
// schemas whose columns are assembled at the end (merged, deferred or
// normalize-space columns). Early stop needs every streamed selector flagged
// and no groups.
void set_first_only_masks(CompiledSchema& s, const std::vector<bool>& first_only) {
  s.first_only_mask = Mask128();
  s.early_stop_mask = Mask128();
  if (std::none_of(first_only.begin(), first_only.end(), [](bool b) { return b; })) return;
  if (!s.merged_queries.empty() || !s.revs.empty() || !s.has_entries.empty() ||
      !s.text_entries.empty() || s.any_normalize || !s.post_ops.empty())
    return;
  const size_t limit = std::min<size_t>(first_only.size(), 128);
  auto flagged = [&](const CSel& c) { return c.flat && c.dest < limit && first_only[c.dest]; };
  // Text and attribute values are dropped after the first as they are
  // emitted; an outer-HTML column captures only the first element that
  // starts with its destination.
  for (const CSel& c : s.csels) {
    if (c.cold || !flagged(c)) continue;
    if (c.terminal.kind == Terminal::Kind::kText || c.terminal.kind == Terminal::Kind::kAttr ||
        c.terminal.kind == Terminal::Kind::kOuter)
      s.first_only_mask |= Mask128::bit(c.dest);
  }
  if (!s.groups.empty()) return;
  Mask128 stop;
  for (const CSel& c : s.csels) {
    if (c.cold) continue;
    if (!flagged(c)) return;
    stop |= Mask128::bit(c.dest);
  }
  s.early_stop_mask = stop;
}

Fault compile_first_only(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups,
                         const std::vector<bool>& first_only, Plan& out) noexcept {
  return guarded([&] {
    SchemaSelectors selectors = compile_schema(flat, groups);
    BudgetUsage usage = count_budget(selectors);
    CompiledSchema schema = CompiledSchema::compile(selectors);
    set_first_only_masks(schema, first_only);
    out = Plan(std::move(schema), usage);
  });
}

Fault budget_usage_guarded(const std::vector<std::string>& flat,
                           const std::vector<GroupQuery>& groups, BudgetUsage& out) noexcept {
  return guarded([&] { out = budget_usage(flat, groups); });
}

Fault extract(Bytes doc, const std::vector<std::string>& flat, std::optional<Bytes> label,
              ExtractResult& out) noexcept {
  return extract_grouped(doc, flat, {}, label, out);
}

Fault extract_grouped(Bytes doc, const std::vector<std::string>& flat,
                      const std::vector<GroupQuery>& groups, std::optional<Bytes> label,
                      ExtractResult& out) noexcept {
  Plan plan;
  if (Fault f = compile_first_only(flat, groups, {}, plan)) return f;
  return plan.extract(doc, label, out);
}

}  // namespace ls
