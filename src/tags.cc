// Tag ids by a perfect hash over the known names (tools/gen_tag_tables.py).
//
// A name of 1 to 10 bytes is packed into two words of its lower-cased bytes,
// with its length in the top byte of the second; the hash of that key picks
// one slot, whose id is the answer when the id's own key equals this one.
// Every other name, including one whose bytes only look like a key (a byte
// above 0x7F is never lower-cased into a listed name's byte), is kTagOther.
#include "tags.h"

#include <cstring>

namespace ls {

namespace {

struct TagRow {
  const char* name;
  uint64_t lo, hi;  // the key
  uint8_t raw_kind;
};

#define TAGS_TABLE
#include "tags_generated.inc"
#undef TAGS_TABLE

}  // namespace

namespace {

// The id of a key (see the file comment), its bytes lower-cased.
inline TagId id_of_lowered_key(uint64_t lo, uint64_t hi) {
  const TagId id = kTagSlots[((lo * kMulLo) ^ (hi * kMulHi)) >> (64 - kHashBits)];
  const TagRow& row = kTagRows[id];
  return row.lo == lo && row.hi == hi ? id : kTagOther;
}

// The same, its bytes not yet lower-cased.
inline TagId id_of_key(uint64_t lo, uint64_t hi) {
  // The length byte is at most 10: no letter.
  return id_of_lowered_key(ascii_lower8(lo), ascii_lower8(hi));
}

}  // namespace

TagId tag_id(Bytes name) {
  const size_t n = name.size();
  if (n - 1 >= 10) return kTagOther;  // empty (wraps) or longer than 10 bytes
  // Gathered in registers: a copy through a stack buffer would make the word
  // loads wait on the narrower stores.
  uint64_t lo = 0, hi = uint64_t{n} << 56;
  for (size_t i = 0; i < n && i < 8; ++i) lo |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * i);
  for (size_t i = 8; i < n; ++i) hi |= uint64_t{static_cast<uint8_t>(name[i])} << (8 * (i - 8));
  return id_of_key(lo, hi);
}

TagId tag_id_padded(Bytes name) {
  const size_t n = name.size();
  if (n - 1 >= 10) return kTagOther;
  uint64_t lo, hi;
  std::memcpy(&lo, name.data(), 8);
  // Nearly every name has at most 8 bytes: its second word is the length
  // byte alone, with no letter to lower-case, and the first keeps its low n
  // bytes (a shift of 0 to 56).
  if (n <= 8) return id_of_lowered_key(ascii_lower8(lo & (~uint64_t{0} >> (64 - 8 * n))), uint64_t{n} << 56);
  std::memcpy(&hi, name.data() + 8, 8);
  // Keep the name's bytes: all of lo from 8 bytes on, the first n of it
  // below; the first n - 8 bytes of hi (none below 9).
  const uint64_t lo_keep = n >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * n)) - 1;
  const uint64_t hi_keep = n > 8 ? (uint64_t{1} << (8 * (n - 8))) - 1 : 0;
  return id_of_key(lo & lo_keep, (hi & hi_keep) | (uint64_t{n} << 56));
}

std::string_view tag_name(TagId id) { return kTagRows[id].name; }

RawKind raw_kind(TagId id) { return static_cast<RawKind>(kTagRows[id].raw_kind); }

}  // namespace ls
