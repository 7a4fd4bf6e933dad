// Columnar batches (see arrow.h): building a batch from per-document results,
// splitting the work over threads, joining the parts, and the Arrow C data
// and C stream exports.
//
// Building. Each part of the batch (a contiguous run of documents) has a
// column tree of its own, the same shape as the batch's. A document is run
// through `Plan::extract`, whose values are views of the document or of the
// call's arena, and each value is appended to its column's data buffer; the
// result is then dropped, so a part holds only its columns.
//
// Threads. The calling thread and `threads - 1` std::threads take parts from
// an atomic counter, so a slow part does not hold up the others; none of them
// calls into the interpreter. One thread means one part and no join. With
// several, parts shrink as the batch is used up (guided_bounds), so that
// the threads run out of work within a document or so of each other, and
// the parts are then joined: the joined tree's buffers are sized and the
// validity bitmaps written on the calling thread (a few bytes per row), then
// the threads copy the parts' offsets (rebased) and data into place, each
// (part, array) a task writing a range no other task writes, part after
// part, each part freed by the thread that finishes its last copy.
//
// Faults. A fault in a document stops the other threads at their next
// document; the reported fault is the one of the lowest document index among
// those seen, so a batch with one bad document always names it.
#include "arrow.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <new>
#include <thread>

#include "lib.h"

