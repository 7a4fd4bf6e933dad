// Tokenizer and scan loop.
//
// Input: the prepared document (trimmed, NUL-free, ASCII-compatible or
// transcoded to UTF-8), at most kMaxDocumentBytes long.
// Output: start-tag, end-tag and text events on a TokenSink, in document
// order, each with byte offsets into the same buffer.
//
// The states follow the WHATWG tokenizer in outline (tag open, end tag open,
// bogus comment, comment, raw text, RCDATA, script data with its escaped
// states, plaintext) with these deliberate simplifications:
//   - a start tag that the input ends inside is dropped with everything after
//     it; an end tag that the input ends inside is still reported;
//   - DOCTYPE, CDATA and every other `<!` construct but comments end at the
//     first `>`; `<?` likewise;
//   - raw-text content ends at `</name` followed by space, `>`, `/` or the end
//     of input, matching name bytes with bit 0x20 ignored.
// Invariants: the loop never reads outside [0, doc.size()); every text event
// is non-empty; events come in increasing offset order; the only allocation
// is growth of the one attribute buffer in TokenizerScratch.
//
// Shape: skip to the next interesting byte (memchr / SSE2), then a small
// switch on the byte after it.
#include "tokenizer.h"

#include <array>
#include <cstring>

#include "byte_search.h"

