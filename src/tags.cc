// Tag ids by a perfect hash over the known names (tools/gen_tag_tables.py).
//
// A name of 1 to 10 bytes is packed into two words of its lower-cased bytes,
// with its length in the top byte of the second; the hash of that key picks
// one slot, whose id is the answer when the id's own key equals this one.
// Every other name, including one whose bytes only look like a key (a byte
// above 0x7F is never lower-cased into a listed name's byte), is kTagOther.
#include "tags.h"

#include "tag_lookup.h"

namespace ls {

using tag_lookup::kTagRows;

TagId tag_id(Bytes name) {
  const size_t n = name.size();
  if (n - 1 >= 10) return kTagOther;  // empty (wraps) or longer than 10 bytes
  // Gathered in registers: a copy through a stack buffer would make the word
  // loads wait on the narrower stores.
  uint64_t lo = 0, hi = uint64_t{n} << 56;
  for (size_t i = 0; i < n && i < 8; ++i) lo |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * i);
  for (size_t i = 8; i < n; ++i) hi |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * (i - 8));
  // The length byte is at most 10: no letter.
  return tag_lookup::id_of_lowered_key(ascii_lower8(lo), ascii_lower8(hi));
}

TagId tag_id_padded(Bytes name) { return tag_lookup::padded(name); }

std::string_view tag_name(TagId id) { return kTagRows[id].name; }

RawKind raw_kind(TagId id) { return static_cast<RawKind>(kTagRows[id].raw_kind); }

}  // namespace ls
