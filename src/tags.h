// Tag names: the ids of the known names. One lookup per tag name gives an id
// that indexes every per-name table (the raw-text kind here, the tree-repair
// class in implied_close, the candidate selectors and kept attributes of a
// compiled schema), so that no later step looks at the name's bytes again.
#pragma once

#include <cstdint>
#include <string_view>

#include "base.h"

namespace ls {

// 0 is every name without an id: unlisted or longer than 10 bytes. Such
// names behave exactly like the others, through the slower paths that
// compare names.
using TagId = uint8_t;
inline constexpr TagId kTagOther = 0;

#include "tags_generated.inc"

// Raw-text kind of a start tag, decided from its name.
enum class RawKind : uint8_t {
  kNormal = 0,     // ordinary tokenizing
  kRawText = 1,    // script, style, xmp, iframe, noembed, noframes
  kEscapable = 2,  // title, textarea: references decoded
  kPlaintext = 3,  // the rest of the document
};

// The id of a name, compared ASCII-case-insensitively (only A-Z fold).
TagId tag_id(Bytes name);
// The same, for a name followed by at least 16 - name.size() readable bytes
// (the scan's names inside a document): read two words at a time.
TagId tag_id_padded(Bytes name);
// The lower-case name of an id ("" for kTagOther).
std::string_view tag_name(TagId id);
RawKind raw_kind(TagId id);

}  // namespace ls
