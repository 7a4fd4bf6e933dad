// Group instances: routing values into the rows of open containers.
//
// Input: the open instances (one per open container element, ordered by the
// container's stack index, as the elements nest) and the element or text at
// hand. Output: values appended to the right rows.
//
// Nested containers make naive routing quadratic: every start tag and text run
// would test every open instance. Three facts keep it proportional to the
// values produced:
//   - the subject's own compound is tested once, before any instance;
//   - an anchored sub-field whose compounds are all child-joined fixes the
//     container index (subject - span - anchor): one binary search finds it;
//   - for an unanchored sub-field, matching can only get harder as the floor
//     (the container index) rises, so the instances that match are a prefix
//     of the instance stack, found by binary search.
// Subtree text and descendant attributes belong to a row while any open frame
// inside the container is a subject; that membership is marked when the
// subject opens and unmarked when it closes, so a text run reads the marked
// instances only.
#include <algorithm>

#include "matcher/matcher.h"

namespace ls {

namespace {

bool membership_kind(const SubSel& sub) {
  return sub.segment && ((sub.terminal.kind == Terminal::Kind::kText && sub.terminal.subtree) ||
                         (sub.terminal.kind == Terminal::Kind::kAttr && sub.terminal.descendants));
}

}  // namespace

// Calls f(group, sub-field index, sub-field) for every sub-field of every
// group that has an open instance.
template <class F>
void Matcher::for_each_open_sub(F&& f) const {
  const CompiledSchema& s = schema_;
  for (uint32_t g = 0; g < s.groups.size(); ++g) {
    if (!open_per_group_[g]) continue;
    const std::vector<SubSel>& subs = s.groups[g].subs;
    for (uint32_t j = 0; j < subs.size(); ++j) f(g, j, subs[j]);
  }
}

template <class F>
void Matcher::visit_subjects(uint32_t g, uint32_t j, size_t subject, F&& f) {
  const SubSel& sub = schema_.groups[g].subs[j];
  const Segment& seg = *sub.segment;
  if (!compound_matches_impl(seg.compounds.back(), view(), subject)) return;
  auto container_below = [&](size_t c) {  // first instance whose container is >= c
    return static_cast<size_t>(std::lower_bound(instances_.begin(), instances_.end(), c,
                                                [](const OpenInstance& i, size_t v) { return i.container < v; }) -
                               instances_.begin());
  };
  const bool one_chain = std::none_of(seg.combs.begin(), seg.combs.end(), [](Comb c) { return c == Comb::kDescendant; });
  if (seg.anchor && one_chain) {
    const size_t span = seg.compounds.size() - 1 + *seg.anchor;
    if (subject < span) return;
    const size_t c = subject - span;
    for (size_t i = container_below(c); i < instances_.size() && instances_[i].container == c; ++i)
      if (instances_[i].group == g && seg_match_anchored(view(), seg, subject, c, -1)) f(i);
    return;
  }
  const size_t n = container_below(subject + 1);  // instances with container <= subject
  if (!seg.anchor) {
    size_t lo = 0, hi = n;  // find the first instance that does not match
    while (lo < hi) {
      size_t mid = (lo + hi) / 2;
      if (seg_match_anchored(view(), seg, subject, instances_[mid].container, -1)) lo = mid + 1;
      else hi = mid;
    }
    for (size_t i = 0; i < lo; ++i)
      if (instances_[i].group == g) f(i);
    return;
  }
  for (size_t i = 0; i < n; ++i)
    if (instances_[i].group == g && seg_match_anchored(view(), seg, subject, instances_[i].container, -1)) f(i);
}

void Matcher::open_instances(OpenElem& f, size_t d) {
  const CompiledSchema& s = schema_;
  for (const auto& [k, g] : s.containers) {
    if (k >= 128 || !f.matched.test(k)) continue;
    OpenInstance inst;
    inst.rows.resize(s.groups[g].subs.size());
    inst.member.assign(s.groups[g].subs.size(), 0);
    inst.group = g;
    inst.container = static_cast<uint32_t>(d);
    inst.seq = ++instance_counter_;
    instances_.push_back(std::move(inst));
    ++open_per_group_[g];
    ++extra(d).instance_count;
  }
}

void Matcher::mark_members(size_t d) {
  for_each_open_sub([&](uint32_t g, uint32_t j, const SubSel& sub) {
    if (!membership_kind(sub)) return;
    const uint32_t id = sub_base_[g] + j;
    visit_subjects(g, j, d, [&](size_t i) {
      if (instances_[i].member[j]) return;
      instances_[i].member[j] = 1;
      members_[id].push_back(static_cast<uint32_t>(i));
      extra(d).cold_state().member_marks.emplace_back(id, j);
    });
  });
}

void Matcher::unmark_members(FrameExtra& frame) {
  if (!frame.cold) return;
  auto& marks = frame.cold->member_marks;
  for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
    std::vector<uint32_t>& stack = members_[it->first];
    LS_CHECK(!stack.empty());
    instances_[stack.back()].member[it->second] = 0;
    stack.pop_back();
  }
  marks.clear();
}

void Matcher::instance_outer(size_t d) {
  for_each_open_sub([&](uint32_t g, uint32_t j, const SubSel& sub) {
    if (sub.segment && sub.terminal.kind == Terminal::Kind::kOuter)
      visit_subjects(g, j, d, [&](size_t i) { extra(d).cold_state().sub_outer.emplace_back(instances_[i].seq, j); });
  });
}

// A value from element d for the sub-fields whose terminal is `kind` (and,
// for attributes, whose name is `attr_name`): to the rows whose container
// holds a subject of the sub-field (subtree forms) or of which d itself is a
// subject.
void Matcher::route_value(size_t d, Terminal::Kind kind, Bytes attr_name, PendingValue& value) {
  for_each_open_sub([&](uint32_t g, uint32_t j, const SubSel& sub) {
    if (!sub.segment || sub.terminal.kind != kind) return;
    if (kind == Terminal::Kind::kAttr && !ascii_iequals(sub.terminal.name, attr_name)) return;
    if (membership_kind(sub)) {
      for (uint32_t i : members_[sub_base_[g] + j]) instances_[i].rows[j].push_back(value.get());
    } else {
      visit_subjects(g, j, d, [&](size_t i) { instances_[i].rows[j].push_back(value.get()); });
    }
  });
}

void Matcher::instance_attr(size_t d, Bytes name, PendingValue& value) {
  route_value(d, Terminal::Kind::kAttr, name, value);
}

void Matcher::instance_text(size_t d, PendingValue& text) {
  route_value(d, Terminal::Kind::kText, {}, text);
}

bool Matcher::instances_want_text() const {
  bool want = false;
  for_each_open_sub([&](uint32_t, uint32_t, const SubSel& sub) {
    want = want || (sub.segment && sub.terminal.kind == Terminal::Kind::kText);
  });
  return want;
}

}  // namespace ls
