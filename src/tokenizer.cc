// Tokenizer and scan loop.
//
// Input: the prepared document (trimmed, ASCII-compatible or transcoded to
// UTF-8), at most kMaxDocumentBytes long, possibly still holding NUL bytes.
// Output: start-tag, end-tag and text events on a TokenSink, in document
// order, each with byte offsets into the buffer being scanned; the events are
// those of the document with every NUL byte removed.
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
//
// NUL bytes. Removing them beforehand would cost a pass over every document
// for a byte that almost none contains, so the scan removes them itself:
// every search also stops at NUL, and every fixed-position test fails on one
// (NUL is in no byte class and equals no byte the tests look for), after
// which a search resumes at or before it. So the first NUL is always met
// before any event that would depend on it or on anything after it. At that
// point the scan gives up the construct it is in, the document is replaced
// by its NUL-free copy (which equals it before the NUL), and the scan resumes
// where that construct began: at `text_from` for text (everything from there
// is undelivered), at the `<` for a tag or comment whose preceding text was
// delivered, or at the content start of raw text whose start tag was.
// Decisions that compare with the end of input agree in both buffers for
// every position before the first NUL, since the copy is at least that long.
//
// Invariants: the loop never reads outside [0, doc.size()); every text event
// is non-empty; events come in increasing offset order; the only allocations
// are growth of the one attribute buffer and the one NUL-free copy.
//
// Shape: skip to the next interesting byte (SSE2 / SWAR), then a small switch
// on the byte after it.
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
  t[0] = kClassNul;
  return t;
}
constexpr std::array<uint8_t, 256> kByteClassArray = make_byte_class();

inline const uint8_t* u8(Bytes b) { return reinterpret_cast<const uint8_t*>(b.data()); }

// First position at or after `from` whose byte has a class in `flags`, or n.
inline size_t run_until(const uint8_t* d, size_t n, size_t from, uint8_t flags) {
  while (from < n && !(kByteClass[d[from]] & flags)) ++from;
  return from;
}

inline size_t skip_space(const uint8_t* d, size_t n, size_t from) {
  while (from < n && (kByteClass[d[from]] & kClassSpace)) ++from;
  return from;
}

inline bool nul_at(const uint8_t* d, size_t n, size_t p) { return p < n && d[p] == 0; }

