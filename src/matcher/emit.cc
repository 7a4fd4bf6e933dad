// Text, close and value emission.
//
// Input: text pieces, flushes, and frames as they are popped. Output: values
// in the flat columns, in group rows, and in the capture lists the run driver
// finishes. A text run covers one text node as a tree-building parser would
// see it: pieces separated only by ignored tags (whose end offsets stretch
// the run) or cut by the tokenizer are one run.
//
// Nothing is decoded that no query asked for: a run is decoded at its flush
// only when a column, a group sub-field or a normalize-space capture wants it.
#include "matcher/matcher.h"
#include "matcher/matching.h"

namespace ls {

// Whether text flushed now into the top frame would reach any flat column
// (`dests`), normalize-space capture, deferred test or group row. Every
// input to the answer (the top frame and its masks, the filled columns, the
// open candidates, captures and instances) changes only at a push, a pop or
// a flush, and each of those flushes the pending run first: a run's fate is
// decided when it starts, and is the same when it is flushed.
bool Matcher::text_wanted(Mask128& dests) const {
  if (stack_.empty()) return false;  // text outside every element
  const CompiledSchema& s = schema_;
  const OpenElem& top = stack_.back();
  const size_t d = stack_.size() - 1;
  // The flat text columns this text feeds: those of the CSels the top frame
  // is the subject of (own text) or inside (subtree text).
  if (!top.in_matched.empty()) {
    ((top.matched & s.text_own_csels) | (top.in_matched & s.text_subtree_csels)).for_each([&](unsigned k) {
      dests |= Mask128::bit(s.csels[k].dest);
    });
    dests = dests & ~filled_;
  }
  if (s.any_text_after) dests |= extra_[d].after_dests & ~filled_;
  bool wanted = !dests.empty();
  if (s.any_normalize && !wanted) {
    for (size_t k = 0; k < ns_.size() && k < 128 && !wanted; ++k) {
      const Terminal& t = s.csels[k].terminal;
      if (t.kind != Terminal::Kind::kNormalizeSpace) continue;
      const Terminal& inner = **t.inner;
      if (inner.kind == Terminal::Kind::kOuter) wanted = ns_[k].gathered.has_value();
      else if (inner.kind == Terminal::Kind::kText && !ns_[k].value)
        wanted = inner.subtree ? top.in_matched.test(k) : top.matched.test(k);
    }
  }
  const bool deferred = s.any_revs || s.any_has_entries || s.any_text;
  if (!wanted && deferred) wanted = wants_text_for_deferred(d);
  if (!wanted && !instances_.empty()) wanted = instances_want_text();
  return wanted;
}

void Matcher::flush_text() {
  if (!pending_.active) return;
  pending_.active = false;
  Mask128 dests = pending_.dests;  // decided at the run's start (see text_wanted)
  const CompiledSchema& s = schema_;
  const OpenElem& top = stack_.back();
  const size_t d = stack_.size() - 1;
  const bool deferred = s.any_revs || s.any_has_entries || s.any_text;

  // A single piece is usually a view of the document; a joined run is the
  // pending buffer itself, moved out.
  const TextValue text = pending_.multi ? TextValue::owned(std::move(pending_.decoded))
                                        : finalize(pending_.first, pending_.decode_entities, input_.encoding);
  PendingValue value(text, arena_);

  if (deferred) {
    hold_text(d, pending_.start, text);
    if (text_cand_frames_ > 0) update_text_states(text.bytes());
  }

  if (s.any_normalize) {
    for (size_t k = 0; k < ns_.size() && k < 128; ++k) {
      const Terminal& t = s.csels[k].terminal;
      if (t.kind != Terminal::Kind::kNormalizeSpace) continue;
      const Terminal& inner = **t.inner;
      NsState& ns = ns_[k];
      if (inner.kind == Terminal::Kind::kOuter) {
        if (ns.gathered) ns.gathered->append(text.bytes());
      } else if (inner.kind == Terminal::Kind::kText && !ns.value &&
                 (inner.subtree ? top.in_matched.test(k) : top.matched.test(k))) {
        ns.value = normalize_space(text.bytes());
      }
    }
  }

  if (!instances_.empty()) instance_text(d, value);

  // Flat text columns, in increasing column order.
  dests.for_each([&](unsigned q) { emit_flat(q, pending_.start, value.get()); });
}

void Matcher::emit_flat(uint32_t q, Offset offset, Bytes value) {
  if (filled_.test(q)) return;
  if (schema_.merged_queries.test(q)) {  // put in document order at the end
    merged_.push_back({q, offset, value});
    return;
  }
  columns_[q].push_back(value);
  if (schema_.first_only_mask.test(q)) filled_ |= Mask128::bit(q);
}

// The frame at `index` is the top of the stack, closed in place; its parent
// (if any) lies below it.
void Matcher::close_elem(size_t index, Offset end) {
  const CompiledSchema& s = schema_;
  const OpenElem& frame = stack_[index];
  if (uses_extra_) {
    FrameExtra& fx = extra(index);
    const uint32_t depth = static_cast<uint32_t>(index);
    // Outer HTML: recorded now, materialised by the run driver.
    if (!fx.outer_dests.empty()) {
      fx.outer_dests.for_each([&](unsigned q) { outer_.push_back({frame.start, end, true, q, 0, depth}); });
      if (!s.early_stop_mask.empty()) {
        filled_ |= fx.outer_dests;
        LS_CHECK(open_outer_captures_ > 0);
        --open_outer_captures_;
      }
    }
    if (fx.cold)
      for (const auto& [seq, j] : fx.cold->sub_outer) outer_.push_back({frame.start, end, false, j, seq, depth});

    // Group instances opened by this element become finished rows.
    unmark_members(fx);
    for (uint32_t n = 0; n < fx.instance_count; ++n) {
      if (instances_.empty() || instances_.back().container != index)
        internal_fault("instance stack tracks element stack");
      OpenInstance& inst = instances_.back();
      --open_per_group_[inst.group];
      finished_rows_[inst.group].push_back({inst.seq, std::move(inst.rows)});
      instances_.pop_back();
    }

    following_ |= fx.arm_at_close;
    // Text after this element in its parent feeds its text-after columns.
    if (s.any_text_after && index > 0)
      (frame.matched & s.text_after_csels).for_each([&](unsigned k) {
        extra(index - 1).after_dests |= Mask128::bit(s.csels[k].dest);
      });
    if (s.any_revs) hand_on_revs(index, end);
    if (s.any_positional) counters_.resize(counters_.size() - s.counter_stride);
    if (s.any_has_entries || s.any_text) decide_has_and_text(index, end);
    // Evidence of descendant :has() arguments travels up to the parent.
    if (s.any_has_entries && index > 0) extra(index - 1).has_found |= fx.has_found & has_descendant_mask_;
  }

  if (s.normalize_outer) {
    for (NsState& ns : ns_)
      if (ns.gathered && ns.index == static_cast<int64_t>(index)) {
        ns.value = normalize_space(*ns.gathered);
        ns.gathered.reset();
      }
  }
}

}  // namespace ls
