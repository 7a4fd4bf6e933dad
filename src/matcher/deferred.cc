// Deferred matching: reverse positions, :has() and text-content predicates.
//
// Input: start tags (candidacies and :has() evidence), flushed text runs
// (held values and text evidence) and closes (decisions). Output: released
// values (ordered by source offset at the end of the run), tail ranges the
// run driver re-scans, and gate bits that let a gated sibling selector go on.
//
// Life of a candidacy: an element that matches a template's prefix segment
// becomes a candidate at its start tag; :has() and text predicates are
// decided at its own close, reverse positions at its parent's close (or at
// the end of input for top-level elements), when the number of siblings is
// final. Values a candidate takes from itself are held on its frame until
// then and dropped if the decision is false.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "matcher/matcher.h"
#include "matcher/matching.h"

namespace ls {

namespace {

// White space as XPath's normalize-space() reads it (no form feed).
bool is_xpath_space(uint8_t c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

bool own_text(const DeferredTemplate& t) {
  return t.dest.kind == Dest::Kind::kOwn && t.terminal.kind == Terminal::Kind::kText;
}
bool own_attr(const DeferredTemplate& t) {
  return t.dest.kind == Dest::Kind::kOwn && t.terminal.kind == Terminal::Kind::kAttr;
}

std::vector<HeldValue> take_held(std::vector<HeldValue>& held, uint32_t tmpl) {
  std::vector<HeldValue> out;
  for (HeldValue& h : held)
    if (h.tmpl == tmpl) out.push_back(std::move(h));
  return out;
}

}  // namespace

// Own-text kinds see the candidate's own text runs one at a time; subtree
// kinds keep no per-candidate state but their stream position (see
// Matcher::update_text_states).
void TextMatchState::update_own(const TextEntry& entry, Bytes piece) {
  const TextPred& test = entry.text;
  if (kind == Kind::kOwnEquals) {
    if (piece == Bytes(test.value)) flag = true;
  } else if (kind == Kind::kOwnFirst && !first_seen) {
    first_seen = true;
    if (test.nonblank) {
      flag = std::any_of(piece.begin(), piece.end(), [](char c) { return !is_xpath_space(static_cast<uint8_t>(c)); });
    } else if (test.normalized) {
      const std::string n = normalize_space(piece);
      flag = test.substring ? entry.needle.find(n) != Bytes::npos : n == test.value;
    } else {
      flag = entry.needle.find(piece) != Bytes::npos;
    }
  }
}

bool Matcher::text_state_holds(const TextMatchState& st, const TextPred& test) const {
  using Kind = TextMatchState::Kind;
  const Bytes needle = test.value;
  const TextStream& ts = text_streams_[st.tmpl];
  bool holds = false;
  switch (st.kind) {
    // An empty needle is contained in every text, also in none.
    case Kind::kSubtreeContains: holds = needle.empty() || ts.last_occ >= static_cast<int64_t>(st.seen); break;
    case Kind::kSubtreeNonBlank: holds = ts.last_occ >= static_cast<int64_t>(st.seen); break;
    case Kind::kSubtreeEquals: {
      // The part is the needle: as long, and the stream ends with it.
      const int64_t pos = static_cast<int64_t>(ts.pos);
      const int64_t length = pos - static_cast<int64_t>(st.seen);
      const int64_t m = static_cast<int64_t>(needle.size());
      holds = length == m && (m == 0 || ts.last_occ == pos - m);
      // normalized: the part's leading space is trimmed away
      if (test.normalized && length == m + 1) holds = ts.last_spaced == pos - m - 1;
      break;
    }
    case Kind::kOwnEquals: holds = st.flag; break;
    // Without an own text node, the text tested is the empty string.
    case Kind::kOwnFirst: holds = st.first_seen ? st.flag : !test.nonblank && needle.empty(); break;
  }
  return holds != test.negated;
}

RepairSeed Matcher::candidate_seed(const OpenElem& f) const {
  // The flags as they stood before this frame was pushed: pushing a head or
  // a body is what sets its flag, and a synthesized one exists only because
  // the flag was clear (an explicit one is pushed whatever the flag).
  return {event_ignored_, head_seen_ && f.tag != kTagHead, body_seen_ && f.tag != kTagBody};
}

void Matcher::become_candidate(OpenElem& f, size_t d) {
  const CompiledSchema& s = schema_;
  const KeptAttr* arena = attr_arena_.data();
  const StackView v = view();  // nothing below moves the stack
  FrameExtra& fx = extra(d);
  fx.seed = candidate_seed(f);
  auto hold_attr = [&](const DeferredTemplate& t, uint32_t i, std::vector<HeldValue> ColdState::*list) {
    if (!own_attr(t)) return;
    if (const TextValue* v = find_attr(f, arena, t.terminal.name))
      (fx.cold_state().*list).push_back({i, f.start, *v});
  };
  // Only the templates whose deferred compound admits this tag.
  const CompiledSchema::TagTemplates& cands = s.templates_by_tag[f.tag];
  if (s.any_revs) {
    (later_root() ? cands.revs & ~s.first_root_revs : cands.revs).for_each([&](uint32_t i) {
      const RevEntry& e = s.revs[i];
      if (!seg_match_anchored(v, e.segment, d, floor_, e.segment.gate)) return;
      fx.rev_cands |= Mask128::bit(i);
      hold_attr(e, i, &ColdState::rev_held);
    });
  }
  if (s.any_has_entries) {
    (later_root() ? cands.has & ~s.first_root_has : cands.has).for_each([&](uint32_t i) {
      const HasEntry& e = s.has_entries[i];
      if (!seg_match_anchored(v, e.segment, d, floor_, e.segment.gate)) return;
      fx.has_cands |= Mask128::bit(i);
      hold_attr(e, i, &ColdState::has_held);
    });
    offer_has_evidence(d);
  }
  if (s.any_text) {
    (later_root() ? cands.texts & ~s.first_root_texts : cands.texts).for_each([&](uint32_t i) {
      const TextEntry& e = s.text_entries[i];
      if (!seg_match_anchored(v, e.segment, d, floor_, e.segment.gate)) return;
      fx.text_cands |= Mask128::bit(i);
      TextMatchState st;
      st.tmpl = i;
      using Kind = TextMatchState::Kind;
      st.kind = e.text.own ? (e.text.substring || e.text.normalized || e.text.nonblank ? Kind::kOwnFirst
                                                                                      : Kind::kOwnEquals)
                           : e.text.nonblank ? Kind::kSubtreeNonBlank
                           : (e.text.substring ? Kind::kSubtreeContains : Kind::kSubtreeEquals);
      if (st.subtree()) {
        TextStream& ts = text_streams_[i];
        ++ts.open;
        st.seen = ts.pos;
      }
      fx.cold_state().text_states.push_back(std::move(st));
      hold_attr(e, i, &ColdState::text_held);
    });
    if (!fx.text_cands.empty()) ++text_cand_frames_;
  }
}

// :has() evidence. `has_found` on any frame means "some element strictly
// inside this one satisfies the argument" (for a child-only argument: "some
// child does", set only on candidates). A descendant-argument bit set on the
// parent of the evidence travels up one frame each time a frame closes, so a
// candidate learns of evidence anywhere below it by its own close, at O(1) per
// element instead of a walk down the stack.
//
// A path argument (Has::via) is evidence when its steps stand on the
// element's ancestors, one per level; the bit then goes to the parent of
// the path's first step, as it would for an argument standing there.
void Matcher::offer_has_evidence(size_t d) {
  const CompiledSchema& s = schema_;
  if (d == 0) return;
  s.templates_by_tag[stack_[d].tag].has_evidence.for_each([&](uint32_t h) {
    const HasEntry& e = s.has_entries[h];
    const size_t steps = e.has.via.size();
    if (d <= steps || !compound_matches_impl(*e.has.inner, view(), d)) return;
    for (size_t j = 0; j < steps; ++j)
      if (!compound_matches_impl(e.has.via[j], view(), d - steps + j)) return;
    FrameExtra& above = extra(d - steps - 1);
    if (e.has.count_op != Has::CountOp::kNone) {  // a count: one more child
      if (!above.has_cands.test(h)) return;
      std::vector<std::pair<uint32_t, uint32_t>>& counts = above.cold_state().has_counts;
      auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == h; });
      if (it == counts.end()) counts.emplace_back(h, 1);
      else if (it->second < UINT32_MAX) ++it->second;
      return;
    }
    if (!e.has.child || above.has_cands.test(h)) above.has_found |= Mask128::bit(h);
  });
}

