// Signatures: 64-bit masks of hashed names. A compound's `sig` holds the bits
// an element must carry for the compound to be able to match; an element's
// signature holds the bits of its tag, id and class words. Two set bits per
// name keep false positives rare; a false positive only costs a full match.
#pragma once

#include <cstdint>

#include "base.h"

namespace ls {

inline constexpr uint64_t kSeedTag = 0xCBF29CE484222325ull;  // the FNV-1a offset basis
inline constexpr uint64_t kSeedId = 0x55C5E55DFB685F30ull;
inline constexpr uint64_t kSeedClass = 0x094032D9A3F6C86Aull;

// FNV-1a from `seed`; with `lower`, bytes A-Z are hashed as a-z.
inline uint64_t fnv1a(uint64_t seed, Bytes bytes, bool lower) {
  uint64_t h = seed;
  for (char ch : bytes) {
    uint8_t c = static_cast<uint8_t>(ch);
    h ^= lower ? ascii_lower(c) : c;
    h *= 0x100000001B3ull;
  }
  return h;
}

// The two bits a hash selects.
inline uint64_t sig_bits(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  uint32_t x = static_cast<uint32_t>(h ^ (h >> 33));
  return (uint64_t{1} << (x % 64)) | (uint64_t{1} << ((x >> 6) % 64));
}

inline uint64_t tag_sig(Bytes name) { return sig_bits(fnv1a(kSeedTag, name, true)); }
inline uint64_t id_sig(Bytes id) { return sig_bits(fnv1a(kSeedId, id, false)); }
inline uint64_t class_sig(Bytes word) { return sig_bits(fnv1a(kSeedClass, word, false)); }

}  // namespace ls
