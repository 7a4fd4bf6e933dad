// Out-of-line pieces of base.h.
#include "base.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace ls {

void internal_fault(const char* message) { throw InternalFault{message}; }

void grow_buffer(void*& p, size_t& cap, size_t size, size_t n, size_t floor) {
  const size_t want = size + n;
  if (want < size) throw std::bad_alloc();
  size_t grown = std::max(cap, floor);
  while (grown < want) {
    if (grown > SIZE_MAX / 2) {
      grown = want;
      break;
    }
    grown *= 2;
  }
  void* moved = std::realloc(p, grown);
  if (!moved) throw std::bad_alloc();
  p = moved;
  cap = grown;
}

bool ascii_istarts_with(Bytes hay, Bytes lower_prefix) {
  if (hay.size() < lower_prefix.size()) return false;
  for (size_t i = 0; i < lower_prefix.size(); ++i)
    if (ascii_lower(static_cast<uint8_t>(hay[i])) != static_cast<uint8_t>(lower_prefix[i]))
      return false;
  return true;
}

namespace {

// Length of the White_Space character encoded in UTF-8 at the start of `s`,
// or 0. The property's members: U+0009-000D, 0020, 0085, 00A0, 1680,
// 2000-200A, 2028, 2029, 202F, 205F, 3000.
size_t white_space_prefix(Bytes s) {
  if (s.empty()) return 0;
  uint8_t c = static_cast<uint8_t>(s[0]);
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (c == 0xC2 && s.size() >= 2) {
    uint8_t c1 = static_cast<uint8_t>(s[1]);
    return (c1 == 0x85 || c1 == 0xA0) ? 2 : 0;
  }
  if (s.size() < 3) return 0;
  uint8_t c1 = static_cast<uint8_t>(s[1]), c2 = static_cast<uint8_t>(s[2]);
  if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;  // U+1680
  if (c == 0xE2 && c1 == 0x80 && ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF))
    return 3;                                            // U+2000-200A, 2028, 2029, 202F
  if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
  return 0;
}

// Length of the White_Space character that ends `s`, or 0.
size_t white_space_suffix(Bytes s) {
  for (size_t k = 1; k <= 3 && k <= s.size(); ++k) {
    size_t n = white_space_prefix(s.substr(s.size() - k));
    if (n == k) return k;
  }
  return 0;
}

}  // namespace

Bytes trim_unicode_whitespace(Bytes s) {
  while (size_t k = white_space_prefix(s)) s.remove_prefix(k);
  while (size_t k = white_space_suffix(s)) s.remove_suffix(k);
  return s;
}

std::optional<int32_t> parse_decimal_i32(Bytes s, bool allow_sign) {
  size_t p = 0;
  bool neg = false;
  if (allow_sign && p < s.size() && (s[p] == '+' || s[p] == '-')) neg = s[p++] == '-';
  if (p >= s.size()) return std::nullopt;
  int64_t v = 0;
  for (; p < s.size(); ++p) {
    if (!is_ascii_digit(static_cast<uint8_t>(s[p]))) return std::nullopt;
    v = v * 10 + (s[p] - '0');
    if (v > 2147483648LL) return std::nullopt;  // beyond any 32-bit value: stop before overflow
  }
  if (neg) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(v);
}

}  // namespace ls
