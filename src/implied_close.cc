// Tag classes and tree-repair tables.
//
// These tables imitate the tree that libxml2's HTML parser (the parser behind
// lxml and parsel) builds from malformed HTML: its element class table, the
// list of start tags that implicitly close open elements, the priority scale
// that decides whether an end tag may close through other open elements, and
// its handling of the html / head / body skeleton. The matcher applies them
// on the fly to a stack of open elements instead of building a tree.
//
// Where this deliberately differs from that parser: it knows no other
// insertion modes (no foster parenting, no adoption agency, no special
// handling of form, select or frameset content); names longer than 10 bytes
// are always of class Other; embed, source, track, wbr and keygen are not
// void elements here and stay open until closed, as that parser treats them.
#include "implied_close.h"

#include <iterator>

namespace ls {

// The tables keep the external linkage of their declarations in the header.
namespace implied_close_tables {

using C = CloseClass;
using F = FrameContent;

#include "implied_close_generated.inc"

static_assert(std::size(kCloses) == kCloseClassCount);

constexpr bool priorities_in_range() {
  for (const TagInfo& t : kTagInfo)
    if (t.end_priority >= kEndPriorityLevels) return false;
  return true;
}
static_assert(priorities_in_range(), "the matcher keeps one stack link per end priority");

}  // namespace implied_close_tables

TagInfo tag_info(Bytes name) { return implied_close_tables::kTagInfo[tag_id(name)]; }

}  // namespace ls
