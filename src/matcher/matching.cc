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

bool find_ci(Bytes v, Bytes w) {
  if (w.size() > v.size()) return false;
  for (size_t i = 0; i + w.size() <= v.size(); ++i)
    if (ascii_iequals(v.substr(i, w.size()), w)) return true;
  return false;
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
      return !w.empty() && (p.ci ? find_ci(v, w) : v.find(w) != Bytes::npos);
    case AttrOp::kIncludes:
      return !w.empty() && (p.ci ? contains_word_ci(v, w) : contains_word(v, w));
    case AttrOp::kDashMatch:
      if (bytes_equal(v, w, p.ci)) return true;
      return v.size() > w.size() && bytes_equal(v.substr(0, w.size()), w, p.ci) && v[w.size()] == '-';
  }
  return false;
}

inline bool position_matches(int32_t a, int32_t b, uint32_t p) {
  if (p == 0) return false;
  if (a == 0) return static_cast<int64_t>(p) == b;
  int64_t diff = static_cast<int64_t>(p) - b;
  int64_t n = diff / a;
  return n * a == diff && n >= 0;
}

}  // namespace

const TextValue* find_attr(const OpenElem& f, const KeptAttr* arena, Bytes name) {
  for (uint32_t i = f.attr_begin; i < f.attr_end; ++i)
    if (ascii_iequals(arena[i].name.bytes(), name)) return &arena[i].value;
  return nullptr;
}

bool compound_matches_impl(const Compound& c, const OpenElem& f, const KeptAttr* arena) {
  if (c.sig & ~f.elem_sig) return false;
  if (c.tag && !(c.tag->size() == 1 && (*c.tag)[0] == '*') && !ascii_iequals(*c.tag, f.name))
    return false;
  if (c.id) {
    const TextValue* id = find_attr(f, arena, "id");
    if (!id || id->bytes() != *c.id) return false;
  }
  if (!c.classes.empty()) {
    const TextValue* cls = find_attr(f, arena, "class");
    Bytes v = cls ? cls->bytes() : Bytes();
    for (const std::string& want : c.classes)
      if (!contains_word(v, want)) return false;
  }
  for (const AttrPred& p : c.attrs) {
    const TextValue* v = find_attr(f, arena, p.name);
    if (!v || !attr_holds(p, v->bytes())) return false;
  }
  for (const Compound& n : c.nots)
    if (compound_matches_impl(n, f, arena)) return false;
  for (const auto& group : c.is_groups) {
    bool any = false;
    for (const Compound& alt : group)
      if (compound_matches_impl(alt, f, arena)) {
        any = true;
        break;
      }
    if (!any) return false;
  }
  if (c.nth) {
    uint32_t p = c.nth->of_type ? f.type_pos : f.child_pos;
    if (!position_matches(c.nth->a, c.nth->b, p)) return false;
  }
  return true;
}

bool seg_match_anchored(const std::vector<OpenElem>& stack, const KeptAttr* arena,
                        const Segment& s, size_t subject, size_t floor, int sibling_bit) {
  const size_t g = s.compounds.size();
  if (subject < floor || subject >= stack.size()) return false;
  if (!compound_matches_impl(s.compounds[g - 1], stack[subject], arena)) return false;

  // The foot test, applied where compound 0 lands.
  auto foot_ok = [&](size_t i) {
    if (i < floor) return false;
    if (s.anchor && i - floor != *s.anchor) return false;
    if (s.relative && i == floor) return false;
    if (sibling_bit >= 0 && !((stack[i].sib_state >> sibling_bit) & 1)) return false;
    return true;
  };
  if (g == 1) return foot_ok(subject);

  // Chains: maximal runs joined by Child, worked from the last one back.
  // The last chain is fixed on the subject and its parents.
  size_t hi = g - 1;  // index of the last compound of the current chain
  size_t lo = hi;
  while (lo > 0 && s.combs[lo - 1] == Comb::kChild) --lo;
  // Compounds lo..hi sit on stack[subject - (hi - k)].
  if (subject < floor + (hi - lo)) return false;
  for (size_t k = lo; k < hi; ++k)
    if (!compound_matches_impl(s.compounds[k], stack[subject - (hi - k)], arena)) return false;
  size_t used = subject - (hi - lo);  // frame of the chain's first compound
  if (lo == 0) return foot_ok(used);

  while (true) {
    // The chain before: compounds lo2..hi2 with hi2 = lo - 1, joined to the
    // next chain by Descendant; place its last compound below `used`.
    size_t hi2 = lo - 1;
    size_t lo2 = hi2;
    while (lo2 > 0 && s.combs[lo2 - 1] == Comb::kChild) --lo2;
    const size_t len = hi2 - lo2;  // frames spanned above the chain's first
    bool first_chain = lo2 == 0;
    bool placed = false;
    // Trial positions for the chain's last compound: used-1 down to floor+len.
    for (size_t top = used; top-- > floor + len;) {
      bool ok = true;
      for (size_t k = lo2; k <= hi2 && ok; ++k)
        ok = compound_matches_impl(s.compounds[k], stack[top - (hi2 - k)], arena);
      if (!ok) continue;
      size_t foot = top - len;
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
