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
#include "text_value.h"

namespace ls {

// An attribute kept for matching: its name as written and its decoded value.
// Kept attributes live in one arena owned by the matcher; a frame names its
// range, and the arena is truncated when the frame is popped (frames are
// pushed and popped in stack order, so the ranges nest).
struct KeptAttr {
  TextValue name;  // as written, or decoded when the document encoding requires it
  TextValue value;
};

// Rarely used per-element state, allocated on first need.
struct ColdState {
  // Outer-HTML captures of group sub-fields: (instance sequence, sub-field).
  std::vector<std::pair<uint64_t, uint32_t>> sub_outer;
};

struct OpenElem {
  Mask128 matched;      // CSels of which this element is the subject
  Mask128 in_matched;   // matched OR the parent's in_matched
  Mask128 text_dests;   // flat text columns fed by the text directly inside
  Mask128 outer_dests;  // flat outer-HTML columns fed by this element's source
  uint64_t elem_sig = 0;
  uint64_t child_any = 0;   // sibling bits emitted so far by this element's children
  uint64_t child_next = 0;  // sibling bits emitted by the most recent child only
  uint64_t sib_state = 0;   // this element's own sibling-state word
  Bytes name;               // as written
  Offset start = 0;
  uint32_t instance_count = 0;
  uint32_t child_pos = 0;
  uint32_t type_pos = 0;
  uint32_t attr_begin = 0, attr_end = 0;  // range in the matcher's attribute arena
  CloseClass close_class = CloseClass::kOther;
  uint8_t end_priority = 0;
  std::unique_ptr<ColdState> cold;

  ColdState& cold_state() {
    if (!cold) cold = std::make_unique<ColdState>();
    return *cold;
  }
};

}  // namespace ls