namespace ls {

namespace {

// Arrow's `string` and `list` offsets are signed 32-bit.
constexpr size_t kMaxOffset = INT32_MAX;

// What a null buffer pointer would stand for: an empty buffer. Consumers may
// read the data pointer of an empty string array, so it is never null.
alignas(64) const uint8_t kEmptyBuffer[64] = {};

}  // namespace

void ArrowBuffer::grow(size_t n) {
  void* p = p_;
  grow_buffer(p, cap_, size_, n, 64);
  p_ = static_cast<uint8_t*>(p);
}

void ArrowBuffer::resize_zeroed(size_t n) {
  if (n <= size_) return;
  reserve_more(n - size_);
  __builtin_memset(p_ + size_, 0, n - size_);
  size_ = n;
}

namespace {

// ---------------------------------------------------------------------------
// Building one part.

ArrowNode string_node(std::string name) {
  ArrowNode n;
  n.kind = ArrowNode::Kind::kString;
  n.name = std::move(name);
  n.offsets.append_i32(0);
  return n;
}

ArrowNode list_node(std::string name, ArrowNode item) {
  ArrowNode n;
  n.kind = ArrowNode::Kind::kList;
  n.name = std::move(name);
  n.offsets.append_i32(0);
  n.children.push_back(std::move(item));
  return n;
}

ArrowNode list_of_strings(std::string name) { return list_node(std::move(name), string_node("item")); }

template <class T>
void append_fixed(ArrowNode& c, int64_t v) {
  const T narrow = static_cast<T>(v);
  c.data.append(&narrow, sizeof narrow);
}

// An empty column tree for `layout`.
std::vector<ArrowNode> make_columns(const BatchLayout& layout) {
  std::vector<ArrowNode> cols;
  const size_t flat = layout.first_only.size();
  cols.reserve(layout.names.size());
  for (size_t q = 0; q < flat; ++q)
    cols.push_back(layout.first_only[q] ? string_node(layout.names[q]) : list_of_strings(layout.names[q]));
  for (size_t g = 0; g < layout.sub_names.size(); ++g) {
    ArrowNode row;
    row.kind = ArrowNode::Kind::kStruct;
    row.name = "item";
    for (const std::string& sub : layout.sub_names[g]) row.children.push_back(list_of_strings(sub));
    cols.push_back(list_node(layout.names[flat + g], std::move(row)));
  }
  return cols;
}

// Appends one value to a string array; false when its offsets would overflow.
inline bool push_string(ArrowNode& s, Bytes v) {
  const size_t end = s.data.size() + v.size();
  if (LS_UNLIKELY(end > kMaxOffset || static_cast<size_t>(s.length) >= kMaxOffset)) return false;
  s.data.append(v.data(), v.size());
  s.offsets.append_i32(static_cast<int32_t>(end));
  ++s.length;
  return true;
}

// Appends a null to a nullable string array.
inline bool push_null(ArrowNode& s) {
  if (LS_UNLIKELY(static_cast<size_t>(s.length) >= kMaxOffset)) return false;
  s.offsets.append_i32(static_cast<int32_t>(s.data.size()));
  ++s.length;
  ++s.null_count;
  return true;
}

// Records row `row`'s validity in a bitmap that always covers every row.
inline void push_validity(ArrowNode& s, int64_t row, bool valid) {
  if (row % 8 == 0) {
    const uint8_t none = 0;
    s.validity.append(&none, 1);
  }
  if (valid) s.validity.data()[row / 8] |= static_cast<uint8_t>(1u << (row % 8));
}

// Closes one list entry over everything its child holds now.
inline bool close_list(ArrowNode& l) {
  const int64_t end = l.children[0].length;
  if (LS_UNLIKELY(static_cast<size_t>(end) > kMaxOffset || static_cast<size_t>(l.length) >= kMaxOffset))
    return false;
  l.offsets.append_i32(static_cast<int32_t>(end));
  ++l.length;
  return true;
}

inline bool push_values(ArrowNode& list, const Column& values) {
  ArrowNode& s = list.children[0];
  s.offsets.reserve_more(values.size() * sizeof(int32_t));
  for (Bytes v : values)
    if (!push_string(s, v)) return false;
  return close_list(list);
}

// Appends one document's result as a row. Returns the index of a column
// whose offsets would overflow, or -1.
ptrdiff_t append_row(std::vector<ArrowNode>& cols, const BatchLayout& layout, const ExtractResult& r) {
  const size_t flat = layout.first_only.size();
  LS_CHECK(r.flat.size() == flat && r.grouped.size() == layout.sub_names.size());
  for (size_t q = 0; q < flat; ++q) {
    const Column& values = r.flat[q];
    ArrowNode& col = cols[q];
    if (layout.first_only[q]) {
      const int64_t row = col.length;
      push_validity(col, row, !values.empty());
      if (!(values.empty() ? push_null(col) : push_string(col, values.front())))
        return static_cast<ptrdiff_t>(q);
    } else if (!push_values(col, values)) {
      return static_cast<ptrdiff_t>(q);
    }
  }
  static const Column kNoValues;
  for (size_t g = 0; g < layout.sub_names.size(); ++g) {
    ArrowNode& col = cols[flat + g];
    ArrowNode& rows = col.children[0];
    for (const std::vector<Column>& row : r.grouped[g]) {
      for (size_t f = 0; f < rows.children.size(); ++f)
        if (!push_values(rows.children[f], f < row.size() ? row[f] : kNoValues))
          return static_cast<ptrdiff_t>(flat + g);
      if (LS_UNLIKELY(static_cast<size_t>(rows.length) >= kMaxOffset)) return static_cast<ptrdiff_t>(flat + g);
      ++rows.length;
    }
    if (!close_list(col)) return static_cast<ptrdiff_t>(flat + g);
  }
  return -1;
}

// Frees a part's buffers once they are copied.
void free_buffers(ArrowNode& n) {
  n.validity.clear_and_free();
  n.offsets.clear_and_free();
  n.data.clear_and_free();
  for (ArrowNode& c : n.children) free_buffers(c);
}

// A validity bitmap is kept only where some row is null.
void drop_unneeded_validity(ArrowNode& n) {
  if (n.null_count == 0) n.validity.clear_and_free();
  for (ArrowNode& c : n.children) drop_unneeded_validity(c);
}

}  // namespace

ArrowNode arrow_string_column(std::string name) { return string_node(std::move(name)); }

bool arrow_append_string(ArrowNode& column, std::optional<Bytes> value) {
  const int64_t row = column.length;
  if (!(value ? push_string(column, *value) : push_null(column))) return false;
  push_validity(column, row, value.has_value());
  return true;
}

ArrowNode arrow_int_column(std::string name, ArrowNode::Kind kind) {
  LS_CHECK(kind == ArrowNode::Kind::kInt64 || kind == ArrowNode::Kind::kInt16);
  ArrowNode n;
  n.kind = kind;
  n.name = std::move(name);
  return n;
}

void arrow_append_int(ArrowNode& column, std::optional<int64_t> value) {
  const int64_t row = column.length;
  if (column.kind == ArrowNode::Kind::kInt64) append_fixed<int64_t>(column, value.value_or(0));
  else append_fixed<int16_t>(column, value.value_or(0));
  push_validity(column, row, value.has_value());
  ++column.length;
  if (!value) ++column.null_count;
}

namespace {

// ---------------------------------------------------------------------------
// Joining parts.

struct CopyTask {
  size_t part;          // the part src belongs to
  const ArrowNode* src;
  ArrowNode* dst;
  int64_t row_base;     // where src's rows start in dst
  int64_t value_base;   // added to src's offsets
  size_t data_base;     // where src's data starts in dst's data
};

// Sizes `out` as the concatenation of `parts` (all of one shape), writes its
// validity, and lists the copies that fill its offsets and data. Recursion
// follows the column tree, whose depth the schema fixes (at most four).
bool plan_join(const std::vector<const ArrowNode*>& parts, ArrowNode& out, std::vector<CopyTask>& tasks) {
  const ArrowNode& first = *parts.front();
  out.kind = first.kind;
  out.name = first.name;
  size_t rows = 0, nulls = 0, data = 0, child_rows = 0;
  for (const ArrowNode* p : parts) {
    rows += static_cast<size_t>(p->length);
    nulls += static_cast<size_t>(p->null_count);
    data += p->data.size();
    if (!p->children.empty()) child_rows += static_cast<size_t>(p->children[0].length);
  }
  if (rows > kMaxOffset || data > kMaxOffset || child_rows > kMaxOffset) return false;
  out.length = static_cast<int64_t>(rows);
  out.null_count = static_cast<int64_t>(nulls);
  if (nulls > 0) {
    out.validity.resize_zeroed((rows + 7) / 8);
    uint8_t* bits = out.validity.data();
    size_t row = 0;
    for (const ArrowNode* p : parts) {
      const uint8_t* src = p->validity.data();
      for (int64_t i = 0; i < p->length; ++i, ++row) {
        const bool valid = src ? (src[i / 8] >> (i % 8)) & 1 : true;
        if (valid) bits[row / 8] |= static_cast<uint8_t>(1u << (row % 8));
      }
    }
  }
  if (out.kind != ArrowNode::Kind::kStruct) {
    // Every entry but the leading zero is written by a copy task.
    out.offsets.resize_for_overwrite((rows + 1) * sizeof(int32_t));
    const int32_t zero = 0;
    __builtin_memcpy(out.offsets.data(), &zero, sizeof zero);
    if (out.kind == ArrowNode::Kind::kString) {
      out.data.resize_for_overwrite(data);  // every byte is copied from a part
    }
    int64_t row_base = 0, value_base = 0;
    size_t data_base = 0;
    for (size_t part = 0; part < parts.size(); ++part) {
      const ArrowNode* p = parts[part];
      tasks.push_back(CopyTask{part, p, &out, row_base, value_base, data_base});
      row_base += p->length;
      data_base += p->data.size();
      value_base += out.kind == ArrowNode::Kind::kString ? static_cast<int64_t>(p->data.size())
                                                          : p->children[0].length;
    }
  }
  out.children.resize(first.children.size());
  for (size_t c = 0; c < first.children.size(); ++c) {
    std::vector<const ArrowNode*> sub;
    sub.reserve(parts.size());
    for (const ArrowNode* p : parts) sub.push_back(&p->children[c]);
    if (!plan_join(sub, out.children[c], tasks)) return false;
  }
  return true;
}

void run_copy(const CopyTask& t) {
  const int32_t* src = reinterpret_cast<const int32_t*>(t.src->offsets.data());
  int32_t* dst = reinterpret_cast<int32_t*>(t.dst->offsets.data()) + t.row_base;
  // dst[0] is the previous part's end (or the leading zero), written by it.
  for (int64_t i = 1; i <= t.src->length; ++i) dst[i] = static_cast<int32_t>(src[i] + t.value_base);
  if (t.src->data.size())
    __builtin_memcpy(t.dst->data.data() + t.data_base, t.src->data.data(), t.src->data.size());
}

// ---------------------------------------------------------------------------
// Threads.

// Runs `work` on the calling thread and up to `n - 1` more; a thread that
// cannot be started is simply not there (the work is shared by whoever runs).
template <class F>
void run_on_threads(unsigned n, F& work) {
  std::vector<std::thread> threads;
  try {
    threads.reserve(n > 0 ? n - 1 : 0);
    for (unsigned i = 1; i < n; ++i) threads.emplace_back([&work] { work(); });
  } catch (...) {
    // Fewer threads: the ones running take every part.
  }
  work();
  for (std::thread& t : threads) t.join();
}

// The first fault by document index among those recorded.
class FirstFault {
 public:
  void record(size_t index, Fault f) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fault_ || index < index_) {
      fault_ = std::move(f);
      index_ = index;
    }
    failed_.store(true, std::memory_order_relaxed);
  }
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  Fault take() { return fault_; }