bool Matcher::wants_text_for_deferred(size_t top) const {
  if (text_cand_frames_ > 0) return true;  // own or subtree text predicates are open
  const CompiledSchema& s = schema_;
  const FrameExtra& fx = extra_[top];
  for (uint32_t i = 0; i < s.revs.size() && i < 128; ++i)
    if (fx.rev_cands.test(i) && own_text(s.revs[i])) return true;
  for (uint32_t i = 0; i < s.has_entries.size() && i < 128; ++i)
    if (fx.has_cands.test(i) && own_text(s.has_entries[i])) return true;
  return false;
}

void Matcher::hold_text(size_t top, Offset offset, const TextValue& text) {
  const CompiledSchema& s = schema_;
  FrameExtra& fx = extra(top);
  if (!fx.rev_cands.empty())
    for (uint32_t i = 0; i < s.revs.size() && i < 128; ++i)
      if (fx.rev_cands.test(i) && own_text(s.revs[i])) fx.cold_state().rev_held.push_back({i, offset, text});
  if (!fx.has_cands.empty())
    for (uint32_t i = 0; i < s.has_entries.size() && i < 128; ++i)
      if (fx.has_cands.test(i) && own_text(s.has_entries[i]))
        fx.cold_state().has_held.push_back({i, offset, text});
  if (!fx.text_cands.empty())
    for (uint32_t i = 0; i < s.text_entries.size() && i < 128; ++i)
      if (fx.text_cands.test(i) && own_text(s.text_entries[i]))
        fx.cold_state().text_held.push_back({i, offset, text});
}

