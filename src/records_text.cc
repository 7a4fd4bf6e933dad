// Records as text (see records_text.h): compiling the batch's C data structs
// into a tree of TextColumn, checking their structure and offsets once, then
// writing row by row.
//
// The bytes equal Python's, value kind by value kind:
//   JSON string   `"` + the UTF-8 bytes, with `"` `\` and the controls below
//                 0x20 escaped as json.dumps escapes them when ensure_ascii
//                 is off (\" \\ \b \f \n \r \t, the rest \u00XX in lower-case
//                 hex); every other byte, DEL and non-ASCII included, as is
//   JSON integer  its decimal digits; null `null`
//   JSON list     `[` items joined by ", " `]`; struct `{` `"name": value`
//                 joined by ", " `}`; a record is a struct and ends in "\n"
//   CSV cell      a string as is, after a `'` when escape_formulas is on and
//                 it starts with = + - @ TAB or CR; an integer its digits;
//                 a null nothing; a list or struct its JSON text (never
//                 formula-escaped). A cell holding `,` `"` CR or LF is quoted,
//                 its `"` doubled; cells are joined by `,`, rows end in CRLF;
//                 a row of one empty cell is `""` (csv.writer's rule).
//
// Speed: a string is escaped through one reservation of its worst case (6
// bytes per byte) and a word-at-a-time skip over the bytes that need no
// escape; nothing is allocated per value.
#include "records_text.h"

#include "whatwg/decode.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

namespace ls {

void TextBuffer::grow(size_t n) {
  void* p = p_;
  grow_buffer(p, cap_, size_, n, 256);
  p_ = static_cast<char*>(p);
}

namespace {

// One array of the batch and its children, with the buffers it is read from.
struct TextColumn {
  enum class Kind : uint8_t { kNull, kString, kLargeString, kInt, kUInt, kList, kLargeList, kStruct };
  Kind kind = Kind::kNull;
  uint8_t width = 0;  // kInt, kUInt: bytes per value
  int64_t offset = 0, length = 0;
  const uint8_t* validity = nullptr;  // null when no value is null
  const uint8_t* offsets = nullptr;   // kString, kList: int32; kLargeString, kLargeList: int64
  const uint8_t* values = nullptr;    // kString: the UTF-8 bytes; kInt, kUInt: the integers
  std::string key;                    // the JSON name and ": "
  std::vector<TextColumn> children;