 private:
  std::mutex mutex_;
  Fault fault_;
  size_t index_ = 0;
  std::atomic<bool> failed_{false};
};

Fault too_large(const std::string& column) {
  return Fault{FaultKind::kBatchTooLarge,
               "larkspine: column '" + column +
                   "' of this batch would hold more than 2 GiB of values or 2^31 entries, past "
                   "Arrow's 32-bit offsets; extract fewer documents per batch"};
}

// The part boundaries for `workers` threads: contiguous runs of documents,
// none empty, whose sizes shrink as the batch is used up. Each part takes
// 1 / (2 * workers) of the bytes not yet given out, so the first parts are
// large (few joins, few buffers) and the last are single documents: threads
// take parts in order, and when one runs out of parts the others are at
// most one small part from the end. (Equal parts left a thread idle for up
// to a whole part at the end of a batch; pages cost unequal time per byte.)
std::vector<size_t> guided_bounds(const std::vector<BatchDocument>& docs, size_t workers) {
  std::vector<size_t> bounds{0};
  if (workers <= 1) {
    bounds.push_back(docs.size());
    return bounds;
  }
  uint64_t remaining = 0;
  for (const BatchDocument& d : docs) remaining += d.bytes.size() + 1;
  size_t i = 0;
  while (i < docs.size()) {
    const uint64_t target = remaining / (2 * workers);
    uint64_t taken = 0;
    do taken += docs[i++].bytes.size() + 1;
    while (i < docs.size() && taken < target);
    remaining -= taken;
    bounds.push_back(i);
  }
  return bounds;
}

}  // namespace

