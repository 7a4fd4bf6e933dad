// The document as the matcher sees it, and the decoding of the values cut
// from it: each function returns a view when nothing had to change and an
// owned copy only when a step changed the text.
#pragma once

#include <string>

#include "base.h"
#include "matcher/arena.h"
#include "text_value.h"
#include "whatwg/labels.h"

namespace ls {

// The prepared document: trimmed, in an ASCII-compatible encoding (or
// transcoded to UTF-8), at most kMaxDocumentBytes long; NUL-free once the scan
// has replaced it (see tokenize). Values cut from it are decoded from
// `encoding`.
struct EncodedInput {
  Bytes bytes;  // borrowed from the caller, or a view of a buffer the run owns
  whatwg::Encoding encoding = whatwg::Encoding::kUtf8;

  // The decoded, newline-normalised source of bytes [start, end); character
  // references are left as written. Requires start <= end <= bytes.size().
  // A view of the document when that changes nothing, else a copy in `arena`.
  Bytes raw_source(Offset start, Offset end, ValueArena& arena) const;
};

// What in a value's bytes can make decoding change it, found in one pass.
enum ValueTraits : uint8_t {
  kValueNonAscii = 1,  // a byte of 0x80 or above
  kValueCr = 2,        // 0x0D
  kValueAmp = 4,       // `&`
  kValueNul = 8,       // 0x00
};
uint8_t value_traits(Bytes b);

// Bytes in `enc` to UTF-8 (a fragment: no byte-order mark handling).
TextValue decode_bytes(Bytes b, whatwg::Encoding enc);
// CR LF and lone CR become LF.
TextValue normalize_crlf(TextValue t);
// An attribute value as stored on a frame and emitted.
TextValue decode_attr(Bytes b, whatwg::Encoding enc);
// One piece of element text as buffered and emitted; `decode_entities` is
// what the tokenizer reported for the piece.
TextValue finalize(Bytes b, bool decode_entities, whatwg::Encoding enc);
// A stable form of a value for a result: the view itself, or a copy in the
// arena when the value owns its text.
inline Bytes stable(const TextValue& v, ValueArena& arena) {
  return v.is_owned() ? arena.copy(v.bytes()) : v.bytes();
}
// XPath normalize-space(): runs of 09/0A/0D/20 become one space; both ends
// trimmed.
std::string normalize_space(Bytes t);

}  // namespace ls
