// Compound and segment matching against the open-element stack. Pure
// functions: no allocation, no state.
#pragma once

#include <vector>

#include "matcher/frame.h"
#include "matcher/schema.h"
#include "selector_model.h"

namespace ls {

// Whether 1-based position p is a*n + b for some integer n >= 0 (a = 0: p == b).
// Positions below 1 never match. Shared by forward and reverse positions.
inline bool position_matches(int32_t a, int32_t b, int64_t p) {
  if (p <= 0) return false;
  if (a == 0) return p == b;
  const int64_t diff = p - b;
  const int64_t n = diff / a;
  return n * a == diff && n >= 0;
}

// The value of the first kept attribute named `name` (ASCII case folded).
const TextValue* find_attr(const OpenElem& f, const KeptAttr* arena, Bytes name);

// What matching reads: the stack, the kept attributes, the per-frame extras
// (sibling state and positions; absent when the schema has neither), the
// names of frames without a tag id, and the nearest-match table:
// nearest[j * stride + slot] is the highest stack index <= j at which chain
// `slot` matches with its last compound there, or -1.
struct StackView {
  const std::vector<OpenElem>& stack;
  const KeptAttr* arena;
  const FrameExtra* extra;
  const Bytes* other_names;
  const int32_t* nearest;
  uint32_t stride;
  const uint32_t* filtered = nullptr;  // filtered positions, filtered_stride per level
  uint32_t filtered_stride = 0;
  // Per frame, whether it is a base of a tail scan (Segment::base_child);
  // null outside tail scans of schemas that test it.
  const uint8_t* base = nullptr;
};

// Whether `c` matches the frame at stack index i. Deferred tests (text, rev,
// has) are not looked at here.
bool compound_matches_impl(const Compound& c, const StackView& v, size_t i);

// Whether chain compounds [lo, hi] of `s` match with compound hi on stack[top].
bool chain_matches_at(const StackView& v, const Segment& s, size_t lo, size_t hi, size_t top);

// Whether `s` matches with its last compound on stack[subject] and the others
// on ancestors at index >= floor. `sibling_bit` < 0 means none is required.
bool seg_match_anchored(const StackView& v, const Segment& s, size_t subject, size_t floor,
                        int sibling_bit);

}  // namespace ls
