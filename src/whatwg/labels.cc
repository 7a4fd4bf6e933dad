// Label lookup over the generated, sorted label table.
#include "whatwg/labels.h"

#include <algorithm>

namespace ls::whatwg {

namespace {
struct LabelEntry {
  const char* label;
  Encoding encoding;
};
#include "whatwg/labels_generated.inc"
}  // namespace

const char* canonical_name(Encoding e) {
  auto i = static_cast<size_t>(e);
  LS_CHECK(i < static_cast<size_t>(kEncodingCount));
  return kCanonicalNames[i];
}

std::optional<Encoding> for_label(Bytes label) {
  size_t b = 0, e = label.size();
  while (b < e && is_ascii_whitespace(static_cast<uint8_t>(label[b]))) ++b;
  while (e > b && is_ascii_whitespace(static_cast<uint8_t>(label[e - 1]))) --e;
  if (e - b > static_cast<size_t>(kLongestLabel) || e == b) return std::nullopt;
  char low[kLongestLabel];
  for (size_t i = b; i < e; ++i) low[i - b] = static_cast<char>(ascii_lower(static_cast<uint8_t>(label[i])));
  Bytes key(low, e - b);
  const LabelEntry* end = kLabels + kLabelCount;
  const LabelEntry* it = std::lower_bound(kLabels, end, key, [](const LabelEntry& x, Bytes k) {
    return Bytes(x.label) < k;
  });
  if (it != end && Bytes(it->label) == key) return it->encoding;
  return std::nullopt;
}

}  // namespace ls::whatwg
