// Encoding resolution: which one WHATWG encoding a byte document is decoded
// in, from its byte-order mark, the caller's label, an XML declaration or a
// <meta> charset, in that order, else UTF-8.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base.h"
#include "whatwg/labels.h"

namespace ls {

using whatwg::Encoding;

// `label` absent: sniff. An unrecognised label is ignored.
Encoding resolve(Bytes doc, std::optional<Bytes> label);

// The XML declaration or <meta> charset near the start of `doc`, if any.
std::optional<Encoding> meta_prescan(Bytes doc);

struct MetaAttrs {
  std::vector<std::pair<std::string, std::string>> attrs;  // names ASCII-lower-cased
  size_t end;  // position after the closing `>`, or the `end` passed in
};
// Reads the attributes of one tag from `start` up to its `>` (or `end`).
MetaAttrs meta_attrs(Bytes doc, size_t start, size_t end);

}  // namespace ls
