// Start-tag processing: everything decided when an element opens.
//
// Input: a start tag that the tree repair lets through. Output: a new frame on
// the stack carrying, as fixed-width masks, the selectors it is the subject
// of, the text and outer-HTML columns it feeds, and its sibling state; group
// instances and captures it opens; attribute values it emits at once.
// Only attributes whose names some query mentions are kept and decoded; a
// 64-bit name filter rejects most others without a string comparison.
#include <algorithm>
#include <cstring>

#include "matcher/matcher.h"
#include "matcher/matching.h"
#include "matcher/sig.h"
#include "whatwg/decode.h"

namespace ls {

namespace {

constexpr const char* kMinimizedBooleans[] = {
    "checked", "compact",  "declare", "defer",    "disabled", "ismap",   "multiple",
    "nohref",  "noresize", "noshade", "nowrap",   "readonly", "selected",
};

bool is_minimized_boolean_attr(Bytes name) {
  for (const char* b : kMinimizedBooleans)
    if (ascii_iequals(name, b)) return true;
  return false;
}

bool has_non_ascii(Bytes b) {
  for (char c : b)
    if (static_cast<uint8_t>(c) >= 0x80) return true;
  return false;
}

template <class F>
void for_each_word(Bytes v, F&& f) {
  size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && is_ascii_whitespace(static_cast<uint8_t>(v[i]))) ++i;
    size_t s = i;
    while (i < v.size() && !is_ascii_whitespace(static_cast<uint8_t>(v[i]))) ++i;
    if (i > s) f(v.substr(s, i - s));
  }
}

// ascii_iequals against a name already in lower case (attr_names are): only
// the document's side is folded.
bool equals_lower(Bytes name, Bytes lower) {
  if (name.size() != lower.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (ascii_lower(static_cast<uint8_t>(name[i])) != static_cast<uint8_t>(lower[i])) return false;
  return true;
}

}  // namespace

// Lists every descendant-joined chain but the last of every segment the
// matcher places, in slot order.
void CompiledSchema::index_chains() {
  chains.clear();
  auto add = [&](const Segment& seg) {
    uint32_t slot = seg.chain_slot;
    uint32_t lo = 0;
    for (uint32_t i = 0; i < seg.combs.size(); ++i) {
      if (seg.combs[i] != Comb::kDescendant) continue;
      chains.push_back(ChainRef{seg.compounds[i].sig, &seg, lo, i, slot++});
      lo = i + 1;
    }
  };
  for (const CSel& c : csels)
    if (!c.cold)
      for (const Segment& seg : c.segments) add(seg);
  for (const GroupSpec& g : groups)
    for (const SubSel& sub : g.subs)
      if (sub.segment) add(*sub.segment);
  for (const RevEntry& e : revs) add(e.segment);
  for (const HasEntry& e : has_entries) add(e.segment);
  for (const TextEntry& e : text_entries) add(e.segment);
  LS_CHECK(chains.size() == chain_slots);
  // Per tag id, the chains whose last compound admits it (a compound
  // compared by name admits every id, as in compile's per-tag tables); with
  // more than 64 chains the element tests them all instead.
  chains_by_tag.assign(kTagCount, 0);
  if (chains.size() <= 64)
    for (size_t i = 0; i < chains.size(); ++i) {
      const uint16_t test = chains[i].segment->compounds[chains[i].hi].tag_test;
      for (int id = 0; id < kTagCount; ++id)
        if (test >= kTagTestByName || test == id) chains_by_tag[static_cast<size_t>(id)] |= uint64_t{1} << i;
    }
}

// Records, for every descendant-joined chain of every segment, the highest
// stack index at or below d where the chain matches. Placing a chain is then
// a jump from match to match instead of a scan of the ancestors, so deep
// documents cost no more per element than shallow ones.
//
// The row starts as a copy of the one below (no chain matches here), and
// only chains whose last compound's signature the element carries are
// tested: the signature test is the first thing a compound match does, so
// skipping on it changes nothing but the cost.
void Matcher::update_chain_memo(size_t d) {
  const CompiledSchema& s = schema_;
  const uint32_t stride = s.chain_slots;
  // Rows above the stack are dropped when their frames pop, so the new row
  // is appended: growing the table by a resize would first zero it, in a
  // call, for every element.
  if (nearest_.size() != d * stride) nearest_.resize(d * stride);
  if (d)
    for (size_t i = (d - 1) * stride; i < d * stride; ++i) nearest_.push_back(nearest_[i]);
  else
    nearest_.insert(nearest_.end(), stride, -1);
  int32_t* row = nearest_.data() + d * stride;
  const uint64_t sig = stack_[d].elem_sig;
  auto place = [&](const CompiledSchema::ChainRef& c) {
    if (c.sig & ~sig) return;
    if (chain_matches_at(view(), *c.segment, c.lo, c.hi, d)) row[c.slot] = static_cast<int32_t>(d);
  };
  // Only the chains whose last compound admits the element's tag id: most
  // elements of a dense page have none and only copy the row.
  if (s.chains.size() <= 64)
    for (uint64_t w = s.chains_by_tag[stack_[d].tag]; w; w &= w - 1)
      place(s.chains[static_cast<size_t>(__builtin_ctzll(w))]);
  else
    for (const CompiledSchema::ChainRef& c : s.chains) place(c);
}

