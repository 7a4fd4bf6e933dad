// Element classes and the implied-close, end-tag priority and skeleton
// tables of the tree repair. See implied_close.cc for what they imitate.
#pragma once

#include <cstdint>

#include "base.h"
#include "tags.h"

namespace ls {

enum class CloseClass : uint8_t {
  kOther = 0, kA, kPhrase, kAddress, kFontStyle, kBlock, kBoldItalic, kCaption, kCenter, kCol,
  kColgroup, kDd, kDir, kDl, kDt, kFieldset, kFont, kForm, kHeading, kHead, kLegend, kLi, kListing,
  kMenu, kOl, kOptgroup, kOption, kP, kPre, kSpan, kTable, kTbody, kCell, kTfoot, kThead, kTitle,
  kTr, kU, kUl,
};
inline constexpr int kCloseClassCount = 39;

enum class FrameContent : uint8_t { kBodyContent = 0, kHeadContent = 1, kStructural = 2 };

// Skeleton slots: html 0, head 1, body 2.
inline constexpr int8_t kNoSlot = -1;
inline constexpr int8_t kSlotHtml = 0;
inline constexpr int8_t kSlotHead = 1;
inline constexpr int8_t kSlotBody = 2;

// End priorities run from 0 to kEndPriorityLevels - 1.
inline constexpr int kEndPriorityLevels = 7;

// Everything the tree repair knows about one tag name.
struct TagInfo {
  CloseClass close_class = CloseClass::kOther;
  FrameContent content = FrameContent::kBodyContent;
  uint8_t end_priority = 0;  // div 1, td/th 2, tr 3, tbody/tfoot/thead 4, table 5, body 6
  int8_t slot = kNoSlot;
  bool empty = false;        // a void element: closed at once
};

// The generated tables (defined in implied_close.cc), declared here so that
// the lookups below inline into the matcher, which makes several per tag.
namespace implied_close_tables {
extern const TagInfo kTagInfo[kTagCount];
extern const uint64_t kCloses[kCloseClassCount];
}  // namespace implied_close_tables

// What the tree repair knows about a tag id; kTagOther and names without an
// entry in the tables get the defaults (Other, BodyContent, 0, no slot).
inline const TagInfo& tag_info(TagId id) { return implied_close_tables::kTagInfo[id]; }
// The same for a name, looked up ASCII-case-insensitively.
TagInfo tag_info(Bytes name);

// Whether a start tag of class `incoming` implicitly closes an open element
// of class `open`.
inline bool start_closes(CloseClass incoming, CloseClass open) {
  return (implied_close_tables::kCloses[static_cast<int>(incoming)] >> static_cast<int>(open)) & 1;
}

}  // namespace ls
