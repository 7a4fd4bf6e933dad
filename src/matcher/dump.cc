// A readable dump of a compiled schema: one line per streamed selector,
// sub-field and template, then the summaries. For tests and debugging.
#include <cstdio>

#include "matcher/schema.h"

namespace ls {

namespace {

std::string segment_text(const Segment& s) {
  Selector sel;
  sel.compounds = s.compounds;
  sel.combs = s.combs;
  sel.anchor = s.anchor;
  sel.relative = s.relative;
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
        out += c.sib_adjacent[i - 1] ? " + " : " ~ ";
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
  std::snprintf(buf, sizeof buf, "\nflags:%s%s%s%s%s%s%s%s%s%s%s%s\n", s.sig_tag ? " sig_tag" : "",
                s.sig_class ? " sig_class" : "", s.sig_id ? " sig_id" : "",
                s.attr_filter_on ? " attr_filter" : "", s.wants_source ? " wants_source" : "",
                s.any_sibling ? " any_sibling" : "", s.any_normalize ? " any_normalize" : "",
                s.normalize_outer ? " normalize_outer" : "", s.any_positional ? " any_positional" : "",
                s.any_revs ? " any_revs" : "", s.any_has_entries ? " any_has" : "", s.any_text ? " any_text" : "");
  out += buf;
  if (!s.merged_queries.empty()) {
    out += "merged:";
    for (unsigned q = 0; q < 128; ++q)
      if (s.merged_queries.test(q)) out.append(" ").append(std::to_string(q));
    out += "\n";
  }
  return out;
}

}  // namespace ls
