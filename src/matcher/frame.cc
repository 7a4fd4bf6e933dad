// Element frames and implied close: the open-element stack and its repair.
//
// Input: start-tag, end-tag and text events. Output: pushes and pops of
// frames, every pop handed to close_elem with the offset where the element
// ends. The tables are in implied_close.cc, which says whose tree this
// imitates; this file applies them:
//   - skeleton synthesis: html, head and body frames are inferred where the
//     markup omits them, at the position where they become necessary, with
//     an empty source range;
//   - redundant html / head / body start tags are ignored, and their end tags
//     only balance them;
//   - start tags close open elements by the start-closes table;
//   - an end tag closes through the frames above its element only when none
//     of them outranks it on the priority scale;
//   - text before the body, and text after it while a head is open, moves
//     the skeleton forward.
// Invariant: frames are pushed only by start-tag processing and removed only
// from the top, each exactly once through pop_close; index_frame and
// pop_close keep the by-name links (per tag id, and in the name index for
// names without one) and the per-priority links in step with the stack, so that no rule walks the stack: every question about it (is a
// frame of this name open, where is the nearest one, does a frame above it
// outrank an end tag) costs the same at any depth.
// Invariant: a frame named html is only ever pushed onto an empty stack (an
// html start tag is redundant otherwise, and html is synthesized only for an
// empty stack), so it can only be the bottom frame.
#include "matcher/matcher.h"

