// Skips to the next interesting byte. Every search here looks at a vector
// (SSE2 on x86-64) or a 64-bit word at a time before touching single bytes;
// the single-byte searches go through memchr, which the C library vectorises.
//
// All functions take [p, end) and return `end` when nothing is found; they
// never read outside that range (the vector loop runs only while a whole
// vector lies inside it).
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ls {

inline const uint8_t* find_byte(const uint8_t* p, const uint8_t* end, uint8_t b) {
  if (p >= end) return end;
  const void* hit = std::memchr(p, b, static_cast<size_t>(end - p));
  return hit ? static_cast<const uint8_t*>(hit) : end;
}

// SWAR: a word with 0x80 set in every byte lane of `w` that is zero.
// Exact (no false positives) because the borrow of a lane cannot reach a lane
// above a zero lane before that zero lane is itself flagged.
inline uint64_t swar_zero_lanes(uint64_t w) {
  constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7Full;
  return ~(((w & kLow) + kLow) | w | kLow);
}
inline uint64_t swar_broadcast(uint8_t b) { return 0x0101010101010101ull * b; }

// First byte equal to `a` or `b`.
inline const uint8_t* find_either(const uint8_t* p, const uint8_t* end, uint8_t a, uint8_t b) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)));
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  const uint64_t wa = swar_broadcast(a), wb = swar_broadcast(b);
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t hit = swar_zero_lanes(w ^ wa) | swar_zero_lanes(w ^ wb);
    if (hit) return p + (__builtin_ctzll(hit) >> 3);
    p += 8;
  }
#endif
  for (; p < end; ++p)
    if (*p == a || *p == b) return p;
  return end;
}

// First byte equal to `b` or to 0x00. The scan stops at every NUL byte it
// meets (see tokenize), so each of its searches looks for NUL as well.
inline const uint8_t* find_byte_or_nul(const uint8_t* p, const uint8_t* end, uint8_t b) {
#if defined(__SSE2__)
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  const __m128i zero = _mm_setzero_si128();
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, vb), _mm_cmpeq_epi8(v, zero)));
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  const uint64_t wb = swar_broadcast(b);
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t hit = swar_zero_lanes(w ^ wb) | swar_zero_lanes(w);
    if (hit) return p + (__builtin_ctzll(hit) >> 3);
    p += 8;
  }
#endif
  for (; p < end; ++p)
    if (*p == b || *p == 0) return p;
  return end;
}

// First byte equal to `a`, `b` or 0x00.
inline const uint8_t* find_either_or_nul(const uint8_t* p, const uint8_t* end, uint8_t a, uint8_t b) {
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a));
  const __m128i vb = _mm_set1_epi8(static_cast<char>(b));
  const __m128i zero = _mm_setzero_si128();
  while (end - p >= 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, va), _mm_cmpeq_epi8(v, vb)),
                               _mm_cmpeq_epi8(v, zero));
    int mask = _mm_movemask_epi8(hit);
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#else
  const uint64_t wa = swar_broadcast(a), wb = swar_broadcast(b);
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t hit = swar_zero_lanes(w ^ wa) | swar_zero_lanes(w ^ wb) | swar_zero_lanes(w);
    if (hit) return p + (__builtin_ctzll(hit) >> 3);
    p += 8;
  }
#endif
  for (; p < end; ++p)
    if (*p == a || *p == b || *p == 0) return p;
  return end;
}

// First byte with its top bit set (non-ASCII).
inline const uint8_t* find_non_ascii(const uint8_t* p, const uint8_t* end) {
#if defined(__SSE2__)
  while (end - p >= 16) {
    int mask = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (mask) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (end - p >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    uint64_t hi = w & 0x8080808080808080ull;
    if (hi) return p + (__builtin_ctzll(hi) >> 3);
    p += 8;
  }
  for (; p < end; ++p)
    if (*p & 0x80) return p;
  return end;
}

}  // namespace ls