  // `p` is a physical index (the array's offset already added).
  bool is_null(int64_t p) const {
    return kind == Kind::kNull || (validity && !((validity[p >> 3] >> (p & 7)) & 1));
  }
  bool large() const { return kind == Kind::kLargeString || kind == Kind::kLargeList; }
  int64_t offset_at(int64_t p) const { return arrow_offset_at(offsets, p, large()); }
};

// ---------------------------------------------------------------------------
// Escapes.

// The letter after the backslash that json.dumps writes for a byte, 'u' for
// \u00XX, or 0 for a byte written as it is.
struct JsonEscapes {
  char letter[256] = {};
  constexpr JsonEscapes() {
    for (int c = 0; c < 0x20; ++c) letter[c] = 'u';
    letter[static_cast<int>('\b')] = 'b';
    letter[static_cast<int>('\f')] = 'f';
    letter[static_cast<int>('\n')] = 'n';
    letter[static_cast<int>('\r')] = 'r';
    letter[static_cast<int>('\t')] = 't';
    letter[static_cast<int>('"')] = '"';
    letter[static_cast<int>('\\')] = '\\';
  }
};
constexpr JsonEscapes kJson;

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// The high bit of each byte of `w` equal to `c` may be set, and is for the
// lowest such byte: the classic zero-byte test, exact for "is there one".
inline uint64_t bytes_equal(uint64_t w, uint8_t c) {
  const uint64_t x = w ^ (kOnes * c);
  return (x - kOnes) & ~x & kHighs;
}

// Whether no byte of `w` needs a JSON escape: none below 0x20 (the "has a byte
// less than n" test, exact for n <= 0x80), no '"', no '\'.
inline bool json_plain(uint64_t w) {
  const uint64_t below = (w - kOnes * 0x20) & ~w & kHighs;
  return (below | bytes_equal(w, '"') | bytes_equal(w, '\\')) == 0;
}

// Whether no byte of `w` makes a CSV cell quoted: ',' '"' CR LF.
inline bool csv_plain(uint64_t w) {
  return (bytes_equal(w, ',') | bytes_equal(w, '"') | bytes_equal(w, '\r') | bytes_equal(w, '\n')) == 0;
}

inline bool csv_special(uint8_t c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; }

inline bool formula_start(uint8_t c) {
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

void put_json_string(TextBuffer& out, const uint8_t* s, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  char* p = out.room(n * 6 + 2);
  *p++ = '"';
  size_t i = 0;
  while (i < n) {
    while (n - i >= 8) {
      uint64_t w;
      std::memcpy(&w, s + i, 8);
      if (!json_plain(w)) break;
      std::memcpy(p, s + i, 8);
      p += 8;
      i += 8;
    }
    // At most one word byte by byte, then back to the word loop.
    for (const size_t stop = std::min(n, i + 8); i < stop; ++i) {
      const uint8_t c = s[i];
      const char e = kJson.letter[c];
      if (!e) {
        *p++ = static_cast<char>(c);
      } else if (e != 'u') {
        *p++ = '\\';
        *p++ = e;
      } else {
        std::memcpy(p, "\\u00", 4);
        p[4] = kHex[c >> 4];
        p[5] = kHex[c & 15];
        p += 6;
      }
    }
  }
  *p++ = '"';
  out.commit(p);
}

// A CSV cell of `n` bytes, `quote` deciding the quotes and `formula` the '.
void put_csv_cell(TextBuffer& out, const uint8_t* s, size_t n, bool formula) {
  bool quote = false;
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t w;
    std::memcpy(&w, s + i, 8);
    if (!csv_plain(w)) {
      quote = true;
      break;
    }
  }
  for (; !quote && i < n; ++i) quote = csv_special(s[i]);
  char* p = out.room(n * 2 + 3);
  if (quote) *p++ = '"';
  if (formula) *p++ = '\'';
  if (!quote) {
    if (n) std::memcpy(p, s, n);
    p += n;
  } else {
    for (size_t k = 0; k < n; ++k) {
      if (s[k] == '"') *p++ = '"';
      *p++ = static_cast<char>(s[k]);
    }
    *p++ = '"';
  }
  out.commit(p);
}

// ---------------------------------------------------------------------------
// Compiling the C structs.

// Checks offsets [from, from + count] of `c`: non-decreasing, from 0 up, and
// at most `limit`.
bool offsets_hold(const TextColumn& c, int64_t from, int64_t count, int64_t limit) {
  int64_t prev = c.offset_at(from);
  if (prev < 0 || prev > limit) return false;
  for (int64_t p = from + 1; p <= from + count; ++p) {
    const int64_t v = c.offset_at(p);
    if (v < prev || v > limit) return false;
    prev = v;
  }
  return true;
}

std::string column_name(const ArrowSchema& s) { return s.name ? std::string(s.name) : std::string(); }

std::string compile(const ArrowSchema& s, const ArrowArray& a, int depth, TextColumn& c) {
  using Kind = TextColumn::Kind;
  const std::string where = "column '" + column_name(s) + "'";
  if (depth > kMaxTextDepth) return where + ": nested deeper than " + std::to_string(kMaxTextDepth) + " levels";
  if (!s.format || !s.release || !a.release) return where + ": a released or incomplete array";
  if (s.dictionary || a.dictionary) return where + ": a dictionary-encoded column";
  if (a.length < 0 || a.offset < 0 || a.length > INT64_MAX / 2 - a.offset)
    return where + ": a length or offset out of range";
  const std::string format = s.format;
  int64_t buffers = 0, children = 0;
  if (format == "n") {
    c.kind = Kind::kNull;
  } else if (format == "u" || format == "U") {
    c.kind = format == "u" ? Kind::kString : Kind::kLargeString;
    buffers = 3;
  } else if (format.size() == 1 && std::strchr("cCsSiIlL", format[0])) {
    const char f = format[0];
    c.kind = (f >= 'a') ? Kind::kInt : Kind::kUInt;
    const char lower = static_cast<char>(f | 0x20);
    c.width = lower == 'c' ? 1 : lower == 's' ? 2 : lower == 'i' ? 4 : 8;
    buffers = 2;
  } else if (format == "+l" || format == "+L") {
    c.kind = format == "+l" ? Kind::kList : Kind::kLargeList;
    buffers = 2;
    children = 1;
  } else if (format == "+s") {
    c.kind = Kind::kStruct;
    buffers = 1;
    children = s.n_children;
  } else {
    return where + ": type '" + format + "' (records hold strings, integers, lists and structs)";
  }
  if (a.n_buffers != buffers || s.n_children != children || a.n_children != children ||
      (children && (!s.children || !a.children)) || (buffers && !a.buffers))
    return where + ": its buffers or children do not match its type";
  c.offset = a.offset;
  c.length = a.length;
  c.children.clear();
  {
    TextBuffer key;
    const std::string name = column_name(s);
    if (!whatwg::utf8_is_valid(name)) return where + ": a name that is not UTF-8";
    put_json_string(key, reinterpret_cast<const uint8_t*>(name.data()), name.size());
    key.put(": ", 2);
    c.key.assign(key.data(), key.size());
  }
  if (c.kind == Kind::kNull) return {};
  c.validity = a.null_count != 0 ? static_cast<const uint8_t*>(a.buffers[0]) : nullptr;
  if (a.null_count > 0 && !c.validity) return where + ": nulls without a validity buffer";
  const bool rows = a.length > 0;
  if (c.kind == Kind::kInt || c.kind == Kind::kUInt) {
    c.values = static_cast<const uint8_t*>(a.buffers[1]);
    if (rows && !c.values) return where + ": no values buffer";
    return {};
  }
  if (c.kind != Kind::kStruct) {
    c.offsets = static_cast<const uint8_t*>(a.buffers[1]);
    if (rows && !c.offsets) return where + ": no offsets buffer";
  }
  if (c.kind == Kind::kString || c.kind == Kind::kLargeString) {
    c.values = static_cast<const uint8_t*>(a.buffers[2]);
    if (rows && !offsets_hold(c, c.offset, c.length, INT64_MAX)) return where + ": offsets that go backwards";
    if (rows && !c.values && c.offset_at(c.offset + c.length) != c.offset_at(c.offset))
      return where + ": no data buffer";
    // JSON and CSV copy the bytes as they are: a value that is not UTF-8 would make the
    // text undecodable. The engine's columns always are; any other batch is checked once.
    if (rows && c.values) {
      const int64_t lo = c.offset_at(c.offset), hi = c.offset_at(c.offset + c.length);
      const std::string_view used(reinterpret_cast<const char*>(c.values) + lo, static_cast<size_t>(hi - lo));
      if (!whatwg::utf8_is_valid(used)) return where + ": a value that is not UTF-8";
    }
    return {};
  }
  c.children.resize(static_cast<size_t>(children));
  for (int64_t k = 0; k < children; ++k) {
    if (!s.children[k] || !a.children[k]) return where + ": a missing child";
    std::string why = compile(*s.children[k], *a.children[k], depth + 1, c.children[static_cast<size_t>(k)]);
    if (!why.empty()) return why;
  }
  if (c.kind == Kind::kStruct) {
    for (const TextColumn& child : c.children)
      if (child.length < c.offset + c.length) return where + ": a field shorter than the struct";
    return {};
  }
  if (rows && !offsets_hold(c, c.offset, c.length, c.children[0].length))
    return where + ": offsets that go backwards or past its values";
  return {};
}

// ---------------------------------------------------------------------------
// Writing.

void put_integer(TextBuffer& out, const TextColumn& c, int64_t p) {
  char* at = out.room(24);
  std::to_chars_result r{};
  const uint8_t* v = c.values + p * c.width;
  if (c.kind == TextColumn::Kind::kInt) {
    int64_t x = 0;
    switch (c.width) {
      case 1: { int8_t t; std::memcpy(&t, v, 1); x = t; break; }
      case 2: { int16_t t; std::memcpy(&t, v, 2); x = t; break; }
      case 4: { int32_t t; std::memcpy(&t, v, 4); x = t; break; }
      default: std::memcpy(&x, v, 8);
    }
    r = std::to_chars(at, at + 24, x);
  } else {
    uint64_t x = 0;
    switch (c.width) {
      case 1: { uint8_t t; std::memcpy(&t, v, 1); x = t; break; }
      case 2: { uint16_t t; std::memcpy(&t, v, 2); x = t; break; }
      case 4: { uint32_t t; std::memcpy(&t, v, 4); x = t; break; }
      default: std::memcpy(&x, v, 8);
    }
    r = std::to_chars(at, at + 24, x);
  }
  out.commit(r.ptr);
}

// The JSON of logical value `i` of `c`. Recursion follows the type's depth,
// bounded by kMaxTextDepth when compiled.
void put_json(TextBuffer& out, const TextColumn& c, int64_t i) {
  using Kind = TextColumn::Kind;
  const int64_t p = c.offset + i;
  if (c.is_null(p)) {
    out.put("null", 4);
    return;
  }
  switch (c.kind) {
    case Kind::kNull:
      break;
    case Kind::kString:
    case Kind::kLargeString: {
      const int64_t start = c.offset_at(p);
      put_json_string(out, c.values + start, static_cast<size_t>(c.offset_at(p + 1) - start));
      break;
    }
    case Kind::kInt:
    case Kind::kUInt:
      put_integer(out, c, p);
      break;
    case Kind::kList:
    case Kind::kLargeList: {
      const int64_t start = c.offset_at(p), end = c.offset_at(p + 1);
      out.put('[');
      for (int64_t j = start; j < end; ++j) {
        if (j != start) out.put(", ", 2);
        put_json(out, c.children[0], j);
      }
      out.put(']');
      break;
    }
    case Kind::kStruct: {
      out.put('{');
      for (size_t k = 0; k < c.children.size(); ++k) {
        if (k) out.put(", ", 2);
        out.put(c.children[k].key.data(), c.children[k].key.size());
        put_json(out, c.children[k], p);
      }
      out.put('}');
      break;
    }
  }
}

void put_csv(TextBuffer& out, TextBuffer& scratch, const TextColumn& c, int64_t i, bool escape) {
  using Kind = TextColumn::Kind;
  const int64_t p = c.offset + i;
  if (c.is_null(p)) return;
  switch (c.kind) {
    case Kind::kNull:
      return;
    case Kind::kString:
    case Kind::kLargeString: {
      const int64_t start = c.offset_at(p);
      const size_t n = static_cast<size_t>(c.offset_at(p + 1) - start);
      const uint8_t* s = c.values + start;
      put_csv_cell(out, s, n, escape && n && formula_start(s[0]));
      return;
    }
    case Kind::kInt:
    case Kind::kUInt:
      put_integer(out, c, p);
      return;
    case Kind::kList:
    case Kind::kLargeList:
    case Kind::kStruct: {
      // JSON text, never formula-escaped: it starts with [ or {.
      scratch.clear();
      put_json(scratch, c, i);
      put_csv_cell(out, reinterpret_cast<const uint8_t*>(scratch.data()), scratch.size(), false);
      return;
    }
  }
}

}  // namespace

std::string write_records_text(const ArrowSchema& schema, const ArrowArray& array, const TextOptions& options,
                               TextBuffer& out, std::vector<int64_t>* ends) {
  TextColumn batch;
  std::string why = compile(schema, array, 0, batch);
  if (!why.empty()) return why;
  if (batch.kind != TextColumn::Kind::kStruct) return "a record batch must be a struct array of columns";
  TextBuffer scratch;
  const std::vector<TextColumn>& cols = batch.children;
  if (ends) ends->reserve(ends->size() + static_cast<size_t>(batch.length));
  for (int64_t i = 0; i < batch.length; ++i) {
    if (ends && i) ends->push_back(static_cast<int64_t>(out.size()));
    const bool row_null = batch.is_null(batch.offset + i);
    if (options.format == TextFormat::kJsonLines) {
      if (row_null) {
        out.put("null\n", 5);
        continue;
      }
      out.put('{');
      for (size_t k = 0; k < cols.size(); ++k) {
        if (k) out.put(", ", 2);
        out.put(cols[k].key.data(), cols[k].key.size());
        put_json(out, cols[k], batch.offset + i);
      }
      out.put("}\n", 2);
    } else {
      const size_t start = out.size();
      for (size_t k = 0; k < cols.size(); ++k) {
        if (k) out.put(',');
        if (!row_null) put_csv(out, scratch, cols[k], batch.offset + i, options.escape_formulas);
      }
      if (cols.size() == 1 && out.size() == start) out.put("\"\"", 2);
      out.put("\r\n", 2);
    }
  }
  if (ends && batch.length) ends->push_back(static_cast<int64_t>(out.size()));
  return {};
}

}  // namespace ls