// Whether the schema keeps an attribute of this name on an element whose
// tag keeps `wanted` (bits over attr_names). Only the few names of the tag
// are compared, shortest test first.
bool Matcher::attr_wanted(Bytes name, uint64_t wanted) const {
  const CompiledSchema& s = schema_;
  if (!s.attrs_by_tag) {  // more than 64 names: every element keeps them all
    for (const std::string& n : s.attr_names)
      if (ascii_iequals(name, n)) return true;
    return false;
  }
  for (uint64_t w = wanted; w; w &= w - 1) {
    const std::string& n = s.attr_names[static_cast<size_t>(__builtin_ctzll(w))];
    if (n.size() == name.size() && equals_lower(name, n)) return true;
  }
  return false;
}

void Matcher::keep_attrs(std::span<const Attr> attrs, uint64_t wanted) {
  // The lengths of the names this tag keeps, as bits (bit min(length, 63)):
  // most other names fail this one test before a name is built or compared.
  // A decoded name's length is not its raw one: then every length passes.
  uint64_t lengths = ~uint64_t{0};
  if (schema_.attrs_by_tag && !decode_names_) {
    lengths = 0;
    for (uint64_t w = wanted; w; w &= w - 1)
      lengths |= uint64_t{1}
                 << std::min<size_t>(schema_.attr_names[static_cast<size_t>(__builtin_ctzll(w))].size(), 63);
  }
  for (const Attr& a : attrs) {
    if (!((lengths >> std::min<size_t>(a.name.size(), 63)) & 1)) continue;
    TextValue name = TextValue::view(a.name);
    if (decode_names_ && has_non_ascii(a.name)) name = decode_bytes(a.name, input_.encoding);
    if (!attr_wanted(name.bytes(), wanted)) continue;
    if (a.has_value) {  // built in place: a KeptAttr moved holds two strings
      attr_arena_.emplace_back(std::move(name), decode_attr(a.value, input_.encoding));
      continue;
    }
    TextValue value;
    if (is_minimized_boolean_attr(name.bytes())) {
      std::string v;
      whatwg::decode_append(whatwg::Encoding::kUtf8, name.bytes(), v);
      for (char& c : v) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
      value = TextValue::owned(std::move(v));
    }
    attr_arena_.push_back({std::move(name), std::move(value)});
  }
}

// Filtered positions (Nth::filtered) of the new frame at d, whose positional
// counters level d holds: kept apart from push_and_match, which schemas
// without them run on every tag.
LS_NOINLINE void Matcher::count_filtered(size_t d) {
  const CompiledSchema& s = schema_;
  const size_t slots = s.filtered_slots.size();
  filtered_pos_.resize((d + 1) * slots);  // entries above d are stale and rewritten when used
  const size_t base = d * s.counter_stride + 1 + s.of_type_tags.size();
  if (global_pos_.size() != slots) global_pos_.assign(slots, 0);
  for (size_t j = 0; j < slots; ++j) {
    uint32_t& counter = s.filtered_global[j] ? global_pos_[j] : counters_[base + j];
    filtered_pos_[d * slots + j] = compound_matches_impl(s.filtered_slots[j], view(), d) ? ++counter : 0;
  }
}

// In a tail scan: whether the new frame is one of the elements the tail was
// decided for. Elements start in document order and the bases are sorted
// the same way, so one cursor walks them once.
LS_NOINLINE void Matcher::mark_base(const OpenElem& f, size_t d) {
  while (next_base_ < bases_.size() && bases_[next_base_].start < f.start) ++next_base_;
  const bool is_base = next_base_ < bases_.size() && bases_[next_base_].start == f.start &&
                       bases_[next_base_].tag == f.tag;
  if (is_base) ++next_base_;
  if (base_.size() <= d) base_.resize(d + 1, 0);
  base_[d] = is_base;
}

