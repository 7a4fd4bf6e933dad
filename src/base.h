// Shared vocabulary of the extraction core: byte views, offsets, the
// invariant checks and the fault values that cross into the binding.
//
// Failures are values. Nothing in the core reports a malformed document or an
// unsupported query as an error; the only faults are a broken internal
// invariant, allocation failure and a document too large for 32-bit offsets.
// Inside the core a broken invariant unwinds as `InternalFault`; the guarded
// entry points in lib.h catch it (and std::bad_alloc) and return a `Fault`,
// so no C++ exception ever reaches the binding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ls {

using Offset = uint32_t;  // byte position in the prepared document
using Bytes = std::string_view;  // borrowed bytes; never assumed to be UTF-8

// The largest prepared document whose every offset, including the one just
// past its last byte, fits an `Offset`.
inline constexpr uint64_t kMaxDocumentBytes = 0xFFFFFFFFull;

#define LS_NOINLINE __attribute__((noinline))
#define LS_ALWAYS_INLINE __attribute__((always_inline)) inline
#define LS_UNLIKELY(x) __builtin_expect(!!(x), 0)

// Thrown inside the core only; see the file comment.
struct InternalFault {
  const char* message;
};

[[noreturn]] LS_NOINLINE void internal_fault(const char* message);

// LS_CHECK guards invariants that no input can break; it stays on in release
// builds because a broken invariant must become an exception, never undefined
// behaviour. LS_DCHECK is for checks too costly for the hot path.
#define LS_CHECK(cond)                                                  \
  do {                                                                  \
    if (LS_UNLIKELY(!(cond))) ::ls::internal_fault("invariant failed: " #cond); \
  } while (0)
#if defined(LS_DEBUG_CHECKS)
#define LS_DCHECK(cond) LS_CHECK(cond)
#else
#define LS_DCHECK(cond) ((void)0)
#endif

enum class FaultKind : uint8_t {
  kNone = 0,
  kOutOfMemory = 1,
  kInternal = 2,
  kDocumentTooLarge = 3,
  kBatchTooLarge = 4,  // a column of a columnar batch past 32-bit offsets
};

struct Fault {
  FaultKind kind = FaultKind::kNone;
  std::string message;  // complete text for every kind but kOutOfMemory
  explicit operator bool() const { return kind != FaultKind::kNone; }
};

inline bool is_ascii_whitespace(uint8_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}
inline bool is_ascii_alpha(uint8_t c) { return static_cast<uint8_t>((c | 0x20) - 'a') < 26; }
inline bool is_ascii_digit(uint8_t c) { return static_cast<uint8_t>(c - '0') < 10; }
inline uint8_t ascii_lower(uint8_t c) {
  return static_cast<uint8_t>(c - 'A') < 26 ? static_cast<uint8_t>(c | 0x20) : c;
}

// ASCII lower-casing of eight bytes at once: 0x20 is added to every byte from
// 'A' to 'Z' and to no other (the high-bit and range tests are per byte, with
// no carry between bytes because each sum stays below 0x100).
inline uint64_t ascii_lower8(uint64_t x) {
  constexpr uint64_t k01 = 0x0101010101010101ull, k80 = 0x8080808080808080ull;
  const uint64_t low7 = x & ~k80;
  const uint64_t ge_a = low7 + (0x80 - 'A') * k01;  // high bit set where byte >= 'A'
  const uint64_t gt_z = low7 + (0x7F - 'Z') * k01;  // high bit set where byte > 'Z'
  const uint64_t upper = ge_a & ~gt_z & ~x & k80;   // ASCII and in 'A'..'Z'
  return x | (upper >> 2);
}

// ASCII-case-insensitive equality (only A-Z fold).
inline bool ascii_iequals(Bytes a, Bytes b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(static_cast<uint8_t>(a[i])) != ascii_lower(static_cast<uint8_t>(b[i]))) return false;
  return true;
}
// True when `hay` starts with `lower_prefix`, folding A-Z of `hay` only.
// `lower_prefix` must already be lower case.
bool ascii_istarts_with(Bytes hay, Bytes lower_prefix);

}  // namespace ls

namespace ls {
// Removes leading and trailing characters with the Unicode White_Space
// property from UTF-8 text (bytes that are not valid UTF-8 are kept).
Bytes trim_unicode_whitespace(Bytes s);

// Grows a malloc'd buffer of `cap` bytes holding `size` to hold `n` more:
// the capacity doubles from at least `floor` until it fits (or is exactly
// what is needed when doubling would overflow), and the block is realloc'd.
// Throws std::bad_alloc when the size overflows or realloc fails; `p` and
// `cap` are then unchanged, so the buffer stays valid.
void grow_buffer(void*& p, size_t& cap, size_t size, size_t n, size_t floor);

// A decimal number that fits a signed 32-bit integer, with an optional
// leading '+' or '-' when `allow_sign`; every other byte must be a digit.
std::optional<int32_t> parse_decimal_i32(Bytes s, bool allow_sign);
}  // namespace ls
