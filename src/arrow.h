// Columnar batches: many documents through one plan into one Arrow record
// batch, and that batch handed out through the Arrow C data and C stream
// interfaces (a public, versionless ABI: the three structs below are copied
// from the Arrow specification, guarded as it asks, so that a translation
// unit that also includes another definition of them sees one).
//
// A batch has one row per document, in input order, and one column per flat
// query and per group:
//   flat query              list<string>     every value, in document order
//   first-only flat query   string           the first value; null when none
//   group                   list<struct<sub-field: list<string>, ...>>
// Offsets are 32-bit (Arrow's `string` and `list`), so one column of one
// batch holds at most 2^31 - 1 value bytes and values; a batch over that is
// refused with kBatchTooLarge rather than widened, and the caller splits it.
//
// Values are copied once, from the document (or the call's value arena) into
// the column's data buffer. With several threads each takes whole parts of
// the batch (contiguous runs of documents, shrinking toward the end of the
// batch) into buffers of its own, and the parts are then joined into the
// batch's buffers by the same threads: one more memcpy per value, done in
// parallel, each part freed as soon as it is copied.
//
// Memory: beyond the documents, a call holds the batch's buffers about once
// (with several threads, plus the parts being joined), and per thread one
// document's scan state, freed before its next document.
//
// Ownership: the batch is immutable once built and shared; every exported
// ArrowArray / ArrowSchema / ArrowArrayStream (and every child of one, which a
// consumer may move out and release on its own) holds a reference to it, so
// the buffers live until the last exported struct is released.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base.h"

extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace ls {

// Offset `p` (a physical index: the array's offset already added) of a
// string or list array's offsets buffer, 64-bit for the large kinds. Read by
// memcpy: a buffer from another producer need not be aligned.
inline int64_t arrow_offset_at(const uint8_t* offsets, int64_t p, bool large) {
  if (large) {
    int64_t v;
    std::memcpy(&v, offsets + p * 8, 8);
    return v;
  }
  int32_t v;
  std::memcpy(&v, offsets + p * 4, 4);
  return v;
}

class Plan;

// A growable malloc'd buffer of one Arrow array. Moving it moves the pointer.
class ArrowBuffer {
 public:
  ArrowBuffer() = default;
  ArrowBuffer(ArrowBuffer&& o) noexcept : p_(o.p_), size_(o.size_), cap_(o.cap_) {
    o.p_ = nullptr;
    o.size_ = o.cap_ = 0;
  }
  ArrowBuffer& operator=(ArrowBuffer&& o) noexcept {
    if (this != &o) {
      std::free(p_);
      p_ = o.p_;
      size_ = o.size_;
      cap_ = o.cap_;
      o.p_ = nullptr;
      o.size_ = o.cap_ = 0;
    }
    return *this;
  }
  ArrowBuffer(const ArrowBuffer&) = delete;
  ArrowBuffer& operator=(const ArrowBuffer&) = delete;
  ~ArrowBuffer() { std::free(p_); }

  size_t size() const { return size_; }
  uint8_t* data() { return p_; }
  const uint8_t* data() const { return p_; }

  // Room for `n` more bytes (throws std::bad_alloc).
  void reserve_more(size_t n) {
    if (LS_UNLIKELY(cap_ - size_ < n)) grow(n);
  }
  void append(const void* src, size_t n) {
    reserve_more(n);
    if (n) __builtin_memcpy(p_ + size_, src, n);
    size_ += n;
  }
  void append_i32(int32_t v) { append(&v, sizeof v); }
  // Grows to `n` bytes, the new ones zero.
  void resize_zeroed(size_t n);
  // Grows to `n` bytes whose new ones the caller overwrites before reading.
  void resize_for_overwrite(size_t n) {
    if (n <= size_) return;
    reserve_more(n - size_);
    size_ = n;
  }
  int32_t i32(size_t index) const {
    int32_t v;
    __builtin_memcpy(&v, p_ + index * sizeof v, sizeof v);
    return v;
  }
  void clear_and_free() {
    std::free(p_);
    p_ = nullptr;
    size_ = cap_ = 0;
  }

 private:
  LS_NOINLINE void grow(size_t n);

  uint8_t* p_ = nullptr;
  size_t size_ = 0, cap_ = 0;
};

// One array of a batch and its children, in Arrow's physical layout.
struct ArrowNode {
  // kInt64 and kInt16 (Arrow formats "l" and "s") are fixed-width columns:
  // no offsets, `data` holds one little-endian value per row (a null row's
  // value is zero).
  enum class Kind : uint8_t { kString, kList, kStruct, kInt64, kInt16 };
  Kind kind = Kind::kString;
  std::string name;
  int64_t length = 0;
  int64_t null_count = 0;
  ArrowBuffer validity;  // bit i: row i is valid; empty when no row is null
  ArrowBuffer offsets;   // int32 x (length + 1): kString into data, kList into children[0]
  ArrowBuffer data;      // kString: the UTF-8 bytes; kInt64 / kInt16: the values
  std::vector<ArrowNode> children;
};

// Columns built a row at a time outside a plan (the metadata columns of an
// archive run). Nullable: a validity bit is written for every row, and the
// bitmap dropped by extract_batch when no row is null. The appends throw
// std::bad_alloc, and return false when a string column's offsets would pass
// 32 bits.
ArrowNode arrow_string_column(std::string name);
bool arrow_append_string(ArrowNode& column, std::optional<Bytes> value);
// `kind` is kInt64 or kInt16; a value is stored as that width.
ArrowNode arrow_int_column(std::string name, ArrowNode::Kind kind);
void arrow_append_int(ArrowNode& column, std::optional<int64_t> value);

// A finished batch: a struct array of `rows` rows whose children are the
// columns. Immutable once built.
struct ArrowBatch {
  int64_t rows = 0;
  std::vector<ArrowNode> columns;
};

// What the batch's columns are called and which flat queries are first-only.
struct BatchLayout {
  std::vector<std::string> names;                   // flat queries, then groups
  std::vector<bool> first_only;                     // per flat query
  std::vector<std::vector<std::string>> sub_names;  // per group, its sub-fields
};

// One document of a batch: borrowed bytes that stay unchanged for the call.
struct BatchDocument {
  Bytes bytes;
  std::optional<Bytes> label;
};

// The threads `threads == 0` stands for: one per CPU.
unsigned batch_threads(unsigned threads, size_t documents);

// Extracts every document with `plan` into one batch. `layout` must match
// the plan (one name per flat query and group, one sub-name per sub-field).
// Fails with kDocumentTooLarge (the message names the document), with
// kBatchTooLarge when a column would pass 32-bit offsets, or with
// kOutOfMemory / kInternal.
Fault extract_batch(const Plan& plan, const BatchLayout& layout, const std::vector<BatchDocument>& docs,
                    unsigned threads, std::shared_ptr<const ArrowBatch>& out) noexcept;
// The same, with `leading` (one row per document each) put before the
// plan's columns.
Fault extract_batch(const Plan& plan, const BatchLayout& layout, const std::vector<BatchDocument>& docs,
                    unsigned threads, std::vector<ArrowNode> leading,
                    std::shared_ptr<const ArrowBatch>& out) noexcept;

// Exports into caller-owned structs; each export is independent and keeps the
// batch alive until released. On failure (allocation) `out->release` stays
// null and false is returned.
bool export_schema(const std::shared_ptr<const ArrowBatch>& batch, ArrowSchema* out) noexcept;
bool export_array(const std::shared_ptr<const ArrowBatch>& batch, ArrowArray* out) noexcept;
// A stream that yields the batch once, then ends.
bool export_stream(const std::shared_ptr<const ArrowBatch>& batch, ArrowArrayStream* out) noexcept;

}  // namespace ls
