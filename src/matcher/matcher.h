// The streaming matcher: the token sink that keeps the open-element stack,
// repairs malformed markup, matches selectors at start tags and emits values.
// One Matcher per scan; the schema and the document are only read.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "implied_close.h"
#include "matcher/buffers.h"
#include "matcher/decode.h"
#include "matcher/frame.h"
#include "matcher/matching.h"
#include "matcher/name_index.h"
#include "matcher/schema.h"
#include "tokenizer.h"

namespace ls {

// One group instance whose container element is open.
struct OpenInstance {
  std::vector<Column> rows;  // one value list per sub-field
  std::vector<uint8_t> member;  // per sub-field: an open frame inside the container is its subject
  uint32_t group = 0;
  uint32_t container = 0;  // stack index of the container element
  uint64_t seq = 0;        // order of the container's start tag
};

struct OuterCapture {
  Offset start = 0, end = 0;
  bool flat = true;   // a flat column, else a group sub-field of an instance
  uint32_t query = 0;  // flat column, or sub-field index
  uint64_t seq = 0;    // instance sequence for a sub-field
  uint32_t depth = 0;  // stack index of the element: orders elements that start at one offset
};

// The single value of one normalize-space CSel.
struct NsState {
  std::optional<std::string> value;
  int64_t index = -1;                   // stack index of the captured element
  std::optional<std::string> gathered;  // present while a capture is open
};

struct KeyedValue {
  uint32_t query;
  Offset offset;
  Bytes value;  // stable (see PendingValue)
};

// A value that reaches the result only if some column or row wants it: its
// stable form (a view of the document, or a copy in the arena when decoding
// changed it) is made at most once, on first use.
class PendingValue {
 public:
  PendingValue(const TextValue& v, ValueArena& arena) : v_(v), arena_(arena) {}
  Bytes get() {
    if (!done_) {
      stable_ = stable(v_, arena_);
      done_ = true;
    }
    return stable_;
  }
  const TextValue& value() const { return v_; }

 private:
  const TextValue& v_;
  ValueArena& arena_;
  Bytes stable_;
  bool done_ = false;
};

// The open ancestors of a deferred candidate that its tail scan must see to
// repair the candidate's subtree as the main scan did. Inside the candidate's
// source, the tree repair asks of the frames below it only: is the stack
// empty, which frame is on top (the parent, at the candidate's start tag),
// is a frame other than `html` open, and are `head`, `body` or `frameset`
// open. Every event that would reach further down (an end tag naming an
// ancestor, a start tag closing the candidate) ends the candidate, and the
// tail scan stops there (Matcher::seed_context). So the bottom `html`, the
// topmost open `head`, `body` and `frameset`, and the parent, in stack
// order, answer as the whole chain would: at most five frames, whatever the
// depth.
// An element a tail was decided for, by its start relative to the start of
// the range scanned and its tag (elements synthesized at one offset differ
// by tag).
struct BaseMark {
  Offset start;
  TagId tag;
};

struct TailContext {
  static constexpr size_t kMax = 5;
  struct Frame {
    Bytes name;  // the parent's name may be one without a tag id
    TagId tag;
  };
  Frame frames[kMax];
  uint32_t count = 0;
  RepairSeed seed;
  Offset end = 0;  // the candidate's end, relative to its start
  // Every decided element of the tail inside the range, in document order
  // (the candidate first): the bases a child step into the tail stands on.
  // Set by run_tails for the scan only.
  std::span<const BaseMark> bases;
};

struct TailRange {
  uint32_t tail;
  Offset start, end;
  TagId tag;  // the candidate's
  TailContext context;
  // The candidate's stack depth: ranges may be equal (a synthesised html and
  // body around an element that spans the whole input), and then only the
  // depth puts them in the order their elements start.
  uint32_t depth;
};

// The text flushed while candidates of one subtree text-predicate template
// are open (see Matcher::update_text_states).
struct TextStream {
  uint64_t pos = 0;       // bytes appended so far
  int64_t last_occ = -1;  // stream position of the latest needle occurrence
  // The same for the needle after one space (TextEntry::spaced).
  int64_t last_spaced = -1;
  // Search states (Needle::advance) of the needle and of the spaced needle.
  uint32_t k = 0, k_spaced = 0;
  uint32_t open = 0;      // open candidates
  // Normalized streams (TextPred::normalized) hold the text with each run of
  // white space made one space, written only when a character follows it:
  // a stream never ends in a space, and a candidate's part of it starts with
  // at most one.
  bool pending_space = false;
};

struct FinishedRow {
  uint64_t seq;
  std::vector<Column> row;
};

class Matcher final : public TokenSink {
 public:
  // Values that reach the result and are not views of the document go to
  // `arena`.
  Matcher(const CompiledSchema& schema, const EncodedInput& input, ValueArena& arena);
  ~Matcher() override;
  Matcher(const Matcher&) = delete;
  Matcher& operator=(const Matcher&) = delete;