namespace ls {

namespace {

constexpr std::array<uint8_t, 256> make_byte_class() {
  std::array<uint8_t, 256> t{};
  for (uint8_t c : {0x09, 0x0A, 0x0C, 0x0D, 0x20})
    t[c] = kClassSpace | kClassAttrEnd | kClassTagEnd | kClassValueEnd;
  t['='] |= kClassAttrEnd;
  t['/'] |= kClassAttrEnd | kClassTagEnd;
  t['>'] |= kClassAttrEnd | kClassTagEnd | kClassValueEnd;
  return t;
}
constexpr std::array<uint8_t, 256> kByteClassArray = make_byte_class();

inline const uint8_t* u8(Bytes b) { return reinterpret_cast<const uint8_t*>(b.data()); }

// First position at or after `from` whose byte has class `flag`, or n.
inline size_t run_until(const uint8_t* d, size_t n, size_t from, uint8_t flag) {
  while (from < n && !(kByteClass[d[from]] & flag)) ++from;
  return from;
}

inline size_t skip_space(const uint8_t* d, size_t n, size_t from) {
  while (from < n && (kByteClass[d[from]] & kClassSpace)) ++from;
  return from;
}

// "<" or "</" (prefix) then "script" in any ASCII case, then space, `>`, `/`
// or the end of input. `after` is pos + prefix + 6 whatever the answer.
struct NameAt {
  bool matched;
  size_t after;
};
NameAt tag_name_at(const uint8_t* d, size_t n, size_t pos, Bytes prefix) {
  size_t after = pos + prefix.size() + 6;
  if (after > n) return {false, after};
  if (std::memcmp(d + pos, prefix.data(), prefix.size()) != 0) return {false, after};
  static constexpr char kScript[] = "script";
  for (size_t i = 0; i < 6; ++i)
    if (ascii_lower(d[pos + prefix.size() + i]) != static_cast<uint8_t>(kScript[i]))
      return {false, after};
  bool ok = after == n || (kByteClass[d[after]] & kClassTagEnd);
  return {ok, after};
}

// Position of the `<` of the end tag that closes script content starting at
// c0, or n when the element has no end tag.
size_t find_script_end(const uint8_t* d, size_t n, size_t c0) {
  enum class Escape : uint8_t { kNormal, kEscaped, kDoubleEscaped };
  Escape s = Escape::kNormal;
  size_t pos = c0;
  const uint8_t* end = d + n;
  for (;;) {
    const uint8_t* hit = s == Escape::kNormal ? find_byte(d + pos, end, '<')
                                              : find_either(d + pos, end, '-', '<');
    if (hit == end) return n;
    size_t p = static_cast<size_t>(hit - d);
    if (s != Escape::kNormal && n - p >= 3 && std::memcmp(d + p, "-->", 3) == 0) {
      s = Escape::kNormal;
      pos = p + 3;
      continue;
    }
    if (d[p] != '<') {  // a '-' that does not start "-->"
      pos = p + 1;
      continue;
    }
    switch (s) {
      case Escape::kNormal:
        if (n - p >= 4 && std::memcmp(d + p, "<!--", 4) == 0) {
          s = Escape::kEscaped;
          pos = p + 4;
          continue;
        }
        if (tag_name_at(d, n, p, "</").matched) return p;
        pos = p + 1;
        break;
      case Escape::kEscaped: {
        if (tag_name_at(d, n, p, "</").matched) return p;
        NameAt open = tag_name_at(d, n, p, "<");
        if (open.matched) {
          s = Escape::kDoubleEscaped;
          pos = open.after;
        } else {
          pos = p + 1;
        }
        break;
      }
      case Escape::kDoubleEscaped: {
        NameAt close = tag_name_at(d, n, p, "</");
        if (close.matched) {
          s = Escape::kEscaped;
          pos = close.after;
        } else {
          pos = p + 1;
        }
        break;
      }
    }
  }
}

// Position of the `<` of "</name" ending raw text or RCDATA content, or n.
size_t find_raw_end(const uint8_t* d, size_t n, size_t c0, Bytes name) {
  const uint8_t* nm = u8(name);
  const size_t len = name.size();
  size_t pos = c0;
  for (;;) {
    const uint8_t* hit = find_byte(d + pos, d + n, '<');
    if (hit == d + n) return n;
    size_t p = static_cast<size_t>(hit - d);
    pos = p + 1;
    if (n - p < 2 + len || d[p + 1] != '/') continue;
    bool same = true;
    for (size_t i = 0; i < len && same; ++i) same = ((d[p + 2 + i] ^ nm[i]) & ~0x20) == 0;
    if (!same) continue;
    size_t after = p + 2 + len;
    if (after == n || (kByteClass[d[after]] & kClassTagEnd)) return p;
  }
}

}  // namespace

const uint8_t kByteClass[256] = {
#define LS_ROW(i) kByteClassArray[i], kByteClassArray[i + 1], kByteClassArray[i + 2], \
                  kByteClassArray[i + 3], kByteClassArray[i + 4], kByteClassArray[i + 5], \
                  kByteClassArray[i + 6], kByteClassArray[i + 7]
    LS_ROW(0),   LS_ROW(8),   LS_ROW(16),  LS_ROW(24),  LS_ROW(32),  LS_ROW(40),  LS_ROW(48),
    LS_ROW(56),  LS_ROW(64),  LS_ROW(72),  LS_ROW(80),  LS_ROW(88),  LS_ROW(96),  LS_ROW(104),
    LS_ROW(112), LS_ROW(120), LS_ROW(128), LS_ROW(136), LS_ROW(144), LS_ROW(152), LS_ROW(160),
    LS_ROW(168), LS_ROW(176), LS_ROW(184), LS_ROW(192), LS_ROW(200), LS_ROW(208), LS_ROW(216),
    LS_ROW(224), LS_ROW(232), LS_ROW(240), LS_ROW(248),
#undef LS_ROW
};

RawKind raw_kind_of(Bytes name) {
  if (name.size() > 10) return RawKind::kNormal;
  char low[10];
  for (size_t i = 0; i < name.size(); ++i) {
    uint8_t c = static_cast<uint8_t>(name[i]);
    if (c & 0x80) return RawKind::kNormal;  // cannot equal any of the ASCII names below
    low[i] = static_cast<char>(ascii_lower(c));
  }
  Bytes l(low, name.size());
  if (l == "script" || l == "style" || l == "xmp" || l == "iframe" || l == "noembed" ||
      l == "noframes")
    return RawKind::kRawText;
  if (l == "title" || l == "textarea") return RawKind::kEscapable;
  if (l == "plaintext") return RawKind::kPlaintext;
  return RawKind::kNormal;
}

size_t skip_to_gt(Bytes doc, size_t from) {
  const uint8_t* d = u8(doc);
  const uint8_t* hit = find_byte(d + std::min(from, doc.size()), d + doc.size(), '>');
  return hit == d + doc.size() ? doc.size() : static_cast<size_t>(hit - d) + 1;
}

size_t scan_comment(Bytes doc, size_t lt) {
  const uint8_t* d = u8(doc);
  const size_t n = doc.size();
  if (lt + 4 < n && d[lt + 4] == '>') return lt + 5;                       // <!-->
  if (lt + 5 < n && d[lt + 4] == '-' && d[lt + 5] == '>') return lt + 6;   // <!--->
  size_t pos = std::min(lt + 4, n);
  for (;;) {
    const uint8_t* hit = find_byte(d + pos, d + n, '-');
    if (hit == d + n) return n;
    size_t p = static_cast<size_t>(hit - d);
    if (n - p >= 3 && d[p + 1] == '-' && d[p + 2] == '>') return p + 3;
    if (n - p >= 4 && d[p + 1] == '-' && d[p + 2] == '!' && d[p + 3] == '>') return p + 4;
    pos = p + 1;
  }
}

AttrScan scan_attrs(Bytes doc, size_t from, std::vector<Attr>& attrs) {
  attrs.clear();
  const uint8_t* d = u8(doc);
  const size_t n = doc.size();
  size_t pos = from;
  for (;;) {
    if (pos >= n) return {n, false, false};
    uint8_t c = d[pos];
    if (kByteClass[c] & kClassSpace) {
      ++pos;
      continue;
    }
    if (c == '/') {
      if (pos + 1 < n && d[pos + 1] == '>') return {pos + 2, true, true};
      ++pos;
      continue;
    }
    if (c == '>') return {pos + 1, true, false};
    // An attribute name; a leading '=' belongs to it.
    size_t name_start = pos;
    size_t name_end = run_until(d, n, c == '=' ? pos + 1 : pos, kClassAttrEnd);
    Bytes name = doc.substr(name_start, name_end - name_start);
    size_t p = skip_space(d, n, name_end);
    if (p >= n || d[p] != '=') {
      attrs.push_back({name, Bytes(), false});
      pos = name_end;
      continue;
    }
    p = skip_space(d, n, p + 1);
    if (p >= n) {
      attrs.push_back({name, doc.substr(n, 0), true});
      pos = n;
      continue;
    }
    uint8_t q = d[p];
    if (q == '"' || q == '\'') {
      const uint8_t* close = find_byte(d + p + 1, d + n, q);
      size_t vend = static_cast<size_t>(close - d);
      attrs.push_back({name, doc.substr(p + 1, vend - (p + 1)), true});
      pos = close == d + n ? n : vend + 1;
      continue;
    }
    size_t vend = run_until(d, n, p, kClassValueEnd);
    attrs.push_back({name, doc.substr(p, vend - p), true});
    pos = vend;
  }
}

size_t tokenize(Bytes doc, TokenSink& sink, TokenizerScratch& scratch, bool early_stop) {
  LS_CHECK(doc.size() <= kMaxDocumentBytes);
  const uint8_t* d = u8(doc);
  const size_t n = doc.size();
  size_t pos = 0;
  size_t text_from = 0;
  auto emit_text = [&](size_t from, size_t to, bool decode) {
    if (to > from) sink.text(doc.substr(from, to - from), decode, static_cast<Offset>(from));
  };

  for (;;) {
    const uint8_t* hit = find_byte(d + pos, d + n, '<');
    if (hit == d + n || hit + 1 == d + n) {  // no `<`, or `<` is the last byte
      emit_text(text_from, n, true);
      return n;
    }
    const size_t lt = static_cast<size_t>(hit - d);
    const uint8_t c = d[lt + 1];
    size_t next;  // continuation position of the construct
    if (is_ascii_alpha(c)) {
      // Start tag.
      emit_text(text_from, lt, true);
      size_t name_end = run_until(d, n, lt + 1, kClassTagEnd);
      Bytes name = doc.substr(lt + 1, name_end - (lt + 1));
      AttrScan tag = scan_attrs(doc, name_end, scratch.attrs);
      if (!tag.closed) return n;  // the input ends inside the tag: drop it and the rest
      RawKind kind = raw_kind_of(name);
      sink.start_tag(name, scratch.attrs, tag.self_closing, static_cast<Offset>(lt),
                     static_cast<Offset>(tag.end));
      next = tag.end;
      if (kind != RawKind::kNormal && !tag.self_closing) {
        const size_t c0 = tag.end;
        if (kind == RawKind::kPlaintext) {
          emit_text(c0, n, false);
          return n;
        }
        const bool decode = kind == RawKind::kEscapable;
        const bool is_script = name.size() == 6 && ascii_iequals(name, "script");
        size_t q = is_script ? find_script_end(d, n, c0) : find_raw_end(d, n, c0, name);
        emit_text(c0, q, decode);
        if (q == n) return n;  // no end tag: the element stays open to the end
        AttrScan close = scan_attrs(doc, q + 2 + name.size(), scratch.attrs);
        sink.end_tag(name, static_cast<Offset>(q), static_cast<Offset>(close.end));
        next = close.end;
      }
    } else if (c == '/') {
      emit_text(text_from, lt, true);
      if (lt + 2 == n) {  // "</" ends the input: it is text
        emit_text(lt, n, true);
        return n;
      }
      const uint8_t c2 = d[lt + 2];
      if (is_ascii_alpha(c2)) {
        size_t name_end = run_until(d, n, lt + 2, kClassTagEnd);
        AttrScan tag = scan_attrs(doc, name_end, scratch.attrs);
        sink.end_tag(doc.substr(lt + 2, name_end - (lt + 2)), static_cast<Offset>(lt),
                     static_cast<Offset>(tag.end));
        next = tag.end;
      } else if (c2 == '>') {  // "</>": nothing
        next = lt + 3;
        sink.extend_pending_text(static_cast<Offset>(lt), static_cast<Offset>(next));
      } else {  // bogus comment
        next = skip_to_gt(doc, lt);
      }
    } else if (c == '!') {
      emit_text(text_from, lt, true);
      if (n - lt >= 4 && d[lt + 2] == '-' && d[lt + 3] == '-') {
        next = scan_comment(doc, lt);
      } else {
        next = skip_to_gt(doc, lt);
        if (n - lt >= 10 && ascii_iequals(doc.substr(lt + 2, 7), "doctype"))
          sink.extend_pending_text(static_cast<Offset>(lt), static_cast<Offset>(next));
      }
    } else if (c == '?') {
      emit_text(text_from, lt, true);
      next = skip_to_gt(doc, lt);
    } else {  // `<` followed by anything else is ordinary text
      pos = lt + 1;
      continue;
    }
    // Every construct consumes at least its "<" and the byte after it, so the
    // loop always advances.
    LS_DCHECK(next > lt);
    if (early_stop && sink.should_stop()) return next;
    if (next >= n) return n;
    pos = text_from = next;
  }
}

}  // namespace ls
