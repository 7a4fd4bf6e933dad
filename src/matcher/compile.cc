// Schema compilation.
//
// Input: one list of member selectors per flat query (empty = unsupported)
// and the groups. Output: the CompiledSchema. For every query it decides the
// route: streamed (decided at the start tag), deferred (decided at an
// element's or its parent's close, through a template), or none (the column
// stays empty; no error, no fallback). It cuts selectors into segments at
// sibling combinators, hands out sibling bits and mask slots, builds the tail
// schemas of deferred queries, and computes the pre-filters.
//
// Invariants: a tail never carries a deferred construct of its own, so tails
// nest one level deep; a selector or template beyond the 128-bit masks or the
// 64 sibling bits is marked cold and never matched.
#include <algorithm>
#include <functional>

#include "matcher/schema.h"
#include "matcher/sig.h"
#include "selector.h"

namespace ls {

namespace {

constexpr uint32_t kMaskWidth = 128;
constexpr uint32_t kSibBits = 64;

std::string lowered(Bytes s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
  return out;
}

// Visits a compound and every compound nested in it (nots, is_groups, has).
void visit_all(const Compound& c, const std::function<void(const Compound&)>& f) {
  f(c);
  for (const Compound& n : c.nots) visit_all(n, f);
  for (const auto& g : c.is_groups)
    for (const Compound& m : g) visit_all(m, f);
  if (c.has) {
    for (const Compound& step : c.has->via) visit_all(step, f);
    visit_all(*c.has->inner, f);
  }
}

void visit_all_mut(Compound& c, const std::function<void(Compound&)>& f) {
  f(c);
  for (Compound& n : c.nots) visit_all_mut(n, f);
  for (auto& g : c.is_groups)
    for (Compound& m : g) visit_all_mut(m, f);
  if (c.has) {
    for (Compound& step : c.has->via) visit_all_mut(step, f);
    visit_all_mut(*c.has->inner, f);
  }
}

// Whether a compound, or one nested at any depth in its nots, satisfies `p`.
bool in_compound_or_nots(const Compound& c, const std::function<bool(const Compound&)>& p) {
  if (p(c)) return true;
  for (const Compound& n : c.nots)
    if (in_compound_or_nots(n, p)) return true;
  return false;
}

bool any_in(const Selector& s, const std::function<bool(const Compound&)>& p) {
  return std::any_of(s.compounds.begin(), s.compounds.end(),
                     [&](const Compound& c) { return in_compound_or_nots(c, p); });
}

bool any_reverse(const Selector& s) { return any_in(s, [](const Compound& c) { return c.rev.has_value(); }); }
bool any_has(const Selector& s) { return any_in(s, [](const Compound& c) { return c.has.has_value(); }); }
bool any_text_pred(const Selector& s) { return any_in(s, [](const Compound& c) { return c.text.has_value(); }); }

bool nots_carry(const Compound& c, const std::function<bool(const Compound&)>& p) {
  for (const Compound& n : c.nots)
    if (in_compound_or_nots(n, p)) return true;
  return false;
}

struct Segmented {
  std::vector<Segment> segments;
  std::vector<Comb> boundaries;
};

Segmented to_segments(const Selector& sel) {
  Segmented out;
  out.segments.emplace_back();
  out.segments.back().compounds.push_back(sel.compounds[0]);
  for (size_t i = 0; i < sel.combs.size(); ++i) {
    const Comb c = sel.combs[i];
    if (!is_boundary(c)) {
      out.segments.back().combs.push_back(c);
      out.segments.back().compounds.push_back(sel.compounds[i + 1]);
    } else {
      out.boundaries.push_back(c);
      out.segments.emplace_back();
      out.segments.back().compounds.push_back(sel.compounds[i + 1]);
    }
  }
  out.segments[0].anchor = sel.anchor;
  out.segments[0].relative = sel.relative;
  out.segments[0].base_child = sel.base_child;
  return out;
}

std::optional<Selector> tail_selector(const Selector& sel, size_t k) {
  if (k + 1 >= sel.compounds.size()) return std::nullopt;
  Selector t;
  t.compounds.assign(sel.compounds.begin() + static_cast<ptrdiff_t>(k) + 1, sel.compounds.end());
  t.combs.assign(sel.combs.begin() + static_cast<ptrdiff_t>(k) + 1, sel.combs.end());
  t.terminal = sel.terminal;
  t.relative = true;
  // A child step into the tail: its first compound stands right below a
  // decided element. The tail scan of the outermost decided element also
  // covers the ones nested in it, so "right below the scanned element" would
  // miss theirs: the scan marks every decided element instead.
  t.base_child = sel.combs[k] == Comb::kChild;
  return t;
}

bool carries_deferred(const Compound& c) { return c.rev || c.has || c.text; }

// XPath `[1]` after a text or path test (`//h3[contains(., 'x')][1]`): the
// first sibling that passes, known only as the siblings close.
bool first_after_close(const Compound& c) {
  return c.nth && c.nth->filtered && !c.nth->global && (c.has || c.text);
}

// Deferred compounds a selector may chain: each one past the first is
// decided in the tail scan of the one before, so a selector costs one scan
// of the document per deferred compound; the bound keeps that, and the
// compilation of nested tails, a small constant.
constexpr size_t kMaxDeferredSteps = 3;

std::optional<size_t> deferrable_any_at(const Selector& sel);

bool tail_recoverable(const Selector& sel, size_t k) {
  if (k + 1 >= sel.compounds.size()) return true;
  std::optional<Selector> t = tail_selector(sel, k);
  if (!t || to_segments(*t).segments.size() != 1) return false;
  // A tail with deferred compounds of its own is served by its own
  // templates, which must route.
  if (any_in(*t, carries_deferred)) return deferrable_any_at(*t).has_value();
  return true;
}

// The first top-level compound carrying a deferred construct, when it
// carries `carries` and nothing else, under the shared rules. Compounds
// before it carry none (they are matched while streaming); the tail after it
// may carry more, each decided in the tail scan of the one before (up to
// kMaxDeferredSteps in all).
std::optional<size_t> deferrable_at(const Selector& sel,
                                    const std::function<bool(const Compound&)>& carries,
                                    bool outer_needs_tail, bool refuse_normalize) {
  std::optional<size_t> k;
  size_t steps = 0;
  for (size_t i = 0; i < sel.compounds.size(); ++i) {
    const Compound& c = sel.compounds[i];
    if (nots_carry(c, carries_deferred)) return std::nullopt;
    if (!carries_deferred(c)) continue;
    if (!k) k = i;
    if (++steps > kMaxDeferredSteps) return std::nullopt;
  }
  if (!k) return std::nullopt;
  const Compound& ck = sel.compounds[*k];
  if (!carries(ck) || int(ck.rev.has_value()) + int(ck.has.has_value()) + int(ck.text.has_value()) != 1)
    return std::nullopt;
  if (to_segments(sel).segments.size() != 1) return std::nullopt;
  if (!tail_recoverable(sel, *k)) return std::nullopt;
  const Terminal::Kind t = sel.terminal.kind;
  if (refuse_normalize && t == Terminal::Kind::kNormalizeSpace) return std::nullopt;
  if (outer_needs_tail) {
    bool ok = t == Terminal::Kind::kText || t == Terminal::Kind::kAttr ||
              (t == Terminal::Kind::kOuter && *k + 1 < sel.compounds.size());
    if (!ok) return std::nullopt;
  }
  return k;
}

std::optional<size_t> deferrable_reverse_at(const Selector& sel) {
  return deferrable_at(sel, [](const Compound& c) { return c.rev.has_value(); }, true, false);
}
std::optional<size_t> deferrable_has_at(const Selector& sel) {
  return deferrable_at(sel, [](const Compound& c) { return c.has.has_value(); }, false, true);
}
std::optional<size_t> deferrable_text_pred_at(const Selector& sel) {
  return deferrable_at(sel, [](const Compound& c) { return c.text.has_value(); }, false, true);
}
std::optional<size_t> deferrable_any_at(const Selector& sel) {
  if (std::optional<size_t> k = deferrable_reverse_at(sel)) return k;
  if (std::optional<size_t> k = deferrable_has_at(sel)) return k;
  return deferrable_text_pred_at(sel);
}

struct TailGroup {
  Segment prefix;
  std::vector<Selector> members;
  std::vector<uint32_t> queries;
  bool slot_ok = false;
  bool first_root = false;  // its templates stand aside after the first top-level element
  std::shared_ptr<const CompiledSchema> first_schema;
};

struct Builder {
  CompiledSchema out;
  uint32_t next_bit = 0;
  std::vector<std::pair<uint32_t, Selector>> rev_list, has_list, text_list;
  // Per entry of has_list and text_list: the gate of a template after a
  // boundary (Segment::gate), else -1.
  std::vector<int32_t> has_gates, text_gates;
  struct Gated {
    Selector sel;
    uint32_t bit;
    size_t k;
  };
  std::vector<Gated> gated;
  std::vector<TailGroup> tail_groups;

