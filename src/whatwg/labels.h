// The WHATWG Encoding Standard's encodings, their canonical names and the
// label lookup ("get an encoding").
#pragma once

#include <optional>

#include "base.h"
#include "whatwg/encodings_generated.h"

namespace ls::whatwg {

// The standard's name for `e`, e.g. "UTF-8", "windows-1252", "Shift_JIS".
const char* canonical_name(Encoding e);

// "Get an encoding": strips leading and trailing ASCII whitespace, then
// matches the label ASCII-case-insensitively against the standard's table.
std::optional<Encoding> for_label(Bytes label);

// ASCII-compatible encodings are scanned as raw bytes; the others
// (UTF-16LE/BE, ISO-2022-JP, replacement) are transcoded first.
inline bool is_ascii_compatible(Encoding e) {
  return e != Encoding::kUtf16le && e != Encoding::kUtf16be && e != Encoding::kIso2022Jp &&
         e != Encoding::kReplacement;
}

}  // namespace ls::whatwg