// Text evidence. Subtree predicates read one stream per template: the text
// flushed while any candidate of the template is open, which is exactly the
// concatenation of every open candidate's subtree text from its start on. A
// candidate records the stream position at its start; at its close it holds
// when a needle occurrence starts at or after that position (contains), or
// when its text is exactly the needle (equals: as long as the needle, and
// ending with an occurrence). Own-text predicates look at the top frame only.
// The stream keeps no text, only its search states (Needle::advance), so each
// flushed byte costs O(templates), whatever the nesting of candidates and the
// needle's length.
void Matcher::update_text_states(Bytes text) {
  const CompiledSchema& s = schema_;
  for (uint32_t i = 0; i < text_streams_.size(); ++i) {
    TextStream& ts = text_streams_[i];
    if (ts.open == 0) continue;
    const TextPred& test = s.text_entries[i].text;
    if (test.nonblank) {
      // The latest non-blank byte stands for an occurrence.
      for (size_t j = text.size(); j-- > 0;)
        if (!is_xpath_space(static_cast<uint8_t>(text[j]))) {
          ts.last_occ = static_cast<int64_t>(ts.pos + j);
          break;
        }
      ts.pos += text.size();
      continue;
    }
    const TextEntry& e = s.text_entries[i];
    const Needle& needle = e.needle;
    const bool spaced = !e.spaced.empty();
    // Appends one byte to the stream (an occurrence starts m - 1 bytes
    // before the one that completes it).
    auto append = [&](char c) {
      if (!needle.empty() && needle.advance(ts.k, c))
        ts.last_occ = static_cast<int64_t>(ts.pos + 1 - needle.size());
      if (spaced && e.spaced.advance(ts.k_spaced, c))
        ts.last_spaced = static_cast<int64_t>(ts.pos + 1 - e.spaced.size());
      ++ts.pos;
    };
    if (test.normalized) {
      for (char c : text) {
        if (is_xpath_space(static_cast<uint8_t>(c))) {
          ts.pending_space = true;
          continue;
        }
        if (ts.pending_space) {
          append(' ');
          ts.pending_space = false;
        }
        append(c);
      }
    } else if (needle.empty()) {
      ts.pos += text.size();
    } else {
      // In the state that has matched nothing, no byte but the needle's
      // first can advance it: skip to the next one (memchr). Only the
      // needle's automaton reads this stream (a spaced one is normalized).
      const char first = needle.text()[0];
      for (size_t i = 0; i < text.size();) {
        if (ts.k == 0) {
          const void* hit = std::memchr(text.data() + i, first, text.size() - i);
          const size_t at = hit ? static_cast<size_t>(static_cast<const char*>(hit) - text.data()) : text.size();
          ts.pos += at - i;
          i = at;
          if (i == text.size()) break;
        }
        append(text[i++]);
      }
    }
  }
  FrameExtra& top = extra(stack_.size() - 1);
  if (!top.text_cands.empty() && top.cold)
    for (TextMatchState& st : top.cold->text_states)
      st.update_own(s.text_entries[st.tmpl], text);
}

