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

#include <algorithm>
#include <array>
#include <bit>
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

// One row per name that differs from the defaults.
constexpr Row kTags[] = {
    {"a", {C::kA}},
    {"abbr", {C::kPhrase}},
    {"acronym", {C::kPhrase}},
    {"address", {C::kAddress}},
    {"area", {C::kOther, F::kBodyContent, 0, kNoSlot, true}},
    {"b", {C::kBoldItalic}},
    {"base", {C::kOther, F::kHeadContent, 0, kNoSlot, true}},
    {"basefont", {C::kOther, F::kBodyContent, 0, kNoSlot, true}},
    {"bdo", {C::kPhrase}},
    {"big", {C::kFontStyle}},
    {"blockquote", {C::kBlock}},
    {"body", {C::kBlock, F::kStructural, 6, kSlotBody}},
    {"br", {C::kPhrase, F::kBodyContent, 0, kNoSlot, true}},
    {"caption", {C::kCaption}},
    {"center", {C::kCenter}},
    {"cite", {C::kPhrase}},
    {"code", {C::kPhrase}},
    {"col", {C::kCol, F::kBodyContent, 0, kNoSlot, true}},
    {"colgroup", {C::kColgroup}},
    {"dd", {C::kDd}},
    {"dfn", {C::kPhrase}},
    {"dir", {C::kDir}},
    {"div", {C::kBlock, F::kBodyContent, 1}},
    {"dl", {C::kDl}},
    {"dt", {C::kDt}},
    {"em", {C::kPhrase}},
    {"fieldset", {C::kFieldset}},
    {"font", {C::kFont}},
    {"form", {C::kForm}},
    {"frame", {C::kOther, F::kStructural, 0, kNoSlot, true}},
    {"frameset", {C::kBlock, F::kStructural}},
    {"h1", {C::kHeading}},
    {"h2", {C::kHeading}},
    {"h3", {C::kHeading}},
    {"h4", {C::kHeading}},
    {"h5", {C::kHeading}},
    {"h6", {C::kHeading}},
    {"head", {C::kHead, F::kStructural, 0, kSlotHead}},
    {"hr", {C::kBlock, F::kBodyContent, 0, kNoSlot, true}},
    {"html", {C::kOther, F::kStructural, 0, kSlotHtml}},
    {"i", {C::kBoldItalic}},
    {"iframe", {C::kPhrase}},
    {"img", {C::kPhrase, F::kBodyContent, 0, kNoSlot, true}},
    {"input", {C::kOther, F::kBodyContent, 0, kNoSlot, true}},
    {"isindex", {C::kOther, F::kBodyContent, 0, kNoSlot, true}},
    {"kbd", {C::kPhrase}},
    {"legend", {C::kLegend}},
    {"li", {C::kLi}},
    {"link", {C::kOther, F::kHeadContent, 0, kNoSlot, true}},
    {"listing", {C::kListing}},
    {"map", {C::kPhrase}},
    {"menu", {C::kMenu}},
    {"meta", {C::kOther, F::kHeadContent, 0, kNoSlot, true}},
    {"noframes", {C::kOther, F::kStructural}},
    {"ol", {C::kOl}},
    {"optgroup", {C::kOptgroup}},
    {"option", {C::kOption}},
    {"p", {C::kP}},
    {"param", {C::kOther, F::kBodyContent, 0, kNoSlot, true}},
    {"pre", {C::kPre}},
    {"q", {C::kPhrase}},
    {"s", {C::kFontStyle}},
    {"samp", {C::kPhrase}},
    {"script", {C::kOther, F::kHeadContent}},
    {"small", {C::kFontStyle}},
    {"span", {C::kSpan}},
    {"strike", {C::kFontStyle}},
    {"strong", {C::kPhrase}},
    {"style", {C::kOther, F::kHeadContent}},
    {"sub", {C::kPhrase}},
    {"sup", {C::kPhrase}},
    {"table", {C::kTable, F::kBodyContent, 5}},
    {"tbody", {C::kTbody, F::kBodyContent, 4}},
    {"td", {C::kCell, F::kBodyContent, 2}},
    {"tfoot", {C::kTfoot, F::kBodyContent, 4}},
    {"th", {C::kCell, F::kBodyContent, 2}},
    {"thead", {C::kThead, F::kBodyContent, 4}},
    {"title", {C::kTitle, F::kHeadContent}},
    {"tr", {C::kTr, F::kBodyContent, 3}},
    {"tt", {C::kFontStyle}},
    {"u", {C::kU}},
    {"ul", {C::kUl}},
    {"var", {C::kPhrase}},
    {"xmp", {C::kBlock}},
};


// kCloses[incoming] has bit `open` set when `incoming` closes `open`.
using CloseRow = uint64_t;
constexpr CloseRow bits(std::initializer_list<C> cs) {
  CloseRow r = 0;
  for (C c : cs) r |= CloseRow{1} << static_cast<int>(c);
  return r;
}

