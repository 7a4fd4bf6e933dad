// A readable dump of a compiled schema: one line per streamed selector,
// sub-field and template, then the summaries. For tests and debugging.
#include <algorithm>
#include <cstdio>
#include <map>

#include "matcher/schema.h"

namespace ls {

namespace {

std::string segment_text(const Segment& s) {
  Selector sel;
  sel.compounds = s.compounds;
  sel.combs = s.combs;
  sel.anchor = s.anchor;
  sel.relative = s.relative;
  sel.base_child = s.base_child;
  std::string d = dump(sel);
  return d.substr(0, d.rfind(" -> "));
}

std::string terminal_text(const Terminal& t) {
  Selector sel;
  sel.compounds.emplace_back();
  sel.terminal = t;
  std::string d = dump(sel);
  return d.substr(d.rfind(" -> ") + 4);
}

std::string dest_text(const Dest& d) {
  switch (d.kind) {
    case Dest::Kind::kOwn: return "own";
    case Dest::Kind::kNewTail: return "tail " + std::to_string(d.value);
    case Dest::Kind::kSharedTail: return "shared tail (" + std::to_string(d.value) + " members)";
    case Dest::Kind::kDead: return "dead";
    case Dest::Kind::kGateBit: return "gate bit " + std::to_string(d.value);
    case Dest::Kind::kHasEvidence: return "has evidence " + std::to_string(d.value);
  }
  return "?";
}

std::string template_text(const char* kind, const DeferredTemplate& t) {
  std::string out = std::string(kind) + " " + segment_text(t.segment) + " -> " + terminal_text(t.terminal);
  out += " => " + dest_text(t.dest);
  if (t.query) out += " q" + std::to_string(*t.query);
  if (t.cold) out += " cold";
  return out;
}

}  // namespace

std::string dump(const CompiledSchema& s) {
  std::string out;
  for (size_t k = 0; k < s.csels.size(); ++k) {
    const CSel& c = s.csels[k];
    out += "csel " + std::to_string(k) + (c.flat ? " q" : " g") + std::to_string(c.dest) + ": ";
    for (size_t i = 0; i < c.segments.size(); ++i) {
      if (i) {
        static const char* kBoundary[] = {" ", " > ", " + ", " ~ ", " following ", " following[1] "};
        out += kBoundary[static_cast<int>(c.sib_combs[i - 1])];
        if (i - 1 < c.sib_bits.size()) out += "[bit " + std::to_string(c.sib_bits[i - 1]) + "] ";
      }
      out += segment_text(c.segments[i]);
    }
    out += " -> " + terminal_text(c.terminal);
    if (c.cold) out += " cold";
    out += "\n";
  }
  for (size_t g = 0; g < s.groups.size(); ++g)
    for (size_t j = 0; j < s.groups[g].subs.size(); ++j) {
      const SubSel& sub = s.groups[g].subs[j];
      out += "sub g" + std::to_string(g) + "." + std::to_string(j) + ": " +
             (sub.segment ? segment_text(*sub.segment) + " -> " + terminal_text(sub.terminal) : "none") + "\n";
    }
  for (const RevEntry& e : s.revs) out += template_text("rev", e) + (e.simple_last ? " simple-last" : "") + "\n";
  for (const HasEntry& e : s.has_entries) out += template_text("has", e) + "\n";
  for (const TextEntry& e : s.text_entries) out += template_text("text", e) + "\n";
  for (size_t t = 0; t < s.tails.size(); ++t) {
    out += "tail " + std::to_string(t) + " queries";
    for (uint32_t q : s.tails[t].queries) out.append(" ").append(std::to_string(q));
    out += "\n";
  }
  out += "attr_names:";
  for (const std::string& n : s.attr_names) out.append(" ").append(n);
  out += "\nof_type_tags:";
  for (const std::string& n : s.of_type_tags) out.append(" ").append(n);
  char buf[160];
  std::snprintf(buf, sizeof buf, "\nflags:%s%s%s%s%s%s%s%s%s%s%s\n", s.sig_tag ? " sig_tag" : "",
                s.sig_class ? " sig_class" : "", s.sig_id ? " sig_id" : "", s.wants_source ? " wants_source" : "",
                s.any_sibling ? " any_sibling" : "", s.any_normalize ? " any_normalize" : "",
                s.normalize_outer ? " normalize_outer" : "", s.any_positional ? " any_positional" : "",
                s.any_revs ? " any_revs" : "", s.any_has_entries ? " any_has" : "", s.any_text ? " any_text" : "");
  out += buf;
  // Dispatch: what most tags get ("*"), then each tag id that differs, then
  // names without an id when they differ.
  if (!s.by_tag.empty()) {
    auto names = [&](uint64_t bits) {
      std::string o;
      for (size_t i = 0; i < s.attr_names.size() && i < 64; ++i)
        if ((bits >> i) & 1) o.append(o.empty() ? "" : ",").append(s.attr_names[i]);
      return o.empty() ? std::string("-") : o;
    };
    auto line = [&](const CompiledSchema::TagDispatch& d) {
      std::string o = "keep " + names(d.attrs) + " csels ";
      std::string k;
      d.csels.for_each([&](unsigned i) { k.append(k.empty() ? "" : ",").append(std::to_string(i)); });
      return o + (k.empty() ? std::string("-") : k);
    };
    std::map<std::string, int> counts;
    for (int id = 1; id < kTagCount; ++id) ++counts[line(s.by_tag[id])];
    const std::string common =
        std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.second < b.second; })
            ->first;
    out += "dispatch *: " + common + "\n";
    for (int id = 1; id < kTagCount; ++id)
      if (line(s.by_tag[id]) != common)
        out += "dispatch " + std::string(tag_name(static_cast<TagId>(id))) + ": " + line(s.by_tag[id]) + "\n";
    if (line(s.by_tag[kTagOther]) != common) out += "dispatch (other names): " + line(s.by_tag[kTagOther]) + "\n";
  }
  if (!s.merged_queries.empty()) {
    out += "merged:";
    for (unsigned q = 0; q < 128; ++q)
      if (s.merged_queries.test(q)) out.append(" ").append(std::to_string(q));
    out += "\n";
  }
  return out;
}

}  // namespace ls