  // TokenSink.
  void start_tag(Bytes name, TagId tag, std::span<const Attr> attrs, bool self_closing, Offset start,
                 Offset end) override;
  void end_tag(Bytes name, TagId tag, Offset start, Offset end) override;
  void text(Bytes text, bool decode_entities, Offset start) override;
  void extend_pending_text(Offset lt, Offset to) override;
  bool should_stop() override;
  void document_replaced(Bytes doc) override { input_.bytes = doc; }
  const uint8_t* attribute_interest() const override { return schema_.attr_interest.data(); }

  // End of input: flushes text, closes every open element, assembles results.
  ExtractResult finish();

  // Before a tail scan over a candidate's source: pushes the ancestors the
  // tree repair consults (TailContext) as frames that match nothing and
  // restores the repair state of its start event, so that the scan builds the
  // candidate's subtree exactly as the main scan did. Streamed selectors are
  // then matched from the candidate's depth on, and the scan ends with the
  // candidate: at its close, or at the first event at or after its end,
  // where everything from the candidate up closes as it closed in the main
  // scan.
  void seed_context(const TailContext& context);

  // The tokenizer's attribute list, lent for the scan.
  std::vector<Attr>& token_attrs() { return buffers_.get().token_attrs; }

 private:
  struct PendingText {
    bool active = false;
    bool multi = false;     // `decoded` holds the concatenation of several pieces
    bool decode_entities = true;
    Mask128 dests;          // the flat text columns the run feeds (see text_wanted)
    Bytes first;            // the first piece, raw
    std::string decoded;
    Offset start = 0, end = 0;
  };

  void swap_buffers();

  StackView view() const {
    return {stack_,          attr_arena_.data(), uses_extra_ ? extra_.data() : nullptr, other_names_.data(),
            nearest_.data(), schema_.chain_slots, filtered_pos_.data(),
            static_cast<uint32_t>(schema_.filtered_slots.size()), base_.empty() ? nullptr : base_.data()};
  }
  // The extras of the frame at stack index d (the schema uses them).
  FrameExtra& extra(size_t d) { return extra_[d]; }
  // The extras of the parent of the frame at d, or nullptr for the root.
  FrameExtra* parent_extra(size_t d) { return d ? &extra_[d - 1] : nullptr; }
  Bytes frame_name(const OpenElem& f) const { return f.tag != kTagOther ? tag_name(f.tag) : other_names_[f.link]; }
  void update_chain_memo(size_t d);

  // Tree repair (frame.cc).
  // Inlined into start_tag, its one caller per start tag (frame.cc).
  LS_ALWAYS_INLINE void open_element(Bytes name, TagId tag, std::span<const Attr> attrs, bool self_closing,
                                     Offset start, Offset end);
  void synthesize(TagId tag, Offset pos);
  void ensure_frame(const TagInfo& info, Offset pos);
  bool tag_is_redundant(int8_t slot) const;
  void ignore_structural(bool self_closing, Offset start, Offset end);
  void pop_close(Offset end);
  // Defined below: every push runs it.
  void index_frame(OpenElem& f, size_t d, Bytes name);
  bool frame_open(TagId tag) const { return open_by_tag_[tag] >= 0; }  // tag is not kTagOther
  bool non_html_frame_open() const;
  int32_t nearest_open(Bytes name, TagId tag) const;

