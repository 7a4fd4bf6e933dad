// The per-thread pool behind BorrowedBuffers (see buffers.h).
#include "matcher/buffers.h"

namespace ls {

namespace {

// At most this many idle sets per thread: nested scans are one level deep
// (tails carry no tails), so two are in use at a time.
constexpr size_t kPoolSize = 4;

thread_local std::vector<std::unique_ptr<ScanBuffers>> t_pool;

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

BorrowedBuffers::BorrowedBuffers() {
  if (!t_pool.empty()) {
    buffers_ = std::move(t_pool.back());
    t_pool.pop_back();
  } else {
    buffers_ = std::make_unique<ScanBuffers>();
  }
}

BorrowedBuffers::~BorrowedBuffers() {
  buffers_->clear();
  if (t_pool.size() < kPoolSize && buffers_->capacity_bytes() <= kKeepBytes) t_pool.push_back(std::move(buffers_));
}

}  // namespace ls
