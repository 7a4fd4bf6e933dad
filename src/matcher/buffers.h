// Buffers of one scan that keep their capacity from one call to the next on
// the same thread: the open-element stack and its side stacks, the kept
// attributes, the nearest-match table, the positional counters and the
// tokenizer's attribute list. A call would otherwise grow each of them from
// nothing, page after page.
//
// Each scan borrows a set of its own (a tail schema's scan, run while its
// parent's scan still holds a set, borrows another), so no two scans ever
// share one. A set comes back empty; one that grew past kKeepBytes is freed
// instead of kept, so that one huge document does not pin its memory.
#pragma once

#include <memory>
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

class BorrowedBuffers {
 public:
  BorrowedBuffers();
  ~BorrowedBuffers();
  BorrowedBuffers(const BorrowedBuffers&) = delete;
  BorrowedBuffers& operator=(const BorrowedBuffers&) = delete;

  ScanBuffers& get() { return *buffers_; }

  static constexpr size_t kKeepBytes = size_t{1} << 20;

 private:
  std::unique_ptr<ScanBuffers> buffers_;
};

}  // namespace ls