  void add_name(Bytes name) {
    for (const std::string& n : out.attr_names)
      if (ascii_iequals(n, name)) return;
    out.attr_names.push_back(lowered(name));
  }

  void collect_compound_names(const Compound& root) {
    visit_all(root, [&](const Compound& c) {
      if (!c.classes.empty()) add_name("class");
      if (c.id) add_name("id");
      for (const AttrPred& p : c.attrs) add_name(p.name);
    });
  }

  void collect_terminal(const Terminal& t) {
    const Terminal& inner = t.kind == Terminal::Kind::kNormalizeSpace ? **t.inner : t;
    if (inner.kind == Terminal::Kind::kAttr) add_name(inner.name);
    if (t.kind == Terminal::Kind::kOuter) out.wants_source = true;
  }

  void collect_names(const Selector& s, bool with_terminal = true) {
    for (const Compound& c : s.compounds) collect_compound_names(c);
    if (with_terminal) collect_terminal(s.terminal);
  }

  // Makes the CSel; returns its sibling bits (empty when cold or one segment).
  std::vector<uint32_t> make_csel(const Selector& sel, uint32_t dest, bool flat) {
    Segmented seg = to_segments(sel);
    CSel c;
    const uint32_t need = static_cast<uint32_t>(seg.segments.size() - 1);
    c.segments = std::move(seg.segments);
    c.sib_combs = std::move(seg.boundaries);
    c.terminal = sel.terminal;
    c.dest = dest;
    c.flat = flat;
    c.cold = (flat && dest >= kMaskWidth) || out.csels.size() >= kMaskWidth || next_bit + need > kSibBits;
    if (!c.cold)
      for (uint32_t i = 0; i < need; ++i) {
        if (is_following(c.sib_combs[i])) out.following_bits |= uint64_t{1} << next_bit;
        if (c.sib_combs[i] == Comb::kFollowingFirst) out.following_first_bits |= uint64_t{1} << next_bit;
        c.sib_bits.push_back(next_bit++);
      }
    std::vector<uint32_t> bits = c.sib_bits;
    out.csels.push_back(std::move(c));
    return bits;
  }

