// Compound and segment matching.
//
// Input: a compound or segment and the open-element stack. Output: whether it
// matches. Compounds are tested in a fixed order with the signature first, so
// that most candidates are rejected by one mask test. Segments are placed
// greedily, nearest ancestor first, chain by chain: a nearer placement of a
// descendant-joined chain leaves every ancestor range a farther one would, so
// greedy placement is exact; only the first chain slides further when the
// anchor, relative or sibling-bit test at its foot fails.
#include "matcher/matching.h"

#include <cstring>

namespace ls {

namespace {

inline bool is_space(uint8_t c) { return is_ascii_whitespace(c); }

bool bytes_equal(Bytes a, Bytes b, bool ci) { return ci ? ascii_iequals(a, b) : a == b; }

bool contains_word(Bytes v, Bytes w) {
  size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && is_space(static_cast<uint8_t>(v[i]))) ++i;
    size_t s = i;
    while (i < v.size() && !is_space(static_cast<uint8_t>(v[i]))) ++i;
    if (i > s && v.substr(s, i - s) == w) return true;
  }
  return false;
}

bool contains_word_ci(Bytes v, Bytes w) {
  size_t i = 0;
  while (i < v.size()) {
    while (i < v.size() && is_space(static_cast<uint8_t>(v[i]))) ++i;
    size_t s = i;
    while (i < v.size() && !is_space(static_cast<uint8_t>(v[i]))) ++i;
    if (i > s && ascii_iequals(v.substr(s, i - s), w)) return true;
  }
  return false;
}

// Substring tests on attribute values run in time linear in the value: the
// value and the literal may both be long (an attribute of a megabyte, a
// literal of kilobytes), and a naive search costs their product. The C
// library's memmem is linear (two-way); a literal longer than the value is
// refused before any work, so a test costs O(value) in all.
bool find_cs(Bytes v, Bytes w) {
  if (w.size() > v.size()) return false;
  return memmem(v.data(), v.size(), w.data(), w.size()) != nullptr;
}

bool find_ci(Bytes v, Bytes w) {
  if (w.size() > v.size()) return false;
  // A short literal: at most 16 comparisons per byte of the value.
  if (w.size() <= 16) {
    for (size_t i = 0; i + w.size() <= v.size(); ++i)
      if (ascii_iequals(v.substr(i, w.size()), w)) return true;
    return false;
  }
  auto lower = [](Bytes b) {
    std::string out(b);
    for (char& c : out) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
    return out;
  };
  return find_cs(lower(v), lower(w));
}

bool attr_holds(const AttrPred& p, Bytes v) {
  Bytes w = p.value;
  switch (p.op) {
    case AttrOp::kExists:
      return true;
    case AttrOp::kEquals:
      return bytes_equal(v, w, p.ci);
    case AttrOp::kPrefix:
      return !w.empty() && v.size() >= w.size() && bytes_equal(v.substr(0, w.size()), w, p.ci);
    case AttrOp::kSuffix:
      return !w.empty() && v.size() >= w.size() && bytes_equal(v.substr(v.size() - w.size()), w, p.ci);
    case AttrOp::kSubstring:
      return !w.empty() && (p.ci ? find_ci(v, w) : find_cs(v, w));
    case AttrOp::kIncludes:
      return !w.empty() && (p.ci ? contains_word_ci(v, w) : contains_word(v, w));
    case AttrOp::kDashMatch:
      if (bytes_equal(v, w, p.ci)) return true;
      return v.size() > w.size() && bytes_equal(v.substr(0, w.size()), w, p.ci) && v[w.size()] == '-';
  }
  return false;
}

}  // namespace

const TextValue* find_attr(const OpenElem& f, const KeptAttr* arena, Bytes name) {
  for (uint32_t i = f.attr_begin; i < f.attr_end; ++i)
    if (ascii_iequals(arena[i].name.bytes(), name)) return &arena[i].value;
  return nullptr;
}