constexpr std::array<CloseRow, kCloseClassCount> make_closes() {
  std::array<CloseRow, kCloseClassCount> t{};
  auto set = [&](std::initializer_list<C> incoming, CloseRow open) {
    for (C c : incoming) t[static_cast<int>(c)] = open;
  };
  set({C::kA}, bits({C::kA, C::kHead}));
  set({C::kPhrase, C::kFontStyle, C::kBoldItalic, C::kFont, C::kSpan, C::kU}, bits({C::kHead}));
  set({C::kAddress, C::kMenu, C::kPre}, bits({C::kHead, C::kP, C::kUl}));
  set({C::kBlock, C::kDir, C::kHeading, C::kListing, C::kOl}, bits({C::kHead, C::kP}));
  set({C::kCaption, C::kHead, C::kTitle}, bits({C::kP}));
  set({C::kCenter}, bits({C::kBoldItalic, C::kFont, C::kHead, C::kP}));
  set({C::kCol}, bits({C::kCaption, C::kP}));
  set({C::kColgroup}, bits({C::kCaption, C::kColgroup, C::kP}));
  set({C::kDd, C::kDl}, bits({C::kAddress, C::kDir, C::kDt, C::kHead, C::kListing, C::kMenu, C::kP, C::kPre}));
  set({C::kDt}, bits({C::kAddress, C::kDd, C::kDir, C::kHead, C::kListing, C::kMenu, C::kP, C::kPre}));
  set({C::kFieldset}, bits({C::kA, C::kHeading, C::kHead, C::kLegend, C::kListing, C::kP, C::kPre}));
  set({C::kForm}, bits({C::kAddress, C::kDir, C::kDl, C::kForm, C::kHeading, C::kHead, C::kListing,
                        C::kMenu, C::kOl, C::kP, C::kPre, C::kUl}));
  set({C::kLegend}, 0);
  set({C::kLi}, bits({C::kAddress, C::kDl, C::kHeading, C::kHead, C::kLi, C::kListing, C::kP, C::kPre}));
  set({C::kOptgroup, C::kOption}, bits({C::kOption}));
  set({C::kP}, bits({C::kFontStyle, C::kBoldItalic, C::kHeading, C::kHead, C::kP, C::kU}));
  set({C::kTable}, bits({C::kA, C::kHeading, C::kHead, C::kListing, C::kP, C::kPre}));
  set({C::kTbody}, bits({C::kCaption, C::kColgroup, C::kP, C::kTbody, C::kCell, C::kTfoot, C::kThead, C::kTr}));
  set({C::kTfoot}, bits({C::kCaption, C::kColgroup, C::kP, C::kTbody, C::kCell, C::kThead, C::kTr}));
  set({C::kThead}, bits({C::kCaption, C::kColgroup}));
  set({C::kTr}, bits({C::kCaption, C::kColgroup, C::kP, C::kCell, C::kTr}));
  set({C::kCell}, bits({C::kA, C::kBoldItalic, C::kFont, C::kP, C::kSpan, C::kCell, C::kU}));
  set({C::kUl}, bits({C::kAddress, C::kDir, C::kHead, C::kListing, C::kMenu, C::kP, C::kPre}));
  return t;
}
constexpr std::array<CloseRow, kCloseClassCount> kCloses = make_closes();

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

// ASCII lower-casing of eight bytes at once: 0x20 is added to every byte from
// 'A' to 'Z' and to no other (the high-bit and range tests are per byte, with
// no carry between bytes because each sum stays below 0x100).
inline uint64_t lower8(uint64_t x) {
  constexpr uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
  const uint64_t low7 = x & ~k80;
  const uint64_t ge_a = low7 + (0x80 - 'A') * k01;  // high bit set where byte >= 'A'
  const uint64_t gt_z = low7 + (0x7F - 'Z') * k01;  // high bit set where byte > 'Z'
  const uint64_t upper = ge_a & ~gt_z & ~x & k80;   // ASCII and in 'A'..'Z'
  return x | (upper >> 2);
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

}  // namespace

TagInfo tag_info(Bytes name) {
  if (name.empty() || name.size() > 10) return {};
  static_assert(std::endian::native == std::endian::little, "keys are packed little-endian");
  unsigned char buf[16] = {};
  std::memcpy(buf, name.data(), name.size());
  uint64_t lo, hi;
  std::memcpy(&lo, buf, 8);
  std::memcpy(&hi, buf + 8, 8);
  const Key key{lower8(lo), lower8(hi)};
  for (size_t slot = slot_of(key); kTable.rows[slot]; slot = (slot + 1) % kSlots)
    if (kTable.keys[slot] == key) return kTags[kTable.rows[slot] - 1].info;
  return {};
}

bool start_closes(CloseClass incoming, CloseClass open) {
  return (kCloses[static_cast<int>(incoming)] >> static_cast<int>(open)) & 1;
}

}  // namespace ls
