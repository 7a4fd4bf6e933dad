// Run driver and result assembly.
//
// Input: a compiled schema and a prepared document. Output: one column per
// flat query and, per group, its rows in the order of their container start
// tags. The driver runs the tokenizer's scan loop with the matcher as its
// sink, then finishes in a fixed order: flush the pending text; close every
// open element at the end of input; decide the reverse positions of
// top-level elements; re-run tail schemas over the ranges deferred matches
// selected (a range nested in one already run is skipped); deliver deferred
// values by (query, offset); materialise outer-HTML captures in source order;
// put merged comma-group columns in document order, once per (query, offset);
// set normalize-space columns to their one value; order the rows by the start
// of their containers.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <unordered_map>
#include <utility>

#include "matcher/matcher.h"
#include "tokenizer.h"

namespace ls {

namespace {

// The key of a run's name index: unpredictable to the document (a clock
// reading and two addresses), and of no influence on any result.
uint64_t run_seed(const void* a, const void* b) {
  uint64_t x = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  x ^= reinterpret_cast<uintptr_t>(a) * 0x9E3779B97F4A7C15ull;
  x ^= reinterpret_cast<uintptr_t>(b) * 0xC2B2AE3D27D4EB4Full;
  return x;
}

}  // namespace

Matcher::Matcher(const CompiledSchema& schema, const EncodedInput& input, ValueArena& arena)
    : buffers_(*schema.buffer_pool),
      schema_(schema),
      input_(input),
      arena_(arena),
      names_(run_seed(this, input.bytes.data())) {
  std::fill(std::begin(priority_top_), std::end(priority_top_), -1);
  std::fill(std::begin(open_by_tag_), std::end(open_by_tag_), -1);
  swap_buffers();
  uses_extra_ = schema.wants_source || !schema.containers.empty() || schema.any_revs ||
                schema.any_has_entries || schema.any_text || schema.any_positional || schema.any_sibling ||
                schema.any_text_after;
  columns_.resize(schema.query_count);
  finished_rows_.resize(schema.groups.size());
  if (schema.any_normalize) ns_.resize(schema.csels.size());
  if (schema.any_positional) counters_.assign(schema.counter_stride, 0);
  decode_names_ = input.encoding != whatwg::Encoding::kUtf8 && schema.attr_names_non_ascii;
  text_streams_.resize(schema.text_entries.size());
  open_per_group_.assign(schema.groups.size(), 0);
  uint32_t subs = 0;
  for (const GroupSpec& g : schema.groups) {
    sub_base_.push_back(subs);
    subs += static_cast<uint32_t>(g.subs.size());
  }
  members_.resize(subs);
  for (uint32_t h = 0; h < schema.has_entries.size() && h < 128; ++h)
    if (!schema.has_entries[h].has.child) has_descendant_mask_ |= Mask128::bit(h);
}

Matcher::~Matcher() {
  // Back to the borrowed set (which clears it), capacity and all.
  swap_buffers();
}

void Matcher::swap_buffers() {
  ScanBuffers& b = buffers_.get();
  stack_.swap(b.stack);
  extra_.swap(b.extra);
  other_names_.swap(b.other_names);
  attr_arena_.swap(b.attrs);
  nearest_.swap(b.nearest);
  counters_.swap(b.counters);
}

bool Matcher::should_stop() {
  if (candidate_closed_) return true;
  return !schema_.early_stop_mask.empty() && filled_ == schema_.early_stop_mask &&
         open_outer_captures_ == 0;
}

ExtractResult Matcher::finish() {
  const CompiledSchema& s = schema_;
  flush_text();
  while (!stack_.empty()) pop_close(static_cast<Offset>(input_.bytes.size()));

  // Reverse candidacies of top-level elements, against the root's counts.
  if (s.any_revs && !root_revs_.empty()) decide_revs(root_revs_, 0, nullptr);
  if (!tail_ranges_.empty()) run_tails();
  if (!deferred_.empty()) {
    std::stable_sort(deferred_.begin(), deferred_.end(), [](const KeyedValue& a, const KeyedValue& b) {
      return a.query != b.query ? a.query < b.query : a.offset < b.offset;
    });
    for (const KeyedValue& v : deferred_) emit_flat(v.query, v.offset, v.value);
  }

  if (!outer_.empty()) {
    // Instance sequence -> (group, row position) over the rows as they stand.
    std::unordered_map<uint64_t, std::pair<uint32_t, size_t>> rows;
    for (uint32_t g = 0; g < finished_rows_.size(); ++g)
      for (size_t r = 0; r < finished_rows_[g].size(); ++r) rows[finished_rows_[g][r].seq] = {g, r};
    // Document order: by start; elements that start at one offset (the
    // synthesized skeleton) nest, so the shallower one comes first; captures
    // are recorded at the close, innermost first, hence the second key.
    std::stable_sort(outer_.begin(), outer_.end(), [](const OuterCapture& a, const OuterCapture& b) {
      return a.start != b.start ? a.start < b.start : a.depth < b.depth;
    });
    for (const OuterCapture& c : outer_) {
      if (c.flat) {
        if (c.query < columns_.size()) columns_[c.query].push_back(input_.raw_source(c.start, c.end, arena_));
        continue;
      }
      auto it = rows.find(c.seq);
      if (it == rows.end()) continue;
      std::vector<Column>& row = finished_rows_[it->second.first][it->second.second].row;
      if (c.query < row.size()) row[c.query].push_back(input_.raw_source(c.start, c.end, arena_));
    }
  }

  if (!merged_.empty()) {
    std::stable_sort(merged_.begin(), merged_.end(), [](const KeyedValue& a, const KeyedValue& b) {
      return a.query != b.query ? a.query < b.query : a.offset < b.offset;
    });
    for (size_t i = 0; i < merged_.size(); ++i) {
      // The same element reported by a streamed and a close-time member once.
      if (i > 0 && merged_[i].query == merged_[i - 1].query && merged_[i].offset == merged_[i - 1].offset)
        continue;
      columns_[merged_[i].query].push_back(merged_[i].value);
    }
  }

  if (s.any_normalize) {
    for (size_t k = 0; k < s.csels.size(); ++k) {
      const CSel& c = s.csels[k];
      if (!c.flat || c.terminal.kind != Terminal::Kind::kNormalizeSpace || c.dest >= columns_.size()) continue;
      Column& col = columns_[c.dest];
      col.clear();
      col.push_back(k < ns_.size() && ns_[k].value ? arena_.copy(*ns_[k].value) : Bytes());
    }
  }

  ExtractResult out;
  out.flat = std::move(columns_);
  out.grouped.resize(finished_rows_.size());
  for (size_t g = 0; g < finished_rows_.size(); ++g) {
    std::vector<FinishedRow>& rows = finished_rows_[g];
    std::stable_sort(rows.begin(), rows.end(),
                     [](const FinishedRow& a, const FinishedRow& b) { return a.seq < b.seq; });
    out.grouped[g].reserve(rows.size());
    for (FinishedRow& r : rows) out.grouped[g].push_back(std::move(r.row));
  }
  return out;
}

void Matcher::seed_context(const TailContext& context) {
  const CompiledSchema& s = schema_;
  const size_t stride = s.of_type_tags.size() + 1;
  LS_CHECK(context.count <= TailContext::kMax);
  for (uint32_t k = 0; k < context.count; ++k) {
    const size_t d = stack_.size();
    OpenElem& f = stack_.emplace_back();
    if (uses_extra_) extra_.emplace_back();
    f.tag = context.frames[k].tag;
    f.attr_begin = f.attr_end = static_cast<uint32_t>(attr_arena_.size());
    index_frame(f, d, context.frames[k].name);
    // No chain of the tail may stand on a context frame (all lie below the
    // floor), so their memo rows say "no match below".
    if (s.chain_slots) nearest_.resize((d + 1) * s.chain_slots, -1);
    if (s.any_positional) counters_.resize((d + 2) * stride, 0);
  }
  ignored_structural_starts_ = context.seed.ignored_structural_starts;
  head_seen_ = context.seed.head_seen;
  body_seen_ = context.seed.body_seen;
  floor_ = context.count;
  cut_ = context.end;
  if (s.any_base_child) {
    bases_ = context.bases;
    base_.assign(context.count, 0);
  }
  seeded_ = true;
}

bool Matcher::before_cut(Offset start) {
  if (!seeded_ || candidate_closed_ || start < cut_) return true;
  // The main scan closed the candidate, and all it held open, here.
  flush_text();
  while (!candidate_closed_ && stack_.size() > floor_) pop_close(cut_);
  candidate_closed_ = true;
  return false;
}

ExtractResult CompiledSchema::run(const EncodedInput& input, ValueArena& arena, const TailContext* context) const {
  Matcher matcher(*this, input, arena);
  if (context) matcher.seed_context(*context);
  TokenizerScratch scratch;
  scratch.attrs.swap(matcher.token_attrs());  // lent back below, capacity and all
  const size_t scanned = tokenize(input.bytes, matcher, scratch, !early_stop_mask.empty() || context);
  scratch.attrs.clear();
  scratch.attrs.swap(matcher.token_attrs());
  ExtractResult out = matcher.finish();
  out.scanned = scanned;
  if (!post_ops.empty()) apply_post_ops(*this, out.flat);
  arena.keep(std::move(scratch.nul_free));  // values may view the NUL-free copy
  return out;
}

}  // namespace ls
