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

#include <cstring>
#include <string_view>

namespace ls {

namespace {

using C = CloseClass;
using F = FrameContent;

struct Row {
  const char* name;
  TagInfo info;
};

#include "implied_close_generated.inc"

// Names of at most 10 bytes packed into two little-endian words of their
// lower-cased, zero-padded bytes, so that lookups compare integers.
struct Key {
  uint64_t lo = 0, hi = 0;
  constexpr bool operator==(const Key&) const = default;
};

constexpr Key pack(std::string_view s) {
  Key k;
  for (size_t i = 0; i < s.size() && i < 10; ++i) {
    const uint64_t b = static_cast<uint8_t>(s[i]);
    if (i < 8) k.lo |= b << (8 * i);
    else k.hi |= b << (8 * (i - 8));
  }
  return k;
}

// An open-addressing table over the packed keys: 256 slots for fewer than
// 100 names keeps probe runs short; slot value 0 is empty, else row + 1.
constexpr size_t kSlots = 256;

constexpr size_t slot_of(Key k) {
  return static_cast<size_t>(((k.lo ^ (k.hi * 0x100000001B3ull)) * 0x9E3779B97F4A7C15ull) >> 56);
}

struct HashTable {
  Key keys[kSlots];
  uint8_t rows[kSlots];
};

constexpr HashTable make_table() {
  HashTable t{};
  for (size_t i = 0; i < std::size(kTags); ++i) {
    const Key k = pack(kTags[i].name);
    size_t slot = slot_of(k);
    while (t.rows[slot]) slot = (slot + 1) % kSlots;
    t.keys[slot] = k;
    t.rows[slot] = static_cast<uint8_t>(i + 1);
  }
  return t;
}
constexpr HashTable kTable = make_table();

constexpr bool priorities_in_range() {
  for (const Row& r : kTags)
    if (r.info.end_priority >= kEndPriorityLevels) return false;
  return true;
}
static_assert(priorities_in_range(), "the matcher keeps one stack link per end priority");

}  // namespace

TagInfo tag_info(Bytes name) {
  if (name.empty() || name.size() > 10) return {};
  // Bytes are gathered in registers: a copy through a stack buffer would make
  // the word loads wait on the narrower stores (no store forwarding).
  uint64_t lo = 0, hi = 0;
  const size_t n = name.size();
  for (size_t i = 0; i < n && i < 8; ++i) lo |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * i);
  for (size_t i = 8; i < n; ++i) hi |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * (i - 8));
  const Key key{ascii_lower8(lo), ascii_lower8(hi)};
  for (size_t slot = slot_of(key); kTable.rows[slot]; slot = (slot + 1) % kSlots)
    if (kTable.keys[slot] == key) return kTags[kTable.rows[slot] - 1].info;
  return {};
}

bool start_closes(CloseClass incoming, CloseClass open) {
  return (kCloses[static_cast<int>(incoming)] >> static_cast<int>(open)) & 1;
}

}  // namespace ls
