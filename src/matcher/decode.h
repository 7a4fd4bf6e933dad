// The document as the matcher sees it, and the decoding of values cut from it.
#pragma once

#include <string>

#include "base.h"
#include "whatwg/labels.h"

namespace ls {

// The prepared document: trimmed, NUL-free, in an ASCII-compatible encoding
// (or transcoded to UTF-8), at most kMaxDocumentBytes long. Values cut from
// it are decoded from `encoding`.
struct EncodedInput {
  Bytes bytes;  // borrowed from the caller, or a view of `owned`
  whatwg::Encoding encoding = whatwg::Encoding::kUtf8;
};

}  // namespace ls
