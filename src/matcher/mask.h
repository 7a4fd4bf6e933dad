// Fixed-width bit masks of the matcher: 128 bits over selector, query and
// template slots. Plain values; no allocation.
#pragma once

#include <cstdint>

namespace ls {

struct Mask128 {
  uint64_t lo = 0;
  uint64_t hi = 0;

  static Mask128 bit(unsigned i) {
    Mask128 m;
    if (i < 64) m.lo = uint64_t{1} << i;
    else if (i < 128) m.hi = uint64_t{1} << (i - 64);
    return m;
  }
  bool test(unsigned i) const {
    return i < 64 ? (lo >> i) & 1 : i < 128 ? (hi >> (i - 64)) & 1 : false;
  }
  bool empty() const { return (lo | hi) == 0; }
  Mask128& operator|=(Mask128 o) {
    lo |= o.lo;
    hi |= o.hi;
    return *this;
  }
  friend Mask128 operator|(Mask128 a, Mask128 b) { return a |= b; }
  friend Mask128 operator&(Mask128 a, Mask128 b) { return {a.lo & b.lo, a.hi & b.hi}; }
  friend Mask128 operator~(Mask128 a) { return {~a.lo, ~a.hi}; }
  friend bool operator==(Mask128, Mask128) = default;

  // Calls f(i) for every set bit i, in increasing order.
  template <class F>
  void for_each(F&& f) const {
    for (uint64_t w = lo; w; w &= w - 1) f(static_cast<unsigned>(__builtin_ctzll(w)));
    for (uint64_t w = hi; w; w &= w - 1) f(64 + static_cast<unsigned>(__builtin_ctzll(w)));
  }
};

}  // namespace ls
