// The per-element frame of the open-element stack.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base.h"
#include "implied_close.h"
#include "matcher/mask.h"
#include "selector_model.h"
#include "text_value.h"

namespace ls {

// An attribute kept for matching: its name as written and its decoded value.
// Kept attributes live in one arena owned by the matcher; a frame names its
// range, and the arena is truncated when the frame is popped (frames are
// pushed and popped in stack order, so the ranges nest).
struct KeptAttr {
  // Spelled out: clang before 16 lacks parenthesised aggregate initialisation,
  // which emplace_back needs to build one in place.
  KeptAttr() = default;
  KeptAttr(TextValue&& n, TextValue&& v) : name(std::move(n)), value(std::move(v)) {}

  TextValue name;  // as written, or decoded when the document encoding requires it
  TextValue value;
};

// A value a deferred candidate took from itself, held until its decision: a
// view of the document, or its own copy when decoding changed it (a value
// that is dropped frees its copy; only a released one goes to the arena).
struct HeldValue {
  uint32_t tmpl;  // index in the template list it belongs to
  Offset offset;  // source offset, for ordering
  TextValue value;
};

// The tree-repair state a candidate's start event met: what a scan of the
// candidate's source needs, beside its open ancestors, to rebuild the same
// tree (see Matcher::seed_context). The flags are those before the candidate
// itself was pushed: a synthesized head or body exists only because its flag
// was still clear.
struct RepairSeed {
  uint32_t ignored_structural_starts = 0;
  bool head_seen = false, body_seen = false;
};

// A reverse-position candidacy waiting for its parent's close.
struct RevPending {
  uint32_t tmpl;
  uint32_t pos;  // child_pos or type_pos
  Offset start, end;
  std::vector<HeldValue> held;
  RepairSeed seed;
  TagId tag;  // the candidate's
};

// The incremental state of one text-content predicate candidacy.
struct TextEntry;

struct TextMatchState {
  // kOwnFirst: a test of the first own text node (contains, or the XPath
  // normalized and non-blank forms; see TextPred); kSubtreeNonBlank: some
  // text of the subtree is not white space.
  enum class Kind : uint8_t { kSubtreeContains, kSubtreeEquals, kOwnEquals, kOwnFirst, kSubtreeNonBlank };
  Kind kind = Kind::kSubtreeContains;
  uint32_t tmpl = 0;
  uint64_t seen = 0;         // subtree kinds: the template stream's position at the start
  bool flag = false;         // own equals: matched; own first: result
  bool first_seen = false;   // own first

  bool subtree() const {
    return kind == Kind::kSubtreeContains || kind == Kind::kSubtreeEquals || kind == Kind::kSubtreeNonBlank;
  }
  // Feeds one own text run (own kinds only).
  void update_own(const TextEntry& entry, Bytes piece);
};

// Rarely used per-element state, allocated on first need.
struct ColdState {
  // Outer-HTML captures of group sub-fields: (instance sequence, sub-field).
  std::vector<std::pair<uint64_t, uint32_t>> sub_outer;
  // Sub-field memberships this element opened: (flat sub-field id, sub-field).
  std::vector<std::pair<uint32_t, uint32_t>> member_marks;
  std::vector<HeldValue> rev_held;        // this element's reverse candidacies
  std::vector<RevPending> child_revs;     // children's, decided at this element's close
  std::vector<HeldValue> has_held;        // this element's :has() candidacies
  // Children counted for this element's :has() count candidacies: (entry, count).
  std::vector<std::pair<uint32_t, uint32_t>> has_counts;
  // Has and text templates (has entries, then text entries from bit 64: see
  // Matcher::take_first) of which a child has already been released.
  Mask128 first_taken;
  std::vector<TextMatchState> text_states;
  std::vector<HeldValue> text_held;       // this element's text-predicate candidacies
};

// The per-element state every start tag writes and every close reads: one
// cache line. What only some schemas use is in FrameExtra, kept beside the
// stack only for those schemas; the tree-repair class and end priority come
// from the tag id (tag_info), and the name of an element without a tag id
// from the matcher's side stack of such names.
struct alignas(64) OpenElem {
  Mask128 matched;      // CSels of which this element is the subject
  Mask128 in_matched;   // matched OR the parent's in_matched
  uint64_t elem_sig = 0;
  Offset start = 0;
  uint32_t attr_begin = 0, attr_end = 0;  // range in the matcher's attribute arena
  int32_t below_same_name = -1;  // stack index of the next open frame of this name below, or -1
  // A tag with an end priority: the stack index of the next open frame of
  // that priority below, or -1. A name without a tag id (which never has an
  // end priority): the index of the name in the matcher's side stack.
  int32_t link = -1;
  TagId tag = kTagOther;  // tag_id(name)
};
static_assert(sizeof(OpenElem) == 64, "one cache line per open element");

// Per-element state that only some schemas use: deferred candidacies
// (templates), outer-HTML captures, sibling and positional state, group
// instances, and the rarely used lists behind `cold`.
struct FrameExtra {
  Mask128 outer_dests;  // flat outer-HTML columns fed by this element's source
  Mask128 rev_cands;    // reverse-position templates this element is a candidate for
  Mask128 has_cands;    // :has() templates this element is a candidate for
  Mask128 has_found;    // :has() candidacies already satisfied by a later element
  Mask128 text_cands;   // text-predicate templates this element is a candidate for
  Mask128 after_dests;  // flat columns this element's own text feeds from now on (text after a child)
  uint64_t child_any = 0;   // sibling bits emitted so far by this element's children
  uint64_t child_next = 0;  // sibling bits emitted by the most recent child only
  uint64_t sib_state = 0;   // this element's own sibling-state word
  uint64_t arm_at_close = 0;  // following:: bits this element arms when it closes
  uint32_t child_pos = 0;
  uint32_t type_pos = 0;
  uint32_t instance_count = 0;
  RepairSeed seed;  // candidates only: the repair state of the start event
  std::unique_ptr<ColdState> cold;

  ColdState& cold_state() {
    if (!cold) cold = std::make_unique<ColdState>();
    return *cold;
  }
};

}  // namespace ls