// The candidate at stack index `depth` has its ancestors open below it.
TailContext Matcher::tail_context(size_t depth, const RepairSeed& seed, Offset start, Offset end) const {
  TailContext c;
  c.seed = seed;
  c.end = end - start;
  if (depth == 0) return c;
  // The topmost open frame of a tag among the ancestors (the candidate itself
  // may still be on the stack, at `depth`).
  auto topmost = [&](TagId tag) {
    int32_t i = open_by_tag_[tag];
    if (i >= 0 && static_cast<size_t>(i) >= depth) i = stack_[static_cast<size_t>(i)].below_same_name;
    LS_CHECK(i < static_cast<int32_t>(depth));
    return i;
  };
  int32_t picked[TailContext::kMax];
  uint32_t n = 0;
  if (stack_[0].tag == kTagHtml) picked[n++] = 0;
  for (TagId tag : {kTagHead, kTagBody, kTagFrameset})
    if (const int32_t i = topmost(tag); i >= 0) picked[n++] = i;
  picked[n++] = static_cast<int32_t>(depth - 1);
  // At most kMax entries: an insertion sort (std::sort's unrolled small-range
  // path reads past a five-entry array as far as GCC's bounds check can see).
  for (uint32_t k = 1; k < n; ++k)
    for (uint32_t j = k; j > 0 && picked[j - 1] > picked[j]; --j) std::swap(picked[j - 1], picked[j]);
  for (uint32_t k = 0; k < n; ++k) {
    if (k > 0 && picked[k] == picked[k - 1]) continue;
    const OpenElem& f = stack_[static_cast<size_t>(picked[k])];
    c.frames[c.count++] = {frame_name(f), f.tag};
  }
  return c;
}

void Matcher::release(const DeferredTemplate& t, Offset start, Offset end, std::vector<HeldValue>* held,
                      uint32_t tmpl, FrameExtra* parent, size_t depth, const RepairSeed& seed, TagId tag) {
  switch (t.dest.kind) {
    case Dest::Kind::kGateBit: {
      const uint64_t bit = uint64_t{1} << t.dest.value;
      if (bit & schema_.following_bits) {  // decided at the context's close
        following_ |= bit;
        return;
      }
      uint64_t& any = parent ? parent->child_any : root_child_any_;
      uint64_t& next = parent ? parent->child_next : root_child_next_;
      any |= bit;
      next |= bit;
      return;
    }
    case Dest::Kind::kHasEvidence: {
      // As offer_has_evidence does at a start tag, but now that the
      // argument's text is known: the candidate around it has not closed.
      // A path argument's evidence goes to the parent of its first step
      // (its steps stood above the argument: the template's segment holds
      // them).
      const uint32_t h = t.dest.value;
      if (!parent || h >= schema_.has_entries.size() || h >= 128) return;
      const size_t steps = schema_.has_entries[h].has.via.size();
      if (depth <= steps) return;
      FrameExtra* above = steps == 0 ? parent : &extra(depth - steps - 1);
      if (!schema_.has_entries[h].has.child || above->has_cands.test(h)) above->has_found |= Mask128::bit(h);
      return;
    }
    case Dest::Kind::kNewTail:
      tail_ranges_.push_back(
          {t.dest.value, start, end, tag, tail_context(depth, seed, start, end), static_cast<uint32_t>(depth)});
      return;
    case Dest::Kind::kSharedTail:
    case Dest::Kind::kDead:
      return;
    case Dest::Kind::kOwn: {
      if (!t.query) return;
      if (t.terminal.kind == Terminal::Kind::kText && t.terminal.after) {
        // The text after the candidate, in its parent, is still to come.
        if (parent && *t.query < 128) parent->after_dests |= Mask128::bit(*t.query);
        return;
      }
      if (t.terminal.kind == Terminal::Kind::kOuter) {
        deferred_.push_back({*t.query, start, input_.raw_source(start, end, arena_)});
        return;
      }
      if (!held) return;
      for (HeldValue& h : *held)
        if (h.tmpl == tmpl) deferred_.push_back({*t.query, h.offset, stable(h.value, arena_)});
      return;
    }
  }
}

