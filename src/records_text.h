// Records as text: the rows of an Arrow record batch written as JSON Lines or
// CSV, byte for byte as the package's record-at-a-time writers write the same
// values (Python's `json.dumps(record, ensure_ascii=False)` per line, and
// `csv.writer(lineterminator="\r\n")` over cells where a list or a struct is
// its JSON text), without making anything per value but the output bytes.
//
// In: one struct array (a record batch: one child per column, one row per
// record) through the Arrow C data interface, as any producer exports it
// (pyarrow, polars, a larkspine ArrowBatch). The types taken are those records
// hold: `string` and `large_string`, signed and unsigned integers of 8 to 64
// bits, `null`, `list` and `large_list`, and `struct`, nested at most
// kMaxTextDepth deep. A `timestamp` is not taken: the caller hands dates as
// the text it wants written.
//
// Out: the bytes, appended to a caller's buffer. JSON keys are the column and
// field names; a null is `null` in JSON and an empty cell in CSV.
//
// What is trusted, as every consumer of the C data interface trusts it: that
// each buffer is as long as the array's length, offset and offsets say, and
// that `string` data is UTF-8 (Arrow requires it; pyarrow checks what it
// builds from Python, and the engine writes only decoded text). What is
// checked: the declared structure (buffer and child counts, a length and an
// offset that fit), and every offset read against its neighbours and, for a
// list, against its child's length, so an inconsistent array is refused with
// a reason rather than read out of bounds through its children.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "arrow.h"
#include "base.h"

namespace ls {

// Nesting deeper than this is refused: the writer recurses once per level of
// the type, which the schema fixes and no value can deepen.
inline constexpr int kMaxTextDepth = 16;

// A growable malloc'd byte buffer written through a raw pointer: room is
// reserved for the worst case of a piece, the piece written, and the end
// committed, so escaping a value costs no check per byte.
class TextBuffer {
 public:
  TextBuffer() = default;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() { std::free(p_); }

  const char* data() const { return p_; }
  size_t size() const { return size_; }
  // A pointer to the end, with room for `n` more bytes (throws std::bad_alloc).
  char* room(size_t n) {
    if (LS_UNLIKELY(cap_ - size_ < n)) grow(n);
    return p_ + size_;
  }
  // The bytes up to `end` (inside the room last asked for) are written.
  void commit(const char* end) { size_ = static_cast<size_t>(end - p_); }
  void clear() { size_ = 0; }
  void put(char c) { *room(1) = c, ++size_; }
  void put(const char* s, size_t n) {
    char* at = room(n);
    if (n) __builtin_memcpy(at, s, n);
    size_ += n;
  }

 private:
  LS_NOINLINE void grow(size_t n);

  char* p_ = nullptr;
  size_t size_ = 0, cap_ = 0;
};

enum class TextFormat : uint8_t { kJsonLines, kCsv };

struct TextOptions {
  TextFormat format = TextFormat::kJsonLines;
  // CSV: a string cell starting with = + - @ TAB or CR gets a leading '.
  bool escape_formulas = true;
};

// Appends the text of every row of `array` (described by `schema`, a struct)
// to `out`: one JSON object per line, or one CSV row per record (no header).
// When `ends` is given, where each row's text ends in `out` is appended to it
// (a CSV cell may hold a line break, so row ends cannot be found afterwards).
// Returns the empty string, or why the batch cannot be written (a type not
// taken, a structure or offset that does not hold); `out` then holds an
// unspecified prefix. Throws std::bad_alloc (callers run it through
// `guarded`).
std::string write_records_text(const ArrowSchema& schema, const ArrowArray& array, const TextOptions& options,
                               TextBuffer& out, std::vector<int64_t>* ends = nullptr);

}  // namespace ls