bool compound_matches_impl(const Compound& c, const StackView& v, size_t i) {
  const OpenElem& f = v.stack[i];
  const KeptAttr* arena = v.arena;
  if (c.sig & ~f.elem_sig) return false;
  if (c.tag_test < kTagTestByName) {
    // Equal ids; a name without one is compared as a name.
    if (f.tag != c.tag_test || (c.tag_test == kTagOther && !ascii_iequals(*c.tag, v.other_names[f.link])))
      return false;
  } else if (c.tag_test == kTagTestByName && c.tag && !(c.tag->size() == 1 && (*c.tag)[0] == '*') &&
             !ascii_iequals(*c.tag, f.tag != kTagOther ? tag_name(f.tag) : v.other_names[f.link])) {
    return false;
  }
  if (c.id) {
    const TextValue* id = find_attr(f, arena, "id");
    if (!id || id->bytes() != *c.id) return false;
  }
  if (!c.classes.empty()) {
    const TextValue* cls = find_attr(f, arena, "class");
    const Bytes words = cls ? cls->bytes() : Bytes();
    for (const std::string& want : c.classes)
      if (!contains_word(words, want)) return false;
  }
  for (const AttrPred& p : c.attrs) {
    const TextValue* value = find_attr(f, arena, p.name);
    if (!value || !attr_holds(p, value->bytes())) return false;
  }
  for (const Compound& n : c.nots)
    if (compound_matches_impl(n, v, i)) return false;
  for (const auto& group : c.is_groups) {
    bool any = false;
    for (const Compound& alt : group)
      if (compound_matches_impl(alt, v, i)) {
        any = true;
        break;
      }
    if (!any) return false;
  }
  if (c.nth) {
    LS_CHECK(v.extra);  // positions are kept whenever a compound has one
    uint32_t p;
    if (c.nth->filtered) {
      LS_CHECK(c.nth->slot < v.filtered_stride && v.filtered);  // every filtered compound has a slot
      p = v.filtered[i * v.filtered_stride + c.nth->slot];
    } else {
      p = c.nth->of_type ? v.extra[i].type_pos : v.extra[i].child_pos;
    }
    if (!position_matches(c.nth->a, c.nth->b, p)) return false;
  }
  return true;
}

bool chain_matches_at(const StackView& v, const Segment& s, size_t lo, size_t hi, size_t top) {
  if (top < hi - lo) return false;
  for (size_t k = lo; k <= hi; ++k)
    if (!compound_matches_impl(s.compounds[k], v, top - (hi - k))) return false;
  return true;
}

bool seg_match_anchored(const StackView& v, const Segment& s, size_t subject, size_t floor,
                        int sibling_bit) {
  const std::vector<OpenElem>& stack = v.stack;
  const size_t g = s.compounds.size();
  if (subject < floor || subject >= stack.size()) return false;
  if (!compound_matches_impl(s.compounds[g - 1], v, subject)) return false;

  // The foot test, applied where compound 0 lands.
  auto foot_ok = [&](size_t i) {
    if (i < floor) return false;
    if (s.anchor && i - floor != *s.anchor) return false;
    if (s.relative && i == floor) return false;
    if (s.base_child && (i == 0 || !v.base || !v.base[i - 1])) return false;
    if (sibling_bit >= 0 && !((v.extra[i].sib_state >> sibling_bit) & 1)) return false;
    return true;
  };
  if (g == 1) return foot_ok(subject);

  // Chains: maximal runs joined by Child, worked from the last one back.
  // The last chain is fixed on the subject and its parents.
  size_t hi = g - 1;
  size_t lo = hi;
  while (lo > 0 && s.combs[lo - 1] == Comb::kChild) --lo;
  if (subject < floor + (hi - lo)) return false;
  for (size_t k = lo; k < hi; ++k)
    if (!compound_matches_impl(s.compounds[k], v, subject - (hi - k))) return false;
  size_t used = subject - (hi - lo);  // frame of the chain's first compound
  if (lo == 0) return foot_ok(used);

  // Chain slots count from the first chain: chain i of a segment with m + 1
  // chains has slot chain_slot + i, for i < m.
  size_t chain = 0;
  for (size_t k = 0; k < lo; ++k)
    if (s.combs[k] == Comb::kDescendant) ++chain;  // index of the chain ending at lo - 1, plus one

  while (true) {
    const size_t hi2 = lo - 1;
    size_t lo2 = hi2;
    while (lo2 > 0 && s.combs[lo2 - 1] == Comb::kChild) --lo2;
    --chain;
    const size_t len = hi2 - lo2;
    const bool first_chain = lo2 == 0;
    // Candidate positions of the chain's last compound, highest first, below
    // `used` and with the chain's first compound at or above the floor. The
    // nearest-match table jumps straight from one matching position to the
    // next, so a deep stack with few matches costs no scan.
    auto next_below = [&](size_t limit) -> int64_t {  // highest matching index < limit
      if (limit == 0) return -1;
      if (v.nearest) return v.nearest[(limit - 1) * v.stride + s.chain_slot + chain];
      for (size_t top = limit; top-- > 0;)
        if (chain_matches_at(v, s, lo2, hi2, top)) return static_cast<int64_t>(top);
      return -1;
    };
    bool placed = false;
    for (int64_t top = next_below(used); top >= static_cast<int64_t>(floor + len);
         top = next_below(static_cast<size_t>(top))) {
      const size_t foot = static_cast<size_t>(top) - len;
      if (first_chain) {
        if (foot_ok(foot)) return true;
        continue;  // slide further down
      }
      used = foot;
      placed = true;
      break;
    }
    if (first_chain || !placed) return false;
    lo = lo2;
  }
}

}  // namespace ls
