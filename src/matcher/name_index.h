// The open frames by name: an end tag finds the nearest open element of its
// name, and the skeleton rules learn whether a head, body or frameset is
// open, in constant expected time instead of a walk down the stack (which
// made `<b>` x n followed by `</i>` x n quadratic).
//
// Invariant: for every name (compared ASCII-case-insensitively) with at
// least one open frame, exactly one slot holds the name and the stack index
// of its topmost frame; that frame's `below_same_name` links to the next
// frame of the name further down, and so on to -1. Frames are pushed and
// popped in stack order, so popping the topmost frame of a name hands its
// slot to the frame it links to, or frees the slot when there is none.
//
// Open addressing with linear probing. A removal shifts the rest of its probe
// run back instead of leaving a tombstone, so a lookup stops at the first
// empty slot and the table holds only open names: its size follows the depth
// of the stack, not the number of names the document used. The capacity is a
// power of two, at least twice the number of names.
//
// The hash is keyed by a per-run seed. With a fixed hash a document could
// choose thousands of names that share one probe run and make every push and
// every end tag walk it; with the key unknown it cannot.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "base.h"

namespace ls {

class NameIndex {
 public:
  explicit NameIndex(uint64_t seed) : seed_(seed) {}

  // The ASCII-case-insensitive hash of a name under this run's key.
  uint32_t hash(Bytes name) const {
    const char* p = name.data();
    const size_t n = name.size();
    uint64_t h = seed_ ^ (n * 0x9E3779B97F4A7C15ull);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      h = mix(h ^ ascii_lower8(w));
    }
    if (i < n) {
      uint64_t w = 0;
      for (size_t j = i; j < n; ++j) w |= uint64_t{static_cast<uint8_t>(p[j])} << (8 * (j - i));
      h = mix(h ^ ascii_lower8(w));
    }
    h = mix(h);
    return static_cast<uint32_t>(h ^ (h >> 32));
  }

  // The stack index of the topmost open frame of the name, or -1.
  int32_t top(Bytes name, uint32_t h) const {
    if (slots_.empty()) return -1;
    for (size_t s = h & mask_;; s = (s + 1) & mask_) {
      const Slot& slot = slots_[s];
      if (slot.top < 0) return -1;
      if (slot.hash == h && ascii_iequals(slot.name, name)) return slot.top;
    }
  }

  // Makes the frame at `index` the topmost of its name; returns the frame it
  // covers (its below_same_name), or -1 when the name was not open.
  int32_t push(Bytes name, uint32_t h, int32_t index) {
    if ((live_ + 1) * 2 > slots_.size()) grow();
    size_t s = h & mask_;
    for (;; s = (s + 1) & mask_) {
      Slot& slot = slots_[s];
      if (slot.top < 0) break;
      if (slot.hash == h && ascii_iequals(slot.name, name)) {
        const int32_t below = slot.top;
        slot.top = index;
        slot.name = name;  // any frame's spelling of the name serves for comparison
        return below;
      }
    }
    slots_[s] = {name, index, h};
    ++live_;
    return -1;
  }

  // The topmost frame of the name was popped; `below` (its below_same_name)
  // becomes the topmost, or the name leaves the index when it is -1.
  void pop(Bytes name, uint32_t h, int32_t below) {
    size_t s = h & mask_;
    for (;; s = (s + 1) & mask_) {
      Slot& slot = slots_[s];
      LS_CHECK(slot.top >= 0);  // a popped frame's name is in the index
      if (slot.hash == h && ascii_iequals(slot.name, name)) break;
    }
    if (below >= 0) {
      slots_[s].top = below;
      return;
    }
    // Backward-shift deletion: move later members of the probe run into the
    // hole when their home slot does not lie cyclically in (hole, their slot].
    size_t hole = s;
    for (size_t j = (hole + 1) & mask_; slots_[j].top >= 0; j = (j + 1) & mask_) {
      const size_t home = slots_[j].hash & mask_;
      const bool stays = ((j - home) & mask_) < ((j - hole) & mask_);
      if (stays) continue;
      slots_[hole] = slots_[j];
      hole = j;
    }
    slots_[hole].top = -1;
    --live_;
  }

  size_t size() const { return live_; }

 private:
  struct Slot {
    Bytes name;        // the spelling of one open frame of the name
    int32_t top = -1;  // stack index of the topmost frame; -1: empty slot
    uint32_t hash = 0;
  };

  static uint64_t mix(uint64_t x) {
    x ^= x >> 32;
    x *= 0xD6E8FEB86659FD93ull;
    x ^= x >> 29;
    return x;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.top < 0) continue;
      size_t s = slot.hash & mask_;
      while (slots_[s].top >= 0) s = (s + 1) & mask_;
      slots_[s] = slot;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t live_ = 0;
  uint64_t seed_;
};

}  // namespace ls