void Matcher::decide_revs(std::vector<RevPending>& pending, size_t level, FrameExtra* parent) {
  const CompiledSchema& s = schema_;
  const size_t stride = s.counter_stride;
  for (RevPending& p : pending) {
    const RevEntry& e = s.revs[p.tmpl];
    uint32_t total = 0;
    if (e.rev.of_type) {
      if (!e.tag_tracked) continue;
      const std::string lowered_tag = *e.segment.compounds.back().tag;
      for (size_t t = 0; t < s.of_type_tags.size(); ++t)
        if (ascii_iequals(s.of_type_tags[t], lowered_tag)) total = counters_[level * stride + 1 + t];
    } else {
      total = counters_[level * stride];
    }
    bool holds;
    if (e.rev.only) holds = total == 1;
    else holds = position_matches(e.rev.a, e.rev.b, static_cast<int64_t>(total) - p.pos + 1);
    if (holds) release(e, p.start, p.end, &p.held, p.tmpl, parent, level, p.seed, p.tag);
  }
  pending.clear();
}

// At the close of the frame at `index` (still on the stack, its parent below).
void Matcher::hand_on_revs(size_t index, Offset end) {
  const CompiledSchema& s = schema_;
  const OpenElem& frame = stack_[index];
  FrameExtra& fx = extra(index);
  // Reverse positions: the children's, now that their number is final; this
  // element's own candidacies go to its parent (or the document root).
  if (fx.cold && !fx.cold->child_revs.empty()) decide_revs(fx.cold->child_revs, index + 1, &fx);
  if (!fx.rev_cands.empty()) {
    std::vector<RevPending>& to = index == 0 ? root_revs_ : extra(index - 1).cold_state().child_revs;
    for (uint32_t i = 0; i < s.revs.size() && i < 128; ++i) {
      if (!fx.rev_cands.test(i)) continue;
      const RevEntry& e = s.revs[i];
      RevPending p{i, e.rev.of_type ? fx.type_pos : fx.child_pos, frame.start, end, {}, fx.seed, frame.tag};
      if (fx.cold) p.held = take_held(fx.cold->rev_held, i);
      to.push_back(std::move(p));
    }
  }
}

// Whether a candidate of a first-among-siblings template may be released:
// the first of its parent's children to hold takes the parent's bit. The
// bit is the template's index among has entries, or 64 + its index among
// text entries; templates beyond those are never made first-only (compile).
bool Matcher::take_first(FrameExtra* parent, unsigned bit) {
  Mask128& taken = parent ? parent->cold_state().first_taken : root_first_taken_;
  if (taken.test(bit)) return false;
  taken |= Mask128::bit(bit);
  return true;
}