unsigned batch_threads(unsigned threads, size_t documents) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(threads, documents)));
}

Fault extract_batch(const Plan& plan, const BatchLayout& layout, const std::vector<BatchDocument>& docs,
                    unsigned threads, std::shared_ptr<const ArrowBatch>& out) noexcept {
  return extract_batch(plan, layout, docs, threads, {}, out);
}

Fault extract_batch(const Plan& plan, const BatchLayout& layout, const std::vector<BatchDocument>& docs,
                    unsigned threads, std::vector<ArrowNode> leading,
                    std::shared_ptr<const ArrowBatch>& out) noexcept {
  for (const ArrowNode& c : leading)
    if (c.length != static_cast<int64_t>(docs.size()))
      return Fault{FaultKind::kInternal, "larkspine: internal fault: a leading column's rows are not the batch's"};
  Fault setup = guarded([&] {
    const CompiledSchema& schema = plan.schema();
    LS_CHECK(layout.first_only.size() == schema.flat_count() &&
             layout.sub_names.size() == schema.group_count() &&
             layout.names.size() == schema.flat_count() + schema.group_count());
  });
  if (setup) return setup;

  const unsigned workers = batch_threads(threads, docs.size());
  std::vector<size_t> bounds;
  std::vector<std::vector<ArrowNode>> parts;
  size_t part_count = 0;
  Fault alloc = guarded([&] {
    bounds = guided_bounds(docs, workers);
    part_count = bounds.size() - 1;
    parts.resize(part_count);
  });
  if (alloc) return alloc;

  FirstFault fault;
  std::atomic<size_t> next{0};
  auto extract_parts = [&]() noexcept {
    for (;;) {
      const size_t p = next.fetch_add(1, std::memory_order_relaxed);
      if (p >= part_count || fault.failed()) return;
      size_t doc = bounds[p];
      Fault f = guarded([&] {
        parts[p] = make_columns(layout);
        for (; doc < bounds[p + 1] && !fault.failed(); ++doc) {
          ExtractResult result;
          Fault e = plan.extract(docs[doc].bytes, docs[doc].label, result);
          if (e) {
            if (e.kind == FaultKind::kDocumentTooLarge)
              e.message += " (document " + std::to_string(doc) + " of the batch)";
            fault.record(doc, std::move(e));
            return;
          }
          const ptrdiff_t full = append_row(parts[p], layout, result);
          if (full >= 0) {
            fault.record(doc, too_large(layout.names[static_cast<size_t>(full)]));
            return;
          }
        }
      });
      if (f) fault.record(doc, std::move(f));
    }
  };
  run_on_threads(workers, extract_parts);
  if (fault.failed()) return fault.take();

  auto batch = std::shared_ptr<ArrowBatch>();
  Fault built = guarded([&] {
    batch = std::make_shared<ArrowBatch>();
    batch->rows = static_cast<int64_t>(docs.size());
    if (part_count == 1) {
      batch->columns = std::move(parts[0]);
      return;
    }
    // Join: size and plan on this thread, copy on all of them.
    std::vector<CopyTask> tasks;
    batch->columns.resize(layout.names.size());
    for (size_t c = 0; c < layout.names.size(); ++c) {
      std::vector<const ArrowNode*> of_column;
      for (const std::vector<ArrowNode>& part : parts) of_column.push_back(&part[c]);
      if (!plan_join(of_column, batch->columns[c], tasks)) {
        fault.record(0, too_large(layout.names[c]));
        return;
      }
    }
    // Part by part, each part's buffers freed as soon as its last copy is
    // done: the joined buffers fill (their pages become resident only as
    // they are written) while the parts empty, so the batch's values are
    // held about once, plus the parts being copied, rather than twice.
    std::stable_sort(tasks.begin(), tasks.end(), [](const CopyTask& a, const CopyTask& b) { return a.part < b.part; });
    std::vector<std::atomic<size_t>> left(part_count);
    for (const CopyTask& t : tasks) left[t.part].fetch_add(1, std::memory_order_relaxed);
    std::atomic<size_t> next_task{0};
    auto copy = [&]() noexcept {
      for (size_t t; (t = next_task.fetch_add(1, std::memory_order_relaxed)) < tasks.size();) {
        run_copy(tasks[t]);
        // The last copy of a part (acq_rel: the other copies' reads happen before the free).
        if (left[tasks[t].part].fetch_sub(1, std::memory_order_acq_rel) == 1)
          for (ArrowNode& c : parts[tasks[t].part]) free_buffers(c);
      }
    };
    run_on_threads(workers, copy);
  });
  if (built) return built;
  if (fault.failed()) return fault.take();
  Fault joined = guarded([&] {
    batch->columns.insert(batch->columns.begin(), std::make_move_iterator(leading.begin()),
                          std::make_move_iterator(leading.end()));
  });
  if (joined) return joined;
  for (ArrowNode& c : batch->columns) drop_unneeded_validity(c);
  out = std::move(batch);
  return {};
}

