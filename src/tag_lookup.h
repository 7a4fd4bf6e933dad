// The tag-id lookup itself, for the two places that run it: tags.cc (every
// caller) and the scan loop, which inlines it for the names of a document.
// See tags.cc for the key and the perfect hash.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "base.h"
#include "tags.h"

namespace ls::tag_lookup {

struct TagRow {
  const char* name;
  uint64_t lo, hi;  // the key
  uint8_t raw_kind;
};

#define TAGS_TABLE
#include "tags_generated.inc"
#undef TAGS_TABLE

// Per id, 0x20 in each byte of its key that is a digit (h1 to h6), else 0.
constexpr std::array<uint64_t, kTagCount> digit_bytes() {
  std::array<uint64_t, kTagCount> bits{};
  for (int id = 1; id < kTagCount; ++id)
    for (int i = 0; i < 8 && kTagRows[id].name[i]; ++i)
      if (kTagRows[id].name[i] >= '0' && kTagRows[id].name[i] <= '9') bits[static_cast<size_t>(id)] |= uint64_t{0x20} << (8 * i);
  return bits;
}
constexpr std::array<uint64_t, kTagCount> kDigitBytes = digit_bytes();

constexpr bool names_are_lower_alnum() {
  for (int id = 1; id < kTagCount; ++id)
    for (const char* p = kTagRows[id].name; *p; ++p)
      if (!((*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9'))) return false;
  return true;
}
static_assert(names_are_lower_alnum(), "the short-name lookup folds case by setting bit 5 of every byte");

inline uint32_t slot_of(uint64_t lo, uint64_t hi) {
  return static_cast<uint32_t>(((lo * kMulLo) ^ (hi * kMulHi)) >> (64 - kHashBits));
}

// The id of a key whose bytes are already lower-cased.
inline TagId id_of_lowered_key(uint64_t lo, uint64_t hi) {
  const TagId id = kTagSlots[slot_of(lo, hi)];
  const TagRow& row = kTagRows[id];
  return row.lo == lo && row.hi == hi ? id : kTagOther;
}

// tag_id for a name followed by at least 16 - name.size() readable bytes.
inline TagId padded(Bytes name) {
  const size_t n = name.size();
  if (n - 1 >= 10) return kTagOther;  // empty (wraps) or longer than 10 bytes
  uint64_t lo;
  std::memcpy(&lo, name.data(), 8);
  if (n <= 8) {
    // Nearly every name has at most 8 bytes: its key's second word is the
    // length byte alone, and the first keeps its low n bytes. Every known
    // name is made of a-z and 0-9, which have bit 5 set, so setting bit 5
    // of each byte lower-cases a name that can match (A-Z become a-z) at
    // the cost of two false friends, checked after: a byte of 0x10-0x19
    // becomes a digit (a digit of the key must have had bit 5 already), and
    // a byte of 0x80 or above stays above every key byte.
    const uint64_t keep = ~uint64_t{0} >> (64 - 8 * n);
    const uint64_t key = (lo | 0x2020202020202020ull) & keep;
    const uint64_t hi = uint64_t{n} << 56;
    const TagId id = kTagSlots[slot_of(key, hi)];
    const TagRow& row = kTagRows[id];
    const uint64_t digits = kDigitBytes[id];
    // One test for the three conditions: no branch to mispredict per name.
    return ((row.lo ^ key) | (row.hi ^ hi) | ((lo & digits) ^ digits)) == 0 ? id : kTagOther;
  }
  uint64_t hi;
  std::memcpy(&hi, name.data() + 8, 8);
  // All of lo, and the first n - 8 bytes of hi.
  const uint64_t hi_keep = (uint64_t{1} << (8 * (n - 8))) - 1;
  return id_of_lowered_key(ascii_lower8(lo), ascii_lower8(hi & hi_keep) | (uint64_t{n} << 56));
}

}  // namespace ls::tag_lookup