namespace ls {

namespace {

inline bool is_ws(uint8_t c) { return is_ascii_whitespace(c); }

size_t first_non_ws(Bytes b) {
  size_t p = 0;
  while (p < b.size() && is_ws(static_cast<uint8_t>(b[p]))) ++p;
  return p;
}

bool is_structural(TagId tag) { return tag == kTagHtml || tag == kTagHead || tag == kTagBody; }

[[maybe_unused]] constexpr size_t kWalkCheckDepth = 64;

}  // namespace

int32_t Matcher::nearest_open(Bytes name, TagId tag) const {
  const int32_t found = tag != kTagOther ? open_by_tag_[tag] : names_.top(name, names_.hash(name));
#if defined(LS_DEBUG_CHECKS)
  // The linear search the name index replaces; debug builds compare the two
  // while the stack is shallow (a comparison at every depth would make deep
  // documents quadratic in exactly the builds that run the hostile tests).
  if (stack_.size() <= kWalkCheckDepth) {
    int32_t walk = -1;
    for (size_t i = stack_.size(); i > 0 && walk < 0; --i)
      if (ascii_iequals(frame_name(stack_[i - 1]), name)) walk = static_cast<int32_t>(i - 1);
    LS_CHECK(found == walk);
  }
#endif
  return found;
}

bool Matcher::non_html_frame_open() const {
  LS_DCHECK(stack_.size() < 2 || stack_[1].tag != kTagHtml);
  return stack_.size() > 1 || (stack_.size() == 1 && stack_[0].tag != kTagHtml);
}

void Matcher::open_element(Bytes name, TagId tag, std::span<const Attr> attrs, bool self_closing,
                           Offset start, Offset end) {
  const TagInfo& info = tag_info(tag);
  ensure_frame(info, start);
  const int8_t slot = info.slot;
  if (slot != kNoSlot && tag_is_redundant(slot) &&
      (stack_.empty() || !start_closes(info.close_class, tag_info(stack_.back().tag).close_class))) {
    ignore_structural(self_closing, start, end);
    return;
  }
  flush_text();
  bool closed_head = false;
  while (!stack_.empty() && start_closes(info.close_class, tag_info(stack_.back().tag).close_class)) {
    closed_head |= stack_.back().tag == kTagHead;
    pop_close(start);
  }
  if (slot == kNoSlot && closed_head && !body_seen_ && info.content == FrameContent::kBodyContent)
    synthesize(kTagBody, start);
  if (slot != kNoSlot) {
    if (tag_is_redundant(slot)) {
      ignore_structural(self_closing, start, end);
      return;
    }
    if (slot == kSlotHead) head_seen_ = true;
    if (slot == kSlotBody) body_seen_ = true;
  }
  push_and_match(name, tag, info, attrs, self_closing, start, end);
}

void Matcher::start_tag(Bytes name, TagId tag, std::span<const Attr> attrs, bool self_closing,
                        Offset start, Offset end) {
  if (seeded_ && !before_cut(start)) return;
  event_ignored_ = ignored_structural_starts_;
  open_element(name, tag, attrs, self_closing, start, end);
}

// Out of line: open_element, inlined here, reaches it again through ensure_frame.
LS_NOINLINE void Matcher::synthesize(TagId tag, Offset pos) {
  open_element(tag_name(tag), tag, {}, false, pos, pos);
}

void Matcher::ensure_frame(const TagInfo& info, Offset pos) {
  if (stack_.empty() && info.slot != kSlotHtml) synthesize(kTagHtml, pos);
  if (info.slot != kNoSlot || body_seen_) return;
  if (frame_open(kTagHead)) return;
  switch (info.content) {
    case FrameContent::kStructural:
      return;
    case FrameContent::kBodyContent:
      synthesize(kTagBody, pos);
      return;
    case FrameContent::kHeadContent:
      if (frame_open(kTagFrameset)) synthesize(kTagBody, pos);
      else if (!head_seen_) synthesize(kTagHead, pos);
      return;
  }
}

bool Matcher::tag_is_redundant(int8_t slot) const {
  switch (slot) {
    case kSlotHtml:
      return !stack_.empty();
    case kSlotBody:
      return frame_open(kTagBody);
    case kSlotHead:
      return non_html_frame_open();
    default:
      return false;
  }
}

void Matcher::ignore_structural(bool self_closing, Offset start, Offset end) {
  ++ignored_structural_starts_;
  if (!self_closing) {
    extend_pending_text(start, end);
    return;
  }
  flush_text();
  if (!stack_.empty()) pop_close(start);
}

// The frame is closed where it lies: close_elem reads it (and its parent
// below it) in place, and nothing is pushed until it is popped.
void Matcher::pop_close(Offset end) {
  LS_CHECK(!stack_.empty());
  const size_t index = stack_.size() - 1;
  const OpenElem& frame = stack_.back();
  if (frame.tag != kTagOther) {
    open_by_tag_[frame.tag] = frame.below_same_name;
    if (const uint8_t priority = tag_info(frame.tag).end_priority) priority_top_[priority] = frame.link;
  } else {
    const Bytes name = other_names_[frame.link];
    names_.pop(name, names_.hash(name), frame.below_same_name);
  }
  close_elem(index, end);
  if (seeded_ && index == floor_) {  // a tail scan's candidate: its scan is over
    candidate_closed_ = true;
    floor_ = SIZE_MAX;
  }
  LS_DCHECK(frame.attr_end == attr_arena_.size());  // frames own the arena's tail, in stack order
  // Most frames keep no attribute: then the arena is already at its start.
  if (frame.attr_begin != frame.attr_end) attr_arena_.resize(frame.attr_begin);
  if (frame.tag == kTagOther) other_names_.pop_back();
  stack_.pop_back();
  if (uses_extra_) extra_.pop_back();
  if (schema_.chain_slots) nearest_.resize(index * schema_.chain_slots);
}

void Matcher::end_tag(Bytes name, TagId tag, Offset a, Offset b) {
  if (seeded_ && !before_cut(a)) return;
  const bool structural = is_structural(tag);
  if (structural && ignored_structural_starts_ > 0) {
    --ignored_structural_starts_;
    extend_pending_text(a, b);
    return;
  }
  const int32_t found = nearest_open(name, tag);
  if (found < 0) {
    extend_pending_text(a, b);
    return;
  }
  const size_t target = static_cast<size_t>(found);
  if (!structural) {
    // Blocked when a frame above the target outranks the end tag: the
    // topmost frame of some higher priority lies above it.
    for (int level = tag_info(tag).end_priority + 1; level < kEndPriorityLevels; ++level)
      if (priority_top_[level] > found) {
        extend_pending_text(a, b);  // blocked: the search goes no deeper
        return;
      }
  }
  flush_text();
  while (stack_.size() > target + 1) pop_close(a);
  pop_close(b);
}

void Matcher::extend_pending_text(Offset lt, Offset to) {
  if (pending_.active && pending_.end == lt) pending_.end = to;
}

// A text piece, after the skeleton rules of text() (see emit.cc for runs).
void Matcher::buffer_text(Bytes piece, bool decode_entities, Offset start) {
  if (piece.empty()) return;
  const Offset end = start + static_cast<Offset>(piece.size());
  if (pending_.active && pending_.end == start && pending_.decode_entities == decode_entities) {
    if (!pending_.multi) {
      pending_.decoded.assign(finalize(pending_.first, decode_entities, input_.encoding).bytes());
      pending_.multi = true;
    }
    pending_.decoded.append(finalize(piece, decode_entities, input_.encoding).bytes());
    pending_.end = end;
    return;
  }
  if (pending_.active) flush_text();
  // A run nothing would take is not buffered: its fate is known at its start
  // (see text_wanted). Most text of a page feeds no flat column; when no
  // deferred test, normalize-space capture or group row can take text
  // either, text_wanted would answer no: answered here without the call.
  const CompiledSchema& s = schema_;
  if (stack_.empty()) return;
  const OpenElem& top = stack_.back();
  if (((top.matched & s.text_own_csels) | (top.in_matched & s.text_subtree_csels)).empty() && instances_.empty() &&
      !s.any_normalize && !(s.any_revs || s.any_has_entries || s.any_text) && !s.any_text_after)
    return;
  Mask128 dests;
  if (!text_wanted(dests)) return;
  pending_.active = true;
  pending_.dests = dests;
  pending_.multi = false;
  pending_.decode_entities = decode_entities;
  pending_.first = piece;
  pending_.decoded.clear();
  pending_.start = start;
  pending_.end = end;
}

void Matcher::text(Bytes chunk, bool decode_entities, Offset start) {
  if (seeded_ && !before_cut(start)) return;
  event_ignored_ = ignored_structural_starts_;
  if (!body_seen_) {
    if (!stack_.empty() && stack_.back().tag != kTagHead && non_html_frame_open()) {
      buffer_text(chunk, decode_entities, start);
      return;
    }
    const size_t p = first_non_ws(chunk);
    if (p == chunk.size()) return;  // whitespace before the body is dropped
    if (p > 0) buffer_text(chunk.substr(0, p), decode_entities, start);
    synthesize(kTagBody, start + static_cast<Offset>(p));
    buffer_text(chunk.substr(p), decode_entities, start + static_cast<Offset>(p));
    return;
  }
  if (!stack_.empty() && stack_.back().tag == kTagHead) {
    const size_t p = first_non_ws(chunk);
    if (p == chunk.size()) {
      buffer_text(chunk, decode_entities, start);
      return;
    }
    if (p > 0) buffer_text(chunk.substr(0, p), decode_entities, start);
    flush_text();
    pop_close(start + static_cast<Offset>(p));
    buffer_text(chunk.substr(p), decode_entities, start + static_cast<Offset>(p));
    return;
  }
  if (stack_.empty() && first_non_ws(chunk) < chunk.size()) synthesize(kTagHtml, start);
  buffer_text(chunk, decode_entities, start);
}

}  // namespace ls