void Matcher::push_and_match(Bytes name, TagId tag, const TagInfo& info, std::span<const Attr> attrs,
                             bool self_closing, Offset start, Offset end) {
  const CompiledSchema& s = schema_;
  const CompiledSchema::TagDispatch& dispatch = s.by_tag[tag];
  const KeptAttr* arena;

  // Attributes and signature: only the attributes the candidates of this tag
  // test or read are kept. (The nearest-match table assumes a stack of at
  // most 2^31 frames; a document has fewer bytes than that.)
  const uint32_t attr_begin = static_cast<uint32_t>(attr_arena_.size());
  if (!attrs.empty() && dispatch.attrs) keep_attrs(attrs, dispatch.attrs);
  const uint32_t attr_end = static_cast<uint32_t>(attr_arena_.size());
  arena = attr_arena_.data();

  const size_t d = stack_.size();
  OpenElem& f = stack_.emplace_back();
  if (uses_extra_) extra_.emplace_back();
  f.tag = tag;
  f.start = start;
  f.attr_begin = attr_begin;
  f.attr_end = attr_end;
  index_frame(f, d, name);
  if (s.any_base_child) mark_base(f, d);
  OpenElem* parent = d ? &stack_[d - 1] : nullptr;
  FrameExtra* fx = uses_extra_ ? &extra_[d] : nullptr;
  FrameExtra* px = uses_extra_ ? parent_extra(d) : nullptr;

  if (s.sig_tag) f.elem_sig |= tag != kTagOther ? dispatch.tag_sig : tag_sig(name);
  if (s.sig_id)
    if (const TextValue* id = find_attr(f, arena, "id")) f.elem_sig |= id_sig(id->bytes());
  if (s.sig_class)
    if (const TextValue* cls = find_attr(f, arena, "class"))
      for_each_word(cls->bytes(), [&](Bytes w) { f.elem_sig |= class_sig(w); });

  // Positions among siblings: T + 1 counters per level.
  if (s.any_positional) {
    const size_t stride = s.counter_stride;
    LS_CHECK(counters_.size() >= (d + 1) * stride);
    fx->child_pos = ++counters_[d * stride];
    for (size_t t = 0; t < s.of_type_tags.size(); ++t)
      if (ascii_iequals(name, s.of_type_tags[t])) {
        fx->type_pos = ++counters_[d * stride + 1 + t];
        break;
      }
    if (s.any_filtered) count_filtered(d);
    counters_.resize((d + 2) * stride, 0);
  }

  if (s.chain_slots) update_chain_memo(d);

  // Own sibling state, from the bits earlier siblings emitted.
  if (s.any_sibling) {
    const uint64_t any = px ? px->child_any : root_child_any_;
    const uint64_t next = px ? px->child_next : root_child_next_;
    dispatch.sibling.for_each([&](unsigned k) {
      const CSel& c = s.csels[k];
      for (size_t i = 0; i + 1 < c.segments.size(); ++i) {
        const uint32_t bit = c.sib_bits[i];
        const Comb comb = c.sib_combs[i];
        const uint64_t word = comb == Comb::kAdjacent                                  ? next
                              : comb == Comb::kSibling || comb == Comb::kSiblingFirst ? any
                                                                                      : following_;
        if (((word >> bit) & 1) && compound_matches_impl(c.segments[i + 1].compounds[0], view(), d)) {
          fx->sib_state |= uint64_t{1} << bit;
          // following::E[1]: this E is the first after every context
          // closed so far; a later context arms the bit again.
          if (comb == Comb::kFollowingFirst) following_ &= ~(uint64_t{1} << bit);
          // following-sibling::E[1]: the same among the parent's children.
          if (comb == Comb::kSiblingFirst) (px ? px->child_any : root_child_any_) &= ~(uint64_t{1} << bit);
        }
      }
    });
  }

  // Streamed selectors: the candidates of this tag only. Nothing below
  // moves the stack or its side tables, so one view serves every test.
  uint64_t emitted = 0;
  const StackView v = view();
  const bool later = later_root();
  const Mask128 live = later ? dispatch.csels & ~(s.first_root_csels & ~s.first_root_lead_csels) : dispatch.csels;
  live.for_each([&](unsigned k) {
    // The compact view's signature rejects most elements before the CSel
    // itself is touched.
    const CompiledSchema::Quick q = s.quick[k];
    if (q.kind == CompiledSchema::Quick::Kind::kOneSegment && (q.subject_sig & ~f.elem_sig)) return;
    const CSel& c = s.csels[k];
    bool subject;
    if (q.kind == CompiledSchema::Quick::Kind::kOneSegment) {
      subject = seg_match_anchored(v, c.segments[0], d, floor_, -1);
    } else {
      const size_t count = c.segments.size();
      if (!(later && s.first_root_lead_csels.test(k)) && seg_match_anchored(v, c.segments[0], d, floor_, -1))
        emitted |= uint64_t{1} << c.sib_bits[0];
      for (size_t i = 1; i + 1 < count; ++i)
        if (seg_match_anchored(v, c.segments[i], d, floor_, static_cast<int>(c.sib_bits[i - 1])))
          emitted |= uint64_t{1} << c.sib_bits[i];
      subject = !c.feeder && seg_match_anchored(v, c.segments[count - 1], d, floor_,
                                                static_cast<int>(c.sib_bits[count - 2]));
    }
    if (subject) f.matched |= Mask128::bit(k);
  });
  f.in_matched = parent ? (f.matched | parent->in_matched) : f.matched;

  // Deferred candidacies and :has() evidence.
  if (s.any_revs || s.any_has_entries || s.any_text) become_candidate(f, d);

  // Group instances opened by this element, and the rows it belongs to.
  if (!s.containers.empty()) {
    open_instances(f, d);
    if (!instances_.empty()) mark_members(d);
  }

  // Outer HTML.
  if (s.wants_source) {
    if (!f.matched.empty()) {
      Mask128& outer = fx->outer_dests;
      (f.matched & s.outer_csels).for_each([&](unsigned k) { outer |= Mask128::bit(s.csels[k].dest); });
      // A first-only column captures the first element that starts with its
      // destination, the first in document order, and no later one.
      outer = outer & ~outer_claimed_;
      outer_claimed_ |= outer & s.first_only_mask;
      if (!outer.empty() && !s.early_stop_mask.empty()) ++open_outer_captures_;
    }
    if (!instances_.empty()) instance_outer(d);
  }

  // Normalize-space over whole elements: the first matching element is captured.
  if (s.normalize_outer && !f.matched.empty()) {
    f.matched.for_each([&](unsigned k) {
      const Terminal& t = s.csels[k].terminal;
      if (t.kind != Terminal::Kind::kNormalizeSpace || (*t.inner)->kind != Terminal::Kind::kOuter) return;
      NsState& ns = ns_[k];
      if (!ns.value && !ns.gathered) {
        ns.index = static_cast<int64_t>(d);
        ns.gathered = std::string();
      }
    });
  }

  // Sibling emission into the parent's child words.
  if (s.any_sibling) {
    uint64_t em = emitted & s.ungated_bits;
    if (s.any_following) {  // armed when this element closes
      fx->arm_at_close = em & s.following_bits;
      em &= ~s.following_bits;
    }
    uint64_t& any = px ? px->child_any : root_child_any_;
    uint64_t& next = px ? px->child_next : root_child_next_;
    any |= em;
    next = em;
  }

  // Attribute values.
  const Mask128 attr_subjects = (f.matched & s.attr_csels) | (f.in_matched & s.attr_descendant_csels);
  for (uint32_t ai = attr_begin; ai < attr_end; ++ai) {
    const KeptAttr& a = arena[ai];
    const Bytes aname = a.name.bytes();
    bool duplicate = false;  // only the first attribute of a name reaches a column
    for (uint32_t prev = attr_begin; prev < ai && !duplicate; ++prev)
      duplicate = ascii_iequals(arena[prev].name.bytes(), aname);
    if (duplicate) continue;
    PendingValue value(a.value, arena_);
    attr_subjects.for_each([&](unsigned k) {
      const CSel& c = s.csels[k];
      const bool normalized = c.terminal.kind == Terminal::Kind::kNormalizeSpace;
      const Terminal& t = normalized ? **c.terminal.inner : c.terminal;
      if (!ascii_iequals(t.name, aname)) return;
      if (normalized) {
        if (!ns_[k].value) ns_[k].value = normalize_space(a.value.bytes());
      } else if (!filled_.test(c.dest)) {
        emit_flat(c.dest, start, value.get());
      }
    });
    if (!instances_.empty()) instance_attr(d, aname, value);
  }

  // Void elements and self-closing tags have no content.
  if (self_closing || info.empty) pop_close(end);
}

}  // namespace ls