  // Templates share a tail only when they are candidates in the same top-level
  // elements (`first_root`): the first one records the ranges for all.
  Dest split_deferred(const Selector& sel, size_t k, uint32_t q, bool slot_ok, bool first_root,
                      Segment& prefix) {
    Segmented seg = to_segments(sel);
    if (seg.segments.size() != 1) internal_fault("deferrable => 1 segment");
    prefix = Segment{};
    prefix.compounds.assign(sel.compounds.begin(), sel.compounds.begin() + static_cast<ptrdiff_t>(k) + 1);
    prefix.combs.assign(sel.combs.begin(), sel.combs.begin() + static_cast<ptrdiff_t>(k));
    prefix.anchor = sel.anchor;
    prefix.relative = sel.relative;
    prefix.base_child = sel.base_child;

    std::optional<Selector> tail = tail_selector(sel, k);
    if (!tail) {
      std::string text;
      if (sel.terminal.kind == Terminal::Kind::kText && sel.terminal.subtree) text = "* ::text";
      else if (sel.terminal.kind == Terminal::Kind::kAttr && sel.terminal.descendants)
        text = "* ::attr(" + sel.terminal.name + ")";
      if (text.empty()) return Dest{Dest::Kind::kOwn, 0};
      std::vector<Selector> parsed = parse_list(text);
      if (parsed.size() != 1) return Dest{Dest::Kind::kOwn, 0};
      // The candidate's own text or attributes are its twin's too: the tail
      // starts at the candidate itself (the tail scan's floor, Matcher::
      // seed_context), not strictly below it.
      tail = std::move(parsed[0]);
      tail->relative = false;
    }
    SchemaSelectors one;
    one.flat.push_back({*tail});
    auto schema = std::make_shared<const CompiledSchema>(CompiledSchema::compile(one));
    bool live = std::any_of(schema->csels.begin(), schema->csels.end(),
                            [](const CSel& c) { return c.flat && c.dest == 0 && !c.cold; });
    auto template_live = [](const auto& list) {
      return std::any_of(list.begin(), list.end(),
                         [](const DeferredTemplate& t) { return t.query == 0u && !t.cold; });
    };
    live = live || template_live(schema->revs) || template_live(schema->has_entries) ||
           template_live(schema->text_entries);
    if (!live) return Dest{Dest::Kind::kDead, 0};
    if (slot_ok) {
      for (TailGroup& g : tail_groups) {
        if (g.slot_ok && g.first_root == first_root && g.prefix == prefix && g.members.size() < kMaskWidth) {
          g.members.push_back(std::move(*tail));
          g.queries.push_back(q);
          return Dest{Dest::Kind::kSharedTail, static_cast<uint32_t>(g.members.size())};
        }
      }
    }
    TailGroup g;
    g.prefix = prefix;
    g.members.push_back(std::move(*tail));
    g.queries.push_back(q);
    g.slot_ok = slot_ok;
    g.first_root = first_root;
    g.first_schema = std::move(schema);
    tail_groups.push_back(std::move(g));
    return Dest{Dest::Kind::kNewTail, static_cast<uint32_t>(tail_groups.size() - 1)};
  }
};

bool selector_clean(const Selector& s) { return !any_reverse(s) && !any_has(s) && !any_text_pred(s); }

// A gated sibling: one +/~ (or following::) right after compound k, which
// alone carries :has() or a text predicate (and no reverse position, :has()
// or text predicate routes the query as a template first).
std::optional<size_t> gated_sibling_at(const Selector& s) {
  std::optional<size_t> boundary;
  size_t boundaries = 0;
  for (size_t i = 0; i < s.combs.size(); ++i)
    if (is_boundary(s.combs[i])) {
      ++boundaries;
      boundary = i;
    }
  if (boundaries != 1) return std::nullopt;
  const size_t k = *boundary;
  const Compound& ck = s.compounds[k];
  auto carries = [](const Compound& c) { return c.text.has_value() || c.has.has_value(); };
  if (!carries(ck) || nots_carry(ck, carries)) return std::nullopt;
  for (size_t i = 0; i < s.compounds.size(); ++i)
    if (i != k && in_compound_or_nots(s.compounds[i], carries)) return std::nullopt;
  return k;
}

// A selector of two segments whose deferred compounds (a :has() or a text
// test) all stand in the second one, after its first compound
// (`//h3[contains(text(), 'x')]/following::table[1]//tr[not(th)]`,
// `p + div > span:has(b)`): a feeder CSel of the selector up to that first
// compound sets the boundary's bit, and the second segment is a template
// gated by it. The first segment may itself end with a gate's deferred
// compound, as a gated sibling's does.
struct GatedTemplate {
  Selector feeder;  // the compounds up to the second segment's first
  Selector last;    // the second segment, with the terminal
  std::optional<size_t> first_gate;  // the first segment's deferred compound
};

std::optional<GatedTemplate> gated_template_at(const Selector& s) {
  std::optional<size_t> boundary;
  for (size_t i = 0; i < s.combs.size(); ++i)
    if (is_boundary(s.combs[i])) {
      if (boundary) return std::nullopt;
      boundary = i;
    }
  if (!boundary) return std::nullopt;
  const size_t j = *boundary + 1;  // the second segment's first compound
  auto carries = [](const Compound& c) { return c.text.has_value() || c.has.has_value(); };
  if (any_reverse(s) || in_compound_or_nots(s.compounds[j], carries_deferred)) return std::nullopt;
  GatedTemplate g;
  for (size_t i = 0; i < j; ++i) {
    const Compound& c = s.compounds[i];
    if (nots_carry(c, carries_deferred)) return std::nullopt;
    if (!carries(c)) continue;
    if (i != j - 1) return std::nullopt;
    g.first_gate = i;
  }
  g.last.compounds.assign(s.compounds.begin() + static_cast<ptrdiff_t>(j), s.compounds.end());
  g.last.combs.assign(s.combs.begin() + static_cast<ptrdiff_t>(j), s.combs.end());
  g.last.terminal = s.terminal;
  if (!any_in(g.last, carries)) return std::nullopt;
  if (!deferrable_has_at(g.last) && !deferrable_text_pred_at(g.last)) return std::nullopt;
  g.feeder.compounds.assign(s.compounds.begin(), s.compounds.begin() + static_cast<ptrdiff_t>(j) + 1);
  g.feeder.combs.assign(s.combs.begin(), s.combs.begin() + static_cast<ptrdiff_t>(j));
  g.feeder.anchor = s.anchor;
  g.feeder.relative = s.relative;
  g.feeder.base_child = s.base_child;
  return g;
}

uint64_t compound_sig(const Compound& c, bool tag_on, bool class_on, bool& used_tag, bool& used_class,
                      bool& used_id) {
  uint64_t sig = 0;
  if (tag_on && c.tag && *c.tag != "*") {
    sig |= tag_sig(*c.tag);
    used_tag = true;
  }
  if (class_on)
    for (const std::string& cls : c.classes) {
      sig |= class_sig(cls);
      used_class = true;
    }
  if (c.id) {
    sig |= id_sig(*c.id);
    used_id = true;
  }
  return sig;
}

static_assert(kTagCount <= kTagTestByName, "tag ids and the tag-test markers share Compound::tag_test");

// (An unsigned compound, compared by name, admits every id.)
bool admits(const Compound& c, TagId id) { return c.tag_test >= kTagTestByName || c.tag_test == id; }

// The per-tag-id tables. A compound admits the ids its tag test lets through
// (every id when it has no tag; only kTagOther for a name without an id; the
// default name comparison is never left here, every compound being signed).
// An element keeps the attributes that a compound admitting its id tests,
// nested compounds included (they are tested on the same element, or on a
// descendant for :has()), and those its values read: the attribute terminal
// of a selector whose subject admits it, or of any selector with a
// descendant-attribute terminal.
void build_dispatch(CompiledSchema& out) {
  out.by_tag.assign(kTagCount, {});
  out.attrs_by_tag = out.attr_names.size() <= 64;
  auto attr_bit = [&](Bytes name) -> uint64_t {
    for (size_t i = 0; i < out.attr_names.size() && i < 64; ++i)
      if (ascii_iequals(out.attr_names[i], name)) return uint64_t{1} << i;
    return 0;
  };
  auto for_ids = [&](const Compound& c, const std::function<void(CompiledSchema::TagDispatch&, TagId)>& f) {
    for (int id = 0; id < kTagCount; ++id)
      if (admits(c, static_cast<TagId>(id))) f(out.by_tag[id], static_cast<TagId>(id));
  };
  auto keep_tested = [&](const Compound& root) {
    visit_all(root, [&](const Compound& c) {
      uint64_t bits = 0;
      if (!c.classes.empty()) bits |= attr_bit("class");
      if (c.id) bits |= attr_bit("id");
      for (const AttrPred& p : c.attrs) bits |= attr_bit(p.name);
      if (bits) for_ids(c, [&](CompiledSchema::TagDispatch& d, TagId) { d.attrs |= bits; });
    });
  };
  auto keep_read = [&](const Terminal& t, const Compound& subject) {
    const Terminal& inner = t.kind == Terminal::Kind::kNormalizeSpace ? **t.inner : t;
    if (inner.kind != Terminal::Kind::kAttr) return;
    const uint64_t bit = attr_bit(inner.name);
    for (int id = 0; id < kTagCount; ++id)
      if (inner.descendants || admits(subject, static_cast<TagId>(id))) out.by_tag[id].attrs |= bit;
  };
  auto keep_segment = [&](const Segment& seg) {
    for (const Compound& c : seg.compounds) keep_tested(c);
  };

  for (size_t k = 0; k < out.csels.size(); ++k) {
    const CSel& c = out.csels[k];
    for (const Segment& seg : c.segments) keep_segment(seg);
    keep_read(c.terminal, c.segments.back().compounds.back());
    if (c.cold || k >= 128) continue;
    const Mask128 bit = Mask128::bit(static_cast<unsigned>(k));
    for (size_t i = 0; i < c.segments.size(); ++i) {
      for_ids(c.segments[i].compounds.back(), [&](CompiledSchema::TagDispatch& d, TagId) { d.csels |= bit; });
      if (i > 0) for_ids(c.segments[i].compounds[0], [&](CompiledSchema::TagDispatch& d, TagId) { d.sibling |= bit; });
    }
  }
  for (const GroupSpec& g : out.groups)
    for (const SubSel& sub : g.subs)
      if (sub.segment) {
        keep_segment(*sub.segment);
        keep_read(sub.terminal, sub.segment->compounds.back());
      }
  auto keep_template = [&](const DeferredTemplate& e) {
    keep_segment(e.segment);
    keep_read(e.terminal, e.segment.compounds.back());
  };
  for (const RevEntry& e : out.revs) keep_template(e);
  for (const HasEntry& e : out.has_entries) {
    keep_template(e);
    keep_tested(*e.has.inner);
    for (const Compound& step : e.has.via) keep_tested(step);
  }
  for (const TextEntry& e : out.text_entries) keep_template(e);
  if (!out.attrs_by_tag)
    for (CompiledSchema::TagDispatch& d : out.by_tag) d.attrs = ~uint64_t{0};

  for (int id = 1; id < kTagCount; ++id)
    if (out.sig_tag) out.by_tag[id].tag_sig = tag_sig(tag_name(static_cast<TagId>(id)));
  out.attr_interest.resize(kTagCount);
  for (int id = 0; id < kTagCount; ++id) out.attr_interest[id] = out.by_tag[id].attrs != 0;

  if (out.revs.empty() && out.has_entries.empty() && out.text_entries.empty()) return;
  out.templates_by_tag.assign(kTagCount, {});
  auto candidates = [&](const auto& list, Mask128 CompiledSchema::TagTemplates::*field) {
    for (size_t i = 0; i < list.size() && i < 128; ++i) {
      if (list[i].cold) continue;
      const Compound& last = list[i].segment.compounds.back();
      for (int id = 0; id < kTagCount; ++id)
        if (admits(last, static_cast<TagId>(id)))
          out.templates_by_tag[id].*field |= Mask128::bit(static_cast<unsigned>(i));
    }
  };
  candidates(out.revs, &CompiledSchema::TagTemplates::revs);
  candidates(out.has_entries, &CompiledSchema::TagTemplates::has);
  candidates(out.text_entries, &CompiledSchema::TagTemplates::texts);
  for (size_t h = 0; h < out.has_entries.size() && h < 128; ++h) {
    // An argument that tests its text is evidence only at its close.
    if (out.has_entries[h].cold || out.has_entries[h].has.inner->text) continue;
    for (int id = 0; id < kTagCount; ++id)
      if (admits(*out.has_entries[h].has.inner, static_cast<TagId>(id)))
        out.templates_by_tag[id].has_evidence |= Mask128::bit(static_cast<unsigned>(h));
  }
}

}  // namespace

uint32_t mask_slots(const std::vector<Selector>& members) {
  const bool one = members.size() == 1;
  // The routes of CompiledSchema::compile, step 1, in its order: a gated
  // sibling takes a streamed selector and the template of its gate.
  if (one && !deferrable_reverse_at(members[0]) && !any_reverse(members[0]) && !deferrable_has_at(members[0]) &&
      !deferrable_text_pred_at(members[0])) {
    // A gated template: the feeder, the template and the first segment's gate.
    if (std::optional<GatedTemplate> g = gated_template_at(members[0])) return g->first_gate ? 3 : 2;
    if (gated_sibling_at(members[0])) return 2;
  }
  return static_cast<uint32_t>(members.size());
}

CompiledSchema CompiledSchema::compile(const SchemaSelectors& in) {
  Builder b;
  CompiledSchema& out = b.out;
  out.query_count = static_cast<uint32_t>(in.flat.size());

  // 1. Flat queries.
  for (uint32_t q = 0; q < in.flat.size(); ++q) {
    const std::vector<Selector>& members = in.flat[q];
    if (members.empty()) continue;
    if (!members[0].post.empty()) out.post_ops.emplace_back(q, members[0].post);
    const bool one = members.size() == 1;
    // Text after an element is routed as it streams: a reverse position,
    // decided when the parent closes, comes too late for it; in a union it
    // could be another member's own text too.
    if (std::any_of(members.begin(), members.end(), [](const Selector& m) { return m.terminal.after; }) &&
        (!one || any_reverse(members[0])))
      continue;
    // `[1]` after a close-time test is a template's own decision: only as
    // the deferred compound of a has or text template, the first such.
    if (std::any_of(members.begin(), members.end(), [](const Selector& m) { return any_in(m, first_after_close); })) {
      const Selector& m = members[0];
      std::optional<size_t> k = deferrable_has_at(m);
      if (!k) k = deferrable_text_pred_at(m);
      if (!one || !k || !first_after_close(m.compounds[*k]) ||
          std::any_of(m.compounds.begin() + static_cast<ptrdiff_t>(*k) + 1, m.compounds.end(), first_after_close))
        continue;
    }
    if (one && deferrable_reverse_at(members[0])) {
      b.collect_names(members[0]);
      b.rev_list.emplace_back(q, members[0]);
      continue;
    }
    if (std::any_of(members.begin(), members.end(), any_reverse)) continue;
    if (one && deferrable_has_at(members[0])) {
      b.collect_names(members[0]);
      b.has_list.emplace_back(q, members[0]);
      b.has_gates.push_back(-1);
      continue;
    }
    if (one && deferrable_text_pred_at(members[0])) {
      b.collect_names(members[0]);
      b.text_list.emplace_back(q, members[0]);
      b.text_gates.push_back(-1);
      continue;
    }
    if (one) {
      const Selector& s = members[0];
      if (std::optional<GatedTemplate> g = gated_template_at(s)) {
        // A feeder CSel sets the boundary's bit on the elements after it
        // (its first segment possibly gated itself); the template over the
        // last segment starts from them.
        b.collect_names(g->feeder, false);
        b.collect_names(g->last);
        std::vector<uint32_t> bits = b.make_csel(g->feeder, q, true);
        b.out.csels.back().feeder = true;
        if (bits.empty()) continue;  // cold
        if (g->first_gate) b.gated.push_back({g->feeder, bits[0], *g->first_gate});
        const int32_t gate = static_cast<int32_t>(bits.back());
        if (deferrable_has_at(g->last)) {
          b.has_list.emplace_back(q, std::move(g->last));
          b.has_gates.push_back(gate);
        } else {
          b.text_list.emplace_back(q, std::move(g->last));
          b.text_gates.push_back(gate);
        }
        continue;
      }
      if (std::optional<size_t> k = gated_sibling_at(s)) {
        b.collect_names(s);
        std::vector<uint32_t> bits = b.make_csel(s, q, true);
        if (!bits.empty()) b.gated.push_back({s, bits[0], *k});
        continue;
      }
    }
    const bool some_text = std::any_of(members.begin(), members.end(), any_text_pred);
    if (!one && q < kMaskWidth && some_text) {
      bool ok = true;
      for (const Selector& m : members) {
        if (selector_clean(m)) continue;
        std::optional<size_t> k = deferrable_text_pred_at(m);
        const Terminal& t = m.terminal;
        if (!k || tail_selector(m, *k) || (t.kind == Terminal::Kind::kText && t.subtree) ||
            (t.kind == Terminal::Kind::kAttr && t.descendants))
          ok = false;
      }
      const Terminal& t0 = members[0].terminal;
      for (const Selector& m : members) {
        const Terminal& t = m.terminal;
        if (t0.kind == Terminal::Kind::kText ? t.kind != Terminal::Kind::kText
            : t0.kind == Terminal::Kind::kAttr ? (t.kind != Terminal::Kind::kAttr || !ascii_iequals(t.name, t0.name))
                                              : true)
          ok = false;
      }
      if (ok) {
        for (const Selector& m : members) {
          b.collect_names(m);
          if (any_text_pred(m)) {
            b.text_list.emplace_back(q, m);
            b.text_gates.push_back(-1);
          } else {
            b.make_csel(m, q, true);
          }
        }
        out.merged_queries |= Mask128::bit(q);
      }
      continue;
    }
    if (std::none_of(members.begin(), members.end(), [](const Selector& m) { return any_has(m) || any_text_pred(m); })) {
      for (const Selector& m : members) {
        b.collect_names(m);
        b.make_csel(m, q, true);
      }
    }
  }

  // 2. Groups.
  for (uint32_t g = 0; g < in.groups.size(); ++g) {
    const CompiledGroup& grp = in.groups[g];
    if (grp.container && selector_clean(*grp.container)) {
      b.collect_names(*grp.container, false);
      out.containers.emplace_back(static_cast<uint32_t>(out.csels.size()), g);
      b.make_csel(*grp.container, g, false);
    }
    GroupSpec spec;
    for (const std::optional<Selector>& field : grp.fields) {
      SubSel sub;
      if (field) sub.terminal = field->terminal;
      if (field && selector_clean(*field)) {
        b.collect_names(*field);
        Segmented seg = to_segments(*field);
        if (seg.segments.size() == 1) sub.segment = std::move(seg.segments[0]);
      }
      spec.subs.push_back(std::move(sub));
    }
    out.groups.push_back(std::move(spec));
  }

  // 3. Positional scan over every compound of every query, container and sub-field.
  auto each_selector = [&](const std::function<void(const Selector&)>& f) {
    for (const auto& members : in.flat)
      for (const Selector& s : members) f(s);
    for (const CompiledGroup& grp : in.groups) {
      if (grp.container) f(*grp.container);
      for (const auto& field : grp.fields)
        if (field) f(*field);
    }
  };
  each_selector([&](const Selector& s) {
    for (const Compound& root : s.compounds)
      visit_all(root, [&](const Compound& c) {
        if (!c.nth && !c.rev) return;
        out.any_positional = true;
        const bool of_type = (c.nth && c.nth->of_type) || (c.rev && c.rev->of_type);
        if (of_type && c.tag && *c.tag != "*") {
          std::string t = lowered(*c.tag);
          if (std::find(out.of_type_tags.begin(), out.of_type_tags.end(), t) == out.of_type_tags.end())
            out.of_type_tags.push_back(std::move(t));
        }
      });
  });

  // 4. Templates: reverse, then :has(), then text predicates.
  uint32_t slot = static_cast<uint32_t>(out.csels.size());
  // Fills the shared fields of a template for query q, whose deferred
  // compound the same predicate that routed it finds again.
  auto fill = [&](DeferredTemplate& e, uint32_t q, const Selector& sel, size_t k) {
    const bool first_root = q < in.flat_first_root.size() && in.flat_first_root[q];
    e.dest = b.split_deferred(sel, k, q, slot < kMaskWidth, first_root, e.segment);
    // `[1]` after a test decided at the close: the template releases only
    // the first sibling that holds, instead of a count taken at the start.
    if (Compound& ck = e.segment.compounds.back(); first_after_close(ck)) {
      ck.nth.reset();
      e.first_among_siblings = true;
    }
    e.terminal = sel.terminal;
    e.query = q;
    e.cold = slot >= kMaskWidth;
    ++slot;
  };
  for (const auto& [q, sel] : b.rev_list) {
    std::optional<size_t> k = deferrable_reverse_at(sel);
    if (!k) internal_fault("routed as deferrable_reverse");
    const Compound& ck = sel.compounds[*k];
    if (!ck.rev) internal_fault("deferrable_reverse => compound k has reverse");
    RevEntry e;
    fill(e, q, sel, *k);
    e.rev = *ck.rev;
    e.tag_tracked = e.rev.of_type && ck.tag && *ck.tag != "*" &&
                    std::find(out.of_type_tags.begin(), out.of_type_tags.end(), lowered(*ck.tag)) !=
                        out.of_type_tags.end();
    e.simple_last = e.rev.only || (e.rev.a == 0 && e.rev.b == 1);
    out.revs.push_back(std::move(e));
  }
  for (size_t i = 0; i < b.has_list.size(); ++i) {
    const auto& [q, sel] = b.has_list[i];
    std::optional<size_t> k = deferrable_has_at(sel);
    if (!k) internal_fault("routed as deferrable_has");
    const Compound& ck = sel.compounds[*k];
    if (!ck.has) internal_fault("deferrable_has => compound k has `:has`");
    HasEntry e(*ck.has);
    fill(e, q, sel, *k);
    e.segment.gate = b.has_gates[i];
    // Its parent's first_taken bit is its index, below 64.
    if (e.first_among_siblings && out.has_entries.size() >= 64) e.cold = true;
    out.has_entries.push_back(std::move(e));
  }
  for (size_t i = 0; i < b.text_list.size(); ++i) {
    const auto& [q, sel] = b.text_list[i];
    std::optional<size_t> k = deferrable_text_pred_at(sel);
    if (!k) internal_fault("routed as deferrable_text_pred");
    const Compound& ck = sel.compounds[*k];
    if (!ck.text) internal_fault("deferrable_text_pred => compound k has text_pred");
    TextEntry e;
    fill(e, q, sel, *k);
    e.segment.gate = b.text_gates[i];
    e.text = *ck.text;
    // Its parent's first_taken bit is 64 plus its index, below 128.
    if (e.first_among_siblings && out.text_entries.size() >= 64) e.cold = true;
    out.text_entries.push_back(std::move(e));
  }

  // 5. Tails.
  for (TailGroup& g : b.tail_groups) {
    TailSchema t;
    if (g.first_schema && g.members.size() == 1) {
      t.schema = std::move(g.first_schema);
    } else {
      SchemaSelectors members;
      for (Selector& m : g.members) members.flat.push_back({std::move(m)});
      t.schema = std::make_shared<const CompiledSchema>(CompiledSchema::compile(members));
    }
    t.queries = std::move(g.queries);
    out.tails.push_back(std::move(t));
  }

  // 6. Gated siblings: the first segment ends with compound k.
  uint64_t gates = 0;
  for (const Builder::Gated& gt : b.gated) {
    Segmented seg = to_segments(gt.sel);
    if (seg.segments.size() < 2) internal_fault("case B has >= 2 segments");
    const Compound& ck = gt.sel.compounds[gt.k];
    DeferredTemplate base;
    base.segment = std::move(seg.segments[0]);
    base.dest = Dest{Dest::Kind::kGateBit, gt.bit};
    base.terminal = gt.sel.terminal;
    if (ck.has) {
      HasEntry e(*ck.has);
      static_cast<DeferredTemplate&>(e) = std::move(base);
      out.has_entries.push_back(std::move(e));
    } else {
      TextEntry e;
      static_cast<DeferredTemplate&>(e) = std::move(base);
      e.text = *ck.text;
      out.text_entries.push_back(std::move(e));
    }
    gates |= uint64_t{1} << gt.bit;
  }
  out.ungated_bits = ~gates;
  // 6b. :has() arguments that test their own text: each gets a text template
  // over the argument without its text test, whose true decision is the
  // evidence (Dest kHasEvidence).
  for (size_t h = 0; h < out.has_entries.size(); ++h) {
    const Compound& inner = *out.has_entries[h].has.inner;
    if (!inner.text) continue;
    TextEntry e;
    // The path's steps stand above the argument, each its parent.
    for (const Compound& step : out.has_entries[h].has.via) {
      e.segment.compounds.push_back(step);
      e.segment.combs.push_back(Comb::kChild);
    }
    e.segment.compounds.push_back(inner);
    e.segment.compounds.back().text.reset();
    e.dest = Dest{Dest::Kind::kHasEvidence, static_cast<uint32_t>(h)};
    e.text = *inner.text;
    out.text_entries.push_back(std::move(e));
  }
  // Final slots: after the CSels, the revs, then has entries, then text entries.
  {
    uint32_t s = static_cast<uint32_t>(out.csels.size() + out.revs.size());
    for (HasEntry& e : out.has_entries) e.cold = e.cold || s++ >= kMaskWidth;
    for (TextEntry& e : out.text_entries) e.cold = e.cold || s++ >= kMaskWidth;
  }

  // 7. Signatures.
  size_t tag_tests = 0, class_tests = 0;
  each_selector([&](const Selector& s) {
    for (const Compound& root : s.compounds)
      visit_all(root, [&](const Compound& c) {
        if (c.tag && *c.tag != "*") ++tag_tests;
        class_tests += c.classes.size();
      });
  });
  const bool tag_on = tag_tests >= 2, class_on = class_tests >= 2;
  auto sign = [&](Compound& root) {
    visit_all_mut(root, [&](Compound& c) {
      c.sig = compound_sig(c, tag_on, class_on, out.sig_tag, out.sig_class, out.sig_id);
      out.sig_union |= c.sig;
      c.tag_test = !c.tag || *c.tag == "*" ? kTagTestAny : tag_id(*c.tag);
      if (c.nth && c.nth->filtered) {
        // Its counter counts the siblings that match it without the position.
        Compound plain = c;
        plain.nth.reset();
        size_t at = 0;
        while (at < out.filtered_slots.size() &&
               !(out.filtered_slots[at] == plain && out.filtered_global[at] == c.nth->global))
          ++at;
        c.nth->slot = static_cast<uint32_t>(at);
        if (at == out.filtered_slots.size()) {
          out.filtered_slots.push_back(std::move(plain));
          out.filtered_global.push_back(c.nth->global);
        }
      }
    });
  };
  auto sign_segment = [&](Segment& seg) {
    for (Compound& c : seg.compounds) sign(c);
  };
  for (CSel& c : out.csels)
    for (Segment& seg : c.segments) sign_segment(seg);
  for (GroupSpec& g : out.groups)
    for (SubSel& sub : g.subs)
      if (sub.segment) sign_segment(*sub.segment);
  for (RevEntry& e : out.revs) sign_segment(e.segment);
  for (HasEntry& e : out.has_entries) {
    sign_segment(e.segment);
    sign(*e.has.inner);
    for (Compound& step : e.has.via) sign(step);
  }
  for (TextEntry& e : out.text_entries) sign_segment(e.segment);

  out.counter_stride = static_cast<uint32_t>(1 + out.of_type_tags.size() + out.filtered_slots.size());
  out.any_filtered = !out.filtered_slots.empty();

  // Chain slots of the nearest-match table, over every segment the matcher places.
  auto slots = [&](Segment& seg) {
    seg.chain_slot = out.chain_slots;
    out.chain_slots += static_cast<uint32_t>(std::count(seg.combs.begin(), seg.combs.end(), Comb::kDescendant));
  };
  for (CSel& c : out.csels)
    if (!c.cold)
      for (Segment& seg : c.segments) slots(seg);
  for (GroupSpec& g : out.groups)
    for (SubSel& sub : g.subs)
      if (sub.segment) slots(*sub.segment);
  for (RevEntry& e : out.revs) slots(e.segment);
  for (HasEntry& e : out.has_entries) slots(e.segment);
  for (TextEntry& e : out.text_entries) slots(e.segment);

  // The per-tag loop's compact view and delivery masks.
  for (uint32_t k = 0; k < out.csels.size(); ++k) {
    const CSel& c = out.csels[k];
    CompiledSchema::Quick q;
    if (!c.cold) {
      q.kind = c.segments.size() == 1 ? CompiledSchema::Quick::Kind::kOneSegment
                                      : CompiledSchema::Quick::Kind::kSegments;
      q.subject_sig = c.segments.back().compounds.back().sig;
    }
    out.quick.push_back(q);
    if (k >= kMaskWidth || !c.flat || c.dest >= kMaskWidth || c.feeder) continue;
    const Terminal& t = c.terminal;
    const Terminal& inner = t.kind == Terminal::Kind::kNormalizeSpace ? **t.inner : t;
    if (t.kind == Terminal::Kind::kText)
      (t.subtree ? out.text_subtree_csels : t.after ? out.text_after_csels : out.text_own_csels) |= Mask128::bit(k);
    if (t.kind == Terminal::Kind::kOuter) out.outer_csels |= Mask128::bit(k);
    if (inner.kind == Terminal::Kind::kAttr)
      (inner.descendants ? out.attr_descendant_csels : out.attr_csels) |= Mask128::bit(k);
  }

  // First-root-only queries and containers.
  auto first_root_flat = [&](std::optional<uint32_t> q) {
    return q && *q < in.flat_first_root.size() && in.flat_first_root[*q];
  };
  for (uint32_t k = 0; k < out.csels.size() && k < kMaskWidth; ++k) {
    const CSel& c = out.csels[k];
    const bool first = c.flat ? first_root_flat(c.dest)
                              : c.dest < in.container_first_root.size() && in.container_first_root[c.dest];
    if (first) out.first_root_csels |= Mask128::bit(k);
    if (first && c.segments.size() >= 2) out.first_root_lead_csels |= Mask128::bit(k);
  }
  // A gated template starts after a boundary, which may lead out of the
  // first top-level element: its feeder's first segment alone stands aside.
  auto template_masks = [&](const auto& list, Mask128& mask) {
    for (uint32_t i = 0; i < list.size() && i < kMaskWidth; ++i)
      if (first_root_flat(list[i].query) && list[i].segment.gate < 0) mask |= Mask128::bit(i);
  };
  template_masks(out.revs, out.first_root_revs);
  template_masks(out.has_entries, out.first_root_has);
  template_masks(out.text_entries, out.first_root_texts);
  out.any_first_root = !out.first_root_csels.empty() || !out.first_root_revs.empty() ||
                       !out.first_root_has.empty() || !out.first_root_texts.empty();

  for (TextEntry& e : out.text_entries) {
    e.needle = Needle(e.text.value);
    if (e.text.normalized && !e.text.substring) e.spaced = Needle(std::string(" ").append(e.text.value));
  }

  // 8. Dispatch by tag id and flags.
  build_dispatch(out);
  for (const std::string& n : out.attr_names)
    if (std::any_of(n.begin(), n.end(), [](char c) { return static_cast<uint8_t>(c) >= 0x80; }))
      out.attr_names_non_ascii = true;
  for (const CSel& c : out.csels) {
    if (c.segments.size() >= 2) out.any_sibling = true;
    if (std::any_of(c.sib_combs.begin(), c.sib_combs.end(), is_following)) out.any_following = true;
    if (c.terminal.kind == Terminal::Kind::kNormalizeSpace) {
      out.any_normalize = true;
      if ((*c.terminal.inner)->kind == Terminal::Kind::kOuter) out.normalize_outer = true;
    }
  }
  out.any_text_after = !out.text_after_csels.empty() ||
                       std::any_of(out.text_entries.begin(), out.text_entries.end(),
                                   [](const TextEntry& e) { return e.terminal.after; }) ||
                       std::any_of(out.has_entries.begin(), out.has_entries.end(),
                                   [](const HasEntry& e) { return e.terminal.after; });
  out.any_revs = !out.revs.empty();
  out.any_has_entries = !out.has_entries.empty();
  out.any_text = !out.text_entries.empty();
  auto base_child = [](const Segment& seg) { return seg.base_child; };
  out.any_base_child =
      std::any_of(out.csels.begin(), out.csels.end(), [&](const CSel& c) { return base_child(c.segments[0]); }) ||
      std::any_of(out.revs.begin(), out.revs.end(), [&](const RevEntry& e) { return base_child(e.segment); }) ||
      std::any_of(out.has_entries.begin(), out.has_entries.end(),
                  [&](const HasEntry& e) { return base_child(e.segment); }) ||
      std::any_of(out.text_entries.begin(), out.text_entries.end(),
                  [&](const TextEntry& e) { return base_child(e.segment); });
  out.index_chains();
  return std::move(out);  // out is the builder's member
}

}  // namespace ls