// ---------------------------------------------------------------------------
// Export.

namespace {

const char* format_of(ArrowNode::Kind k) {
  switch (k) {
    case ArrowNode::Kind::kString: return "u";
    case ArrowNode::Kind::kList: return "+l";
    case ArrowNode::Kind::kStruct: return "+s";
    case ArrowNode::Kind::kInt64: return "l";
    case ArrowNode::Kind::kInt16: return "s";
  }
  return "u";
}

// Each exported struct owns one of these; a child's is its own, so a child
// moved out by the consumer outlives its parent (the batch is shared).
struct SchemaPrivate {
  std::shared_ptr<const ArrowBatch> keep;
  std::vector<ArrowSchema> child_structs;  // sized before filling: never reallocated
  std::vector<ArrowSchema*> child_ptrs;
  ~SchemaPrivate() {
    for (ArrowSchema& c : child_structs)
      if (c.release) c.release(&c);
  }
};

void release_schema(ArrowSchema* s) {
  delete static_cast<SchemaPrivate*>(s->private_data);
  s->release = nullptr;
}

// Fills `out` for a node (or the root, `node == nullptr`); throws
// std::bad_alloc, leaving `out->release` null.
void fill_schema(const std::shared_ptr<const ArrowBatch>& batch, const ArrowNode* node, ArrowSchema* out) {
  out->release = nullptr;
  auto priv = std::make_unique<SchemaPrivate>();
  priv->keep = batch;
  const std::vector<ArrowNode>& children = node ? node->children : batch->columns;
  priv->child_structs.resize(children.size());
  for (ArrowSchema& c : priv->child_structs) c.release = nullptr;
  for (size_t i = 0; i < children.size(); ++i) {
    fill_schema(batch, &children[i], &priv->child_structs[i]);
    priv->child_ptrs.push_back(&priv->child_structs[i]);
  }
  out->format = node ? format_of(node->kind) : "+s";
  out->name = node ? node->name.c_str() : "";  // the batch outlives every export
  out->metadata = nullptr;
  out->flags = node ? ARROW_FLAG_NULLABLE : 0;
  out->n_children = static_cast<int64_t>(children.size());
  out->children = priv->child_ptrs.empty() ? nullptr : priv->child_ptrs.data();
  out->dictionary = nullptr;
  out->private_data = priv.release();
  out->release = release_schema;
}

struct ArrayPrivate {
  std::shared_ptr<const ArrowBatch> keep;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> child_structs;
  std::vector<ArrowArray*> child_ptrs;
  ~ArrayPrivate() {
    for (ArrowArray& c : child_structs)
      if (c.release) c.release(&c);
  }
};

void release_array(ArrowArray* a) {
  delete static_cast<ArrayPrivate*>(a->private_data);
  a->release = nullptr;
}

const void* buffer_or_empty(const ArrowBuffer& b) { return b.size() ? b.data() : kEmptyBuffer; }

void fill_array(const std::shared_ptr<const ArrowBatch>& batch, const ArrowNode* node, ArrowArray* out) {
  out->release = nullptr;
  auto priv = std::make_unique<ArrayPrivate>();
  priv->keep = batch;
  const std::vector<ArrowNode>& children = node ? node->children : batch->columns;
  priv->child_structs.resize(children.size());
  for (ArrowArray& c : priv->child_structs) c.release = nullptr;
  for (size_t i = 0; i < children.size(); ++i) {
    fill_array(batch, &children[i], &priv->child_structs[i]);
    priv->child_ptrs.push_back(&priv->child_structs[i]);
  }
  int64_t n_buffers = 1;
  if (node) {
    priv->buffers[0] = node->null_count ? node->validity.data() : nullptr;
    if (node->kind == ArrowNode::Kind::kInt64 || node->kind == ArrowNode::Kind::kInt16) {
      priv->buffers[1] = buffer_or_empty(node->data);
      n_buffers = 2;
    } else if (node->kind != ArrowNode::Kind::kStruct) {
      priv->buffers[1] = buffer_or_empty(node->offsets);
      n_buffers = 2;
    }
    if (node->kind == ArrowNode::Kind::kString) {
      priv->buffers[2] = buffer_or_empty(node->data);
      n_buffers = 3;
    }
  }
  out->length = node ? node->length : batch->rows;
  out->null_count = node ? node->null_count : 0;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<int64_t>(children.size());
  out->buffers = priv->buffers;
  out->children = priv->child_ptrs.empty() ? nullptr : priv->child_ptrs.data();
  out->dictionary = nullptr;
  out->private_data = priv.release();
  out->release = release_array;
}

struct StreamPrivate {
  std::shared_ptr<const ArrowBatch> batch;
  bool delivered = false;
};

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
  auto* p = static_cast<StreamPrivate*>(s->private_data);
  return export_schema(p->batch, out) ? 0 : ENOMEM;
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) {
  auto* p = static_cast<StreamPrivate*>(s->private_data);
  if (p->delivered) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  if (!export_array(p->batch, out)) return ENOMEM;
  p->delivered = true;
  return 0;
}

const char* stream_last_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* s) {
  delete static_cast<StreamPrivate*>(s->private_data);
  s->release = nullptr;
}

}  // namespace

bool export_schema(const std::shared_ptr<const ArrowBatch>& batch, ArrowSchema* out) noexcept {
  try {
    fill_schema(batch, nullptr, out);
    return true;
  } catch (...) {
    out->release = nullptr;
    return false;
  }
}

bool export_array(const std::shared_ptr<const ArrowBatch>& batch, ArrowArray* out) noexcept {
  try {
    fill_array(batch, nullptr, out);
    return true;
  } catch (...) {
    out->release = nullptr;
    return false;
  }
}

bool export_stream(const std::shared_ptr<const ArrowBatch>& batch, ArrowArrayStream* out) noexcept {
  out->release = nullptr;
  auto* p = new (std::nothrow) StreamPrivate();
  if (!p) return false;
  p->batch = batch;
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_last_error;
  out->private_data = p;
  out->release = stream_release;
  return true;
}

}  // namespace ls