  // Start-tag matching (start.cc).
  void push_and_match(Bytes name, TagId tag, const TagInfo& info, std::span<const Attr> attrs,
                      bool self_closing, Offset start, Offset end);
  void keep_attrs(std::span<const Attr> attrs, uint64_t wanted);
  bool attr_wanted(Bytes name, uint64_t wanted) const;

  // Group instances (instances.cc).
  template <class F>
  void for_each_open_sub(F&& f) const;
  template <class F>
  void visit_subjects(uint32_t g, uint32_t j, size_t subject, F&& f);
  void route_value(size_t d, Terminal::Kind kind, Bytes attr_name, PendingValue& value);
  void open_instances(OpenElem& f, size_t d);
  void mark_members(size_t d);
  void unmark_members(FrameExtra& frame);
  void instance_outer(size_t d);
  void instance_attr(size_t d, Bytes name, PendingValue& value);
  void instance_text(size_t d, PendingValue& text);
  bool instances_want_text() const;

  // Text, close and emission (emit.cc; buffer_text in frame.cc).
  // Inlined into text(), its only caller (frame.cc).
  LS_ALWAYS_INLINE void buffer_text(Bytes piece, bool decode_entities, Offset start);
  void flush_text();
  bool text_wanted(Mask128& dests) const;
  void close_elem(size_t index, Offset end);
  void emit_flat(uint32_t q, Offset offset, Bytes value);

  // Deferred matching (deferred.cc).
  void become_candidate(OpenElem& f, size_t d);
  void offer_has_evidence(size_t d);
  void count_filtered(size_t d);
  void mark_base(const OpenElem& f, size_t d);
  void hold_text(size_t top, Offset offset, const TextValue& text);
  void update_text_states(Bytes text);
  void hand_on_revs(size_t index, Offset end);
  void decide_has_and_text(size_t index, Offset end);
  bool text_state_holds(const TextMatchState& st, const TextPred& test) const;
  bool take_first(FrameExtra* parent, unsigned bit);
  // `parent`: the extras of the parent of the decided candidates, or nullptr
  // for the root (gated siblings set their bits there).
  void decide_revs(std::vector<RevPending>& pending, size_t level, FrameExtra* parent);
  // `depth`: the candidate's stack index (its ancestors are the frames below
  // it, still open); `seed`: the repair state of its start event; `tag`: its
  // tag.
  void release(const DeferredTemplate& t, Offset start, Offset end, std::vector<HeldValue>* held,
               uint32_t tmpl, FrameExtra* parent, size_t depth, const RepairSeed& seed, TagId tag);
  TailContext tail_context(size_t depth, const RepairSeed& seed, Offset start, Offset end) const;
  RepairSeed candidate_seed(const OpenElem& f) const;
  // In a tail scan: false, after closing the candidate, for an event at or
  // after its end.
  bool before_cut(Offset start);
  bool wants_text_for_deferred(size_t top) const;
  void run_tails();

