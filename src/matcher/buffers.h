// Buffers of one scan that keep their capacity from one call to the next: the
// open-element stack and its side stacks, the kept attributes, the
// nearest-match table, the positional counters and the tokenizer's attribute
// list. A call would otherwise grow each of them from nothing, page after
// page.
//
// Each compiled schema keeps a small pool of idle sets. A scan borrows a set
// of its own for its whole run (concurrent scans of one plan, and a tail
// schema's scan run inside its parent's, each hold a different one) and
// gives it back empty; a set that grew past kKeepBytes is freed instead, so
// that one huge document does not pin its memory. The pool's lock is taken
// twice per scan, never during it. (A pool per thread would need storage
// destroyed at thread exit; per plan it needs none.)
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "matcher/frame.h"
#include "tokenizer.h"

namespace ls {

struct ScanBuffers {
  std::vector<OpenElem> stack;
  std::vector<FrameExtra> extra;
  std::vector<Bytes> other_names;
  std::vector<KeptAttr> attrs;
  std::vector<int32_t> nearest;
  std::vector<uint32_t> counters;
  std::vector<Attr> token_attrs;

  size_t capacity_bytes() const;
  void clear();
};

class BufferPool {
 public:
  std::unique_ptr<ScanBuffers> take();
  void give_back(std::unique_ptr<ScanBuffers> buffers);

  static constexpr size_t kKeepBytes = size_t{1} << 20;
  static constexpr size_t kIdleSets = 4;

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<ScanBuffers>> idle_;
};

class BorrowedBuffers {
 public:
  explicit BorrowedBuffers(BufferPool& pool) : pool_(pool), buffers_(pool.take()) {}
  ~BorrowedBuffers() { pool_.give_back(std::move(buffers_)); }
  BorrowedBuffers(const BorrowedBuffers&) = delete;
  BorrowedBuffers& operator=(const BorrowedBuffers&) = delete;

  ScanBuffers& get() { return *buffers_; }

 private:
  BufferPool& pool_;
  std::unique_ptr<ScanBuffers> buffers_;
};

}  // namespace ls