// At the close of the frame at `index` (still on the stack, its parent below).
void Matcher::decide_has_and_text(size_t index, Offset end) {
  const CompiledSchema& s = schema_;
  const OpenElem& frame = stack_[index];
  FrameExtra& fx = extra(index);
  FrameExtra* parent = parent_extra(index);
  if (!fx.has_cands.empty()) {
    for (uint32_t h = 0; h < s.has_entries.size() && h < 128; ++h) {
      if (!fx.has_cands.test(h)) continue;
      const Has& has = s.has_entries[h].has;
      bool holds;
      if (has.count_op != Has::CountOp::kNone) {
        uint32_t n = 0;
        if (fx.cold)
          for (const auto& [entry, count] : fx.cold->has_counts)
            if (entry == h) n = count;
        holds = count_holds(has.count_op, n, has.count);
      } else {
        holds = fx.has_found.test(h) != has.negated;
      }
      if (holds && s.has_entries[h].first_among_siblings) holds = take_first(parent, h);
      if (holds)
        release(s.has_entries[h], frame.start, end, fx.cold ? &fx.cold->has_held : nullptr, h, parent, index,
                fx.seed, frame.tag);
    }
  }
  if (!fx.text_cands.empty()) {
    LS_CHECK(text_cand_frames_ > 0);
    --text_cand_frames_;
    if (fx.cold)
      for (const TextMatchState& st : fx.cold->text_states) {
        const TextEntry& e = s.text_entries[st.tmpl];
        bool holds = text_state_holds(st, e.text);
        if (st.subtree()) {
          TextStream& ts = text_streams_[st.tmpl];
          LS_CHECK(ts.open > 0);
          if (--ts.open == 0) {  // no candidate left: the stream restarts empty
            ts.k = ts.k_spaced = 0;
            ts.last_occ = ts.last_spaced = -1;
            ts.pending_space = false;
          }
        }
        if (holds && e.first_among_siblings) holds = take_first(parent, 64 + st.tmpl);
        if (holds) release(e, frame.start, end, &fx.cold->text_held, st.tmpl, parent, index, fx.seed, frame.tag);
      }
  }
}

// Each range is scanned with its candidate's ancestors and repair state
// seeded (seed_context), so the tail sees the tree the main scan built: text
// after a </body>, or a structural end tag that the main scan ignored, stays
// where it stood. The scan starts at the candidate and stops after the
// construct that closes it, so the construct is read whole (a text run that
// closes a head is whitespace in the head only when followed by more text).
// Ranges that start together (an element and the skeleton synthesized at its
// offset) are taken outermost first, so that the inner ones are recognised as
// nested and not scanned twice; equal ranges by depth, so that the bases
// stand in the order their elements start (mark_base walks them so).
void Matcher::run_tails() {
  const CompiledSchema& s = schema_;
  std::sort(tail_ranges_.begin(), tail_ranges_.end(), [](const TailRange& a, const TailRange& b) {
    return std::tie(a.tail, a.start, b.end, a.depth) < std::tie(b.tail, b.start, a.end, b.depth);
  });
  std::vector<BaseMark> bases;
  const size_t n = tail_ranges_.size();
  for (size_t i = 0; i < n;) {
    const TailRange& r = tail_ranges_[i];
    const uint32_t tail = r.tail;
    LS_CHECK(tail < s.tails.size() && r.start <= r.end && r.end <= input_.bytes.size());
    const TailSchema& ts = s.tails[tail];
    // The ranges nested in this one follow it (sorted by start, the longer
    // first): they are not scanned again, but a child step into the tail
    // needs to know their elements.
    size_t j = i + 1;
    bases.clear();
    const bool mark = ts.schema->any_base_child;
    if (mark) bases.push_back({0, r.tag});
    for (; j < n && tail_ranges_[j].tail == tail && tail_ranges_[j].end <= r.end; ++j)
      if (mark) bases.push_back({tail_ranges_[j].start - r.start, tail_ranges_[j].tag});
    TailContext context = r.context;
    context.bases = bases;
    EncodedInput sub{input_.bytes.substr(r.start), input_.encoding};
    ExtractResult res = ts.schema->run(sub, arena_, &context);  // its values view the document or arena_
    for (size_t m = 0; m < res.flat.size() && m < ts.queries.size(); ++m) {
      Column& col = columns_[ts.queries[m]];
      col.insert(col.end(), res.flat[m].begin(), res.flat[m].end());
    }
    i = j;
  }
}

}  // namespace ls
