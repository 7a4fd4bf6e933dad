// The storage behind one call's values. A value in a result is a view: of
// the prepared document when decoding changed nothing (the common case), or
// of this arena, which holds the values decoding did change and any document
// buffer the call had to own (a transcoded document, the NUL-free copy).
//
// Invariant: nothing the arena hands out moves or is freed before the arena
// itself. Chunks are allocated and never reallocated; kept buffers are held
// by pointer, so moving the arena (and the result that owns it) moves only
// the pointers. Destroying it is one free per chunk, not one per value.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base.h"

namespace ls {

class ValueArena {
 public:
  ValueArena() = default;
  ValueArena(ValueArena&&) noexcept = default;
  ValueArena& operator=(ValueArena&&) noexcept = default;
  ValueArena(const ValueArena&) = delete;
  ValueArena& operator=(const ValueArena&) = delete;

  // A copy of `b` that lives as long as the arena.
  Bytes copy(Bytes b) {
    if (b.empty()) return Bytes();
    char* p = b.size() <= left_ ? take(b.size()) : alloc_slow(b.size());
    std::memcpy(p, b.data(), b.size());
    return Bytes(p, b.size());
  }

  // Keeps a buffer alive as long as the arena: views into *buffer stay valid
  // (the string object itself is never moved, so its bytes do not either).
  void keep(std::unique_ptr<std::string> buffer) {
    if (buffer) kept_.push_back(std::move(buffer));
  }

  // Bytes held in chunks, for tests and measurements.
  size_t chunk_bytes() const { return chunk_bytes_; }

 private:
  static constexpr size_t kFirstChunk = 4096;
  static constexpr size_t kMaxChunk = size_t{1} << 20;

  char* take(size_t n) {
    char* p = cur_;
    cur_ += n;
    left_ -= n;
    return p;
  }

  LS_NOINLINE char* alloc_slow(size_t n) {
    if (n > next_ / 2) {
      // A large value gets a chunk of its own; the current one stays open.
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(n));
      chunk_bytes_ += n;
      return chunks_.back().get();
    }
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(next_));
    chunk_bytes_ += next_;
    cur_ = chunks_.back().get();
    left_ = next_;
    next_ = std::min(next_ * 2, kMaxChunk);
    return take(n);
  }

  std::vector<std::unique_ptr<char[]>> chunks_;
  std::vector<std::unique_ptr<std::string>> kept_;
  char* cur_ = nullptr;
  size_t left_ = 0;
  size_t next_ = kFirstChunk;
  size_t chunk_bytes_ = 0;
};

}  // namespace ls
