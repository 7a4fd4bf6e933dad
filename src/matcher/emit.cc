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
  flush_text();
  pending_.active = true;
  pending_.multi = false;
  pending_.decode_entities = decode_entities;
  pending_.first = piece;
  pending_.decoded.clear();
  pending_.start = start;
  pending_.end = end;
}

void Matcher::flush_text() {
  if (!pending_.active) return;
  pending_.active = false;
  if (stack_.empty()) return;  // text outside every element
  const CompiledSchema& s = schema_;
  const OpenElem& top = stack_.back();
  const size_t d = stack_.size() - 1;

  Mask128 dests = top.text_dests & ~filled_;
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
  if (!wanted && deferred) wanted = wants_text_for_deferred(top);
  if (!wanted && !instances_.empty()) wanted = instances_want_text();
  if (!wanted) return;

  // A single piece is usually a view of the document; a joined run is the
  // pending buffer itself, moved out.
  const TextValue text = pending_.multi ? TextValue::owned(std::move(pending_.decoded))
                                        : finalize(pending_.first, pending_.decode_entities, input_.encoding);
  PendingValue value(text, arena_);

  if (deferred) {
    hold_text(stack_.back(), pending_.start, text);
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

void Matcher::close_elem(OpenElem& frame, size_t index, Offset end) {
  const CompiledSchema& s = schema_;
  // Outer HTML: recorded now, materialised by the run driver.
  if (!frame.outer_dests.empty()) {
    for (unsigned q = 0; q < 128; ++q)
      if (frame.outer_dests.test(q)) outer_.push_back({frame.start, end, true, q, 0, static_cast<uint32_t>(index)});
    if (!s.early_stop_mask.empty()) {
      filled_ |= frame.outer_dests;
      LS_CHECK(open_outer_captures_ > 0);
      --open_outer_captures_;
    }
  }
  if (frame.cold)
    for (const auto& [seq, j] : frame.cold->sub_outer)
      outer_.push_back({frame.start, end, false, j, seq, static_cast<uint32_t>(index)});

  // Group instances opened by this element become finished rows.
  unmark_members(frame);
  for (uint32_t n = 0; n < frame.instance_count; ++n) {
    if (instances_.empty() || instances_.back().container != index)
      internal_fault("instance stack tracks element stack");
    OpenInstance& inst = instances_.back();
    --open_per_group_[inst.group];
    finished_rows_[inst.group].push_back({inst.seq, std::move(inst.rows)});
    instances_.pop_back();
  }

  if (s.any_revs) hand_on_revs(frame, index, end);
  if (s.any_positional) counters_.resize(counters_.size() - (s.of_type_tags.size() + 1));
  if (s.any_has_entries || s.any_text) decide_has_and_text(frame, end);
  // Evidence of descendant :has() arguments travels up to the parent.
  if (s.any_has_entries && !stack_.empty()) stack_.back().has_found |= frame.has_found & has_descendant_mask_;

  if (s.normalize_outer) {
    for (NsState& ns : ns_)
      if (ns.gathered && ns.index == static_cast<int64_t>(index)) {
        ns.value = normalize_space(*ns.gathered);
        ns.gathered.reset();
      }
  }
}

}  // namespace ls