// A position a search reached, or the NUL byte that stopped it.
struct Found {
  size_t pos;
  bool nul;
};

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
Found find_script_end(const uint8_t* d, size_t n, size_t c0) {
  enum class Escape : uint8_t { kNormal, kEscaped, kDoubleEscaped };
  Escape s = Escape::kNormal;
  size_t pos = c0;
  const uint8_t* end = d + n;
  for (;;) {
    const uint8_t* hit = s == Escape::kNormal ? find_byte_or_nul(d + pos, end, '<')
                                              : find_either_or_nul(d + pos, end, '-', '<');
    if (hit == end) return {n, false};
    size_t p = static_cast<size_t>(hit - d);
    if (*hit == 0) return {p, true};
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
        if (tag_name_at(d, n, p, "</").matched) return {p, false};
        pos = p + 1;
        break;
      case Escape::kEscaped: {
        if (tag_name_at(d, n, p, "</").matched) return {p, false};
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
Found find_raw_end(const uint8_t* d, size_t n, size_t c0, Bytes name) {
  const uint8_t* nm = u8(name);
  const size_t len = name.size();
  size_t pos = c0;
  for (;;) {
    const uint8_t* hit = find_byte_or_nul(d + pos, d + n, '<');
    if (hit == d + n) return {n, false};
    size_t p = static_cast<size_t>(hit - d);
    if (*hit == 0) return {p, true};
    pos = p + 1;
    if (n - p < 2 + len || d[p + 1] != '/') continue;
    bool same = true;
    for (size_t i = 0; i < len && same; ++i) same = ((d[p + 2 + i] ^ nm[i]) & ~0x20) == 0;
    if (!same) continue;
    size_t after = p + 2 + len;
    if (after == n || (kByteClass[d[after]] & kClassTagEnd)) return {p, false};
  }
}

// Just after the first `>` at or after `from`, or n.
Found skip_to_gt(const uint8_t* d, size_t n, size_t from) {
  const uint8_t* hit = find_byte_or_nul(d + std::min(from, n), d + n, '>');
  if (hit == d + n) return {n, false};
  const size_t p = static_cast<size_t>(hit - d);
  return *hit ? Found{p + 1, false} : Found{p, true};
}

// `kStopAtNul`: the scan's form, which reports a NUL; otherwise NUL is an
// ordinary byte.
template <bool kStopAtNul>
Found comment_end(const uint8_t* d, size_t n, size_t lt) {
  if (lt + 4 < n && d[lt + 4] == '>') return {lt + 5, false};                      // <!-->
  if (lt + 5 < n && d[lt + 4] == '-' && d[lt + 5] == '>') return {lt + 6, false};  // <!--->
  size_t pos = std::min(lt + 4, n);
  for (;;) {
    const uint8_t* hit = kStopAtNul ? find_byte_or_nul(d + pos, d + n, '-') : find_byte(d + pos, d + n, '-');
    if (hit == d + n) return {n, false};
    size_t p = static_cast<size_t>(hit - d);
    if (kStopAtNul && *hit == 0) return {p, true};
    if (n - p >= 3 && d[p + 1] == '-' && d[p + 2] == '>') return {p + 3, false};
    if (n - p >= 4 && d[p + 1] == '-' && d[p + 2] == '!' && d[p + 3] == '>') return {p + 4, false};
    pos = p + 1;
  }
}

// Where a scan that met a NUL resumes, in the NUL-free copy.
struct Resume {
  size_t pos = 0, text_from = 0;
  // Raw-text content starting at `pos` whose start tag has been delivered.
  bool in_raw = false;
  RawKind raw_kind = RawKind::kNormal;
  size_t name_at = 0, name_len = 0;  // the start tag's name
};

struct Outcome {
  size_t end;  // how far the scan read, or the NUL when `nul`
  bool nul;
};

// One pass of the scan loop over one buffer.
class Scan {
 public:
  Scan(Bytes doc, TokenSink& sink, std::vector<Attr>& attrs)
      : doc_(doc), d_(u8(doc)), n_(doc.size()), sink_(sink), attrs_(attrs) {}

  Outcome run(Resume& at, bool early_stop);

 private:
  void emit_text(size_t from, size_t to, bool decode) {
    if (to > from) sink_.text(doc_.substr(from, to - from), decode, static_cast<Offset>(from));
  }
  // Raw-text content from c0: the text and the end tag. `next` is where the
  // scan goes on, n when the content runs to the end of input.
  Found raw_content(size_t name_at, size_t name_len, RawKind kind, size_t c0);

  Bytes doc_;
  const uint8_t* d_;
  size_t n_;
  TokenSink& sink_;
  std::vector<Attr>& attrs_;
};

Found Scan::raw_content(size_t name_at, size_t name_len, RawKind kind, size_t c0) {
  const uint8_t* d = d_;
  const size_t n = n_;
  if (kind == RawKind::kPlaintext) {
    const void* nul = c0 < n ? std::memchr(d + c0, 0, n - c0) : nullptr;
    if (nul) return {static_cast<size_t>(static_cast<const uint8_t*>(nul) - d), true};
    emit_text(c0, n, false);
    return {n, false};
  }
  const Bytes name = doc_.substr(name_at, name_len);
  const bool decode = kind == RawKind::kEscapable;
  const bool is_script = name_len == 6 && ascii_iequals(name, "script");
  const Found q = is_script ? find_script_end(d, n, c0) : find_raw_end(d, n, c0, name);
  if (q.nul) return q;
  if (q.pos == n) {  // no end tag: the element stays open to the end
    emit_text(c0, n, decode);
    return {n, false};
  }
  // The end tag is read before anything is delivered, so that a NUL in it
  // leaves the whole content undelivered.
  const AttrScan close = scan_attrs(doc_, q.pos + 2 + name_len, attrs_);
  if (close.nul) return {close.end, true};
  emit_text(c0, q.pos, decode);
  sink_.end_tag(name, static_cast<Offset>(q.pos), static_cast<Offset>(close.end));
  return {close.end, false};
}

Outcome Scan::run(Resume& at, bool early_stop) {
  const uint8_t* d = d_;
  const size_t n = n_;
  size_t pos = at.pos;
  size_t text_from = at.text_from;
  // A NUL met inside the construct at `lt`, whose preceding text is delivered.
  auto nul_in_construct = [&](size_t lt, size_t nul) {
    at = Resume{lt, lt};
    return Outcome{nul, true};
  };

  for (;;) {
    size_t next;  // continuation position of the construct
    if (at.in_raw) {
      const Found r = raw_content(at.name_at, at.name_len, at.raw_kind, pos);
      if (r.nul) return {r.pos, true};  // `at` stays as it is
      at.in_raw = false;
      if (r.pos >= n) return {n, false};
      next = r.pos;
    } else {
      const uint8_t* hit = find_byte_or_nul(d + pos, d + n, '<');
      if (hit != d + n && *hit == 0) {
        at = Resume{text_from, text_from};
        return {static_cast<size_t>(hit - d), true};
      }
      if (hit == d + n || hit + 1 == d + n) {  // no `<`, or `<` is the last byte
        emit_text(text_from, n, true);
        return {n, false};
      }
      const size_t lt = static_cast<size_t>(hit - d);
      const uint8_t c = d[lt + 1];
      if (is_ascii_alpha(c)) {
        // Start tag.
        emit_text(text_from, lt, true);
        const size_t name_end = run_until(d, n, lt + 1, kClassTagEnd | kClassNul);
        if (nul_at(d, n, name_end)) return nul_in_construct(lt, name_end);
        const Bytes name = doc_.substr(lt + 1, name_end - (lt + 1));
        const AttrScan tag = scan_attrs(doc_, name_end, attrs_);
        if (tag.nul) return nul_in_construct(lt, tag.end);
        if (!tag.closed) return {n, false};  // the input ends inside the tag: drop it and the rest
        const RawKind kind = raw_kind_of(name);
        sink_.start_tag(name, attrs_, tag.self_closing, static_cast<Offset>(lt),
                        static_cast<Offset>(tag.end));
        next = tag.end;
        if (kind != RawKind::kNormal && !tag.self_closing) {
          at = Resume{tag.end, tag.end, true, kind, lt + 1, name.size()};
          pos = tag.end;
          continue;  // the content, from the raw-text branch above
        }
      } else if (c == '/') {
        emit_text(text_from, lt, true);
        if (lt + 2 == n) {  // "</" ends the input: it is text
          emit_text(lt, n, true);
          return {n, false};
        }
        const uint8_t c2 = d[lt + 2];
        if (is_ascii_alpha(c2)) {
          const size_t name_end = run_until(d, n, lt + 2, kClassTagEnd | kClassNul);
          if (nul_at(d, n, name_end)) return nul_in_construct(lt, name_end);
          const AttrScan tag = scan_attrs(doc_, name_end, attrs_);
          if (tag.nul) return nul_in_construct(lt, tag.end);
          sink_.end_tag(doc_.substr(lt + 2, name_end - (lt + 2)), static_cast<Offset>(lt),
                        static_cast<Offset>(tag.end));
          next = tag.end;
        } else if (c2 == '>') {  // "</>": nothing
          next = lt + 3;
          sink_.extend_pending_text(static_cast<Offset>(lt), static_cast<Offset>(next));
        } else {  // bogus comment
          const Found gt = skip_to_gt(d, n, lt);
          if (gt.nul) return nul_in_construct(lt, gt.pos);
          next = gt.pos;
        }
      } else if (c == '!') {
        emit_text(text_from, lt, true);
        if (n - lt >= 4 && d[lt + 2] == '-' && d[lt + 3] == '-') {
          const Found e = comment_end<true>(d, n, lt);
          if (e.nul) return nul_in_construct(lt, e.pos);
          next = e.pos;
        } else {
          const Found gt = skip_to_gt(d, n, lt);
          if (gt.nul) return nul_in_construct(lt, gt.pos);
          next = gt.pos;
          // "doctype" has no `>`, so when it matches, skip_to_gt has read it.
          if (n - lt >= 10 && ascii_iequals(doc_.substr(lt + 2, 7), "doctype"))
            sink_.extend_pending_text(static_cast<Offset>(lt), static_cast<Offset>(next));
        }
      } else if (c == '?') {
        emit_text(text_from, lt, true);
        const Found gt = skip_to_gt(d, n, lt);
        if (gt.nul) return nul_in_construct(lt, gt.pos);
        next = gt.pos;
      } else {  // `<` followed by anything else (a NUL included) is ordinary text
        pos = lt + 1;
        continue;
      }
      // Every construct consumes at least its "<" and the byte after it, so
      // the loop always advances.
      LS_DCHECK(next > lt);
    }
    if (early_stop && sink_.should_stop()) return {next, false};
    if (next >= n) return {n, false};
    pos = text_from = next;
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

size_t scan_comment(Bytes doc, size_t lt) { return comment_end<false>(u8(doc), doc.size(), lt).pos; }

// Every position at which a byte is examined stops at NUL: the loop head
// (NUL is none of space, `/`, `>`), the ends of names and unquoted values,
// and the quote search. A NUL anywhere else fails a fixed test and is
// examined next by one of these.
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
    if (c == 0) return {pos, false, false, true};
    // An attribute name; a leading '=' belongs to it.
    size_t name_start = pos;
    size_t name_end = run_until(d, n, c == '=' ? pos + 1 : pos, kClassAttrEnd | kClassNul);
    if (nul_at(d, n, name_end)) return {name_end, false, false, true};
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
      const uint8_t* close = find_byte_or_nul(d + p + 1, d + n, q);
      size_t vend = static_cast<size_t>(close - d);
      if (nul_at(d, n, vend)) return {vend, false, false, true};
      attrs.push_back({name, doc.substr(p + 1, vend - (p + 1)), true});
      pos = close == d + n ? n : vend + 1;
      continue;
    }
    size_t vend = run_until(d, n, p, kClassValueEnd | kClassNul);
    if (nul_at(d, n, vend)) return {vend, false, false, true};
    attrs.push_back({name, doc.substr(p, vend - p), true});
    pos = vend;
  }
}

void copy_without_nul(Bytes doc, size_t first_nul, std::string& out) {
  LS_CHECK(first_nul <= doc.size());
  out.resize(doc.size());
  std::memcpy(out.data(), doc.data(), first_nul);
  size_t w = first_nul;
  const uint8_t* d = u8(doc);
  const uint8_t* end = d + doc.size();
  for (const uint8_t* p = d + first_nul; p < end;) {
    const uint8_t* nul = find_byte(p, end, 0);
    std::memcpy(out.data() + w, p, static_cast<size_t>(nul - p));
    w += static_cast<size_t>(nul - p);
    p = nul + (nul < end);
  }
  out.resize(w);
}

size_t tokenize(Bytes doc, TokenSink& sink, TokenizerScratch& scratch, bool early_stop) {
  LS_CHECK(doc.size() <= kMaxDocumentBytes);
  Resume at;
  for (;;) {
    const Outcome o = Scan(doc, sink, scratch.attrs).run(at, early_stop);
    if (!o.nul) return o.end;
    // The copy has no NUL, so this happens at most once per document.
    LS_CHECK(doc.data() != scratch.nul_free.data());
    copy_without_nul(doc, o.end, scratch.nul_free);
    doc = scratch.nul_free;
    sink.document_replaced(doc);
  }
}

}  // namespace ls