  // The stacks below are swapped in from here at construction and back at
  // destruction, so they keep their capacity across calls (members rather
  // than references into the set: one indirection less on every access).
  BorrowedBuffers buffers_;
  const CompiledSchema& schema_;
  EncodedInput input_;  // the scan's current buffer (see document_replaced)
  ValueArena& arena_;
  std::vector<OpenElem> stack_;
  // Beside stack_, one per frame, when the schema uses any of their fields.
  std::vector<FrameExtra> extra_;
  bool uses_extra_ = false;
  std::vector<Bytes> other_names_;  // names of the open frames without a tag id, in stack order
  // The open frames by name: per tag id, the stack index of the topmost
  // open frame of that id (-1: none); names without an id (kTagOther) in
  // names_. Frames link to the next one of their name down.
  int32_t open_by_tag_[kTagCount];
  NameIndex names_;
  // Per end priority, the stack index of the topmost open frame of that
  // priority (level 0 unused); frames link to the next one down.
  int32_t priority_top_[kEndPriorityLevels];
  std::vector<KeptAttr> attr_arena_;
  PendingText pending_;
  uint64_t root_child_any_ = 0, root_child_next_ = 0;
  Mask128 root_first_taken_;  // ColdState::first_taken of the top-level elements
  // following:: bits armed by a closed element and not yet consumed: they
  // hold for every later start tag, whatever its parent.
  uint64_t following_ = 0;
  uint64_t instance_counter_ = 0;
  uint32_t ignored_structural_starts_ = 0;
  uint32_t event_ignored_ = 0;  // ignored_structural_starts_ when the current event began
  bool head_seen_ = false, body_seen_ = false;
  // Streamed selectors match at or below this stack index: 0, or a tail
  // scan's candidate depth (its ancestors below are context only).
  size_t floor_ = 0;
  // Top-level elements pushed so far; from the second on (content after an
  // </html> end tag), first-root-only selectors and templates stand aside.
  uint32_t roots_ = 0;
  bool later_root() const { return roots_ > 1 && schema_.any_first_root; }
  // A tail scan ends with its candidate: the scan stops after the construct
  // that closed it (it runs past the candidate's end so that every construct
  // is seen whole, as the main scan saw it), and nothing is matched after.
  bool seeded_ = false, candidate_closed_ = false;
  Offset cut_ = 0;  // a tail scan's candidate end
  // A tail scan of a schema with base_child segments: the decided elements
  // of the range (bases_, next_base_ the first not yet met) and, per stack
  // index, whether the frame is one of them.
  std::span<const BaseMark> bases_;
  size_t next_base_ = 0;
  std::vector<uint8_t> base_;
  bool decode_names_ = false;  // non-UTF-8 document and non-ASCII interesting names
  Mask128 filled_;
  Mask128 outer_claimed_;  // first-only outer-HTML columns whose element has started
  uint32_t open_outer_captures_ = 0;
  std::vector<uint32_t> counters_;  // positional counters, counter_stride per level
  std::vector<uint32_t> filtered_pos_;  // per frame, its filtered position in each slot (0: not counted)
  std::vector<uint32_t> global_pos_;    // per filtered slot counted over the document: the count so far
  std::vector<OpenInstance> instances_;
  std::vector<NsState> ns_;
  std::vector<OuterCapture> outer_;
  std::vector<std::vector<FinishedRow>> finished_rows_;
  FlatResult columns_;
  std::vector<KeyedValue> merged_;
  std::vector<KeyedValue> deferred_;
  std::vector<TailRange> tail_ranges_;
  std::vector<RevPending> root_revs_;  // reverse candidacies of top-level elements
  uint32_t text_cand_frames_ = 0;      // open frames with text candidacies
  std::vector<int32_t> nearest_;  // chain_slots entries per stack level
  std::vector<TextStream> text_streams_;  // one per text template
  std::vector<uint32_t> sub_base_;        // per group: its first flat sub-field id
  std::vector<uint32_t> open_per_group_;  // open instances per group
  // Per flat sub-field id (subtree text, descendant attributes): the indices
  // in instances_ whose rows an open frame belongs to, as a stack.
  std::vector<std::vector<uint32_t>> members_;
  Mask128 has_descendant_mask_;        // :has() templates with a descendant argument

};

inline void Matcher::index_frame(OpenElem& f, size_t d, Bytes name) {
  LS_CHECK(d < static_cast<size_t>(INT32_MAX));
  if (d == 0) ++roots_;
  if (f.tag != kTagOther) {
    f.below_same_name = open_by_tag_[f.tag];
    open_by_tag_[f.tag] = static_cast<int32_t>(d);
    if (const uint8_t priority = tag_info(f.tag).end_priority) {
      f.link = priority_top_[priority];
      priority_top_[priority] = static_cast<int32_t>(d);
    }
  } else {
    // A name without a tag id has no end priority: `link` names its name.
    f.link = static_cast<int32_t>(other_names_.size());
    other_names_.push_back(name);
    f.below_same_name = names_.push(name, names_.hash(name), static_cast<int32_t>(d));
  }
}

}  // namespace ls
