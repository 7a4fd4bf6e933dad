// The pool behind BorrowedBuffers (see buffers.h).
#include "matcher/buffers.h"

namespace ls {

namespace {

template <class T>
size_t bytes_of(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace

size_t ScanBuffers::capacity_bytes() const {
  return bytes_of(stack) + bytes_of(extra) + bytes_of(other_names) + bytes_of(attrs) + bytes_of(nearest) +
         bytes_of(counters) + bytes_of(token_attrs);
}

void ScanBuffers::clear() {
  stack.clear();
  extra.clear();
  other_names.clear();
  attrs.clear();
  nearest.clear();
  counters.clear();
  token_attrs.clear();
}

std::unique_ptr<ScanBuffers> BufferPool::take() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      std::unique_ptr<ScanBuffers> b = std::move(idle_.back());
      idle_.pop_back();
      return b;
    }
  }
  return std::make_unique<ScanBuffers>();
}

void BufferPool::give_back(std::unique_ptr<ScanBuffers> buffers) {
  buffers->clear();  // outside the lock: it frees what the frames held
  if (buffers->capacity_bytes() > kKeepBytes) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < kIdleSets) idle_.push_back(std::move(buffers));
}

}  // namespace ls
