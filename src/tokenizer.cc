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
// Shape: skip to the next interesting byte, then a small switch on the byte
// after it. The searches look at 32 bytes at a time (AVX2, chosen at run time
// when the CPU has it), 16 (SSE2, the x86-64 baseline) or 8 (SWAR, any other
// platform); the scan loop itself (tokenizer_scan.inc) is compiled once per
// instruction set so that each variant's searches are inlined into it.
#include "tokenizer.h"

#include <array>
#include <cstring>

#include "byte_search.h"
#include "tag_lookup.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define LS_SCAN_X86 1
#endif

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

namespace {

inline const uint8_t* u8(Bytes b) { return reinterpret_cast<const uint8_t*>(b.data()); }

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
inline NameAt tag_name_at(const uint8_t* d, size_t n, size_t pos, Bytes prefix) {
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

// Where a scan that met a NUL resumes, in the NUL-free copy.
struct Resume {
  size_t pos = 0, text_from = 0;
  // Raw-text content starting at `pos` whose start tag has been delivered.
  bool in_raw = false;
  RawKind raw_kind = RawKind::kNormal;
  TagId tag = kTagOther;
  size_t name_at = 0, name_len = 0;  // the start tag's name
};

struct Outcome {
  size_t end;  // how far the scan read, or the NUL when `nul`
  bool nul;
};

// How the attributes of a tag ended.
struct AttrScan {
  size_t end;         // position after the closing `>`, or n; the NUL when `nul`
  bool closed;        // false: the input ended inside the tag
  bool self_closing;  // the tag ended with "/>"
  bool nul = false;   // stopped at a NUL byte at `end`; nothing else is valid
};

// The vector kernels. Each variant's V gives, for the kWidth bytes at q, one
// bit per byte:
//   byte_or_nul(q, b)          the byte is b or 0x00;
//   either_or_nul(q, a, b)     the byte is a, b or 0x00;
//   any3_or_nul(q, a, b, c)    the byte is a, b, c or 0x00.

namespace portable {

// SWAR: eight bytes in a 64-bit word. swar_zero_lanes is exact, so the
// lowest flagged lane is the first match.
struct V {
  static constexpr size_t kWidth = 8;
  static uint64_t word(const uint8_t* q) {
    uint64_t w;
    std::memcpy(&w, q, 8);
    return w;
  }
  // One bit per byte: the lane flags (bit 7 of each byte) gathered; the
  // products of distinct lanes land on distinct bits, so nothing carries.
  static uint32_t gather(uint64_t lanes) {
    return static_cast<uint32_t>(((lanes >> 7) * 0x0102040810204080ull) >> 56);
  }
  static uint32_t byte_or_nul(const uint8_t* q, uint8_t b) {
    const uint64_t w = word(q);
    return gather(swar_zero_lanes(w ^ swar_broadcast(b)) | swar_zero_lanes(w));
  }
  static uint32_t either_or_nul(const uint8_t* q, uint8_t a, uint8_t b) {
    const uint64_t w = word(q);
    return gather(swar_zero_lanes(w ^ swar_broadcast(a)) | swar_zero_lanes(w ^ swar_broadcast(b)) |
                  swar_zero_lanes(w));
  }
  static uint32_t any3_or_nul(const uint8_t* q, uint8_t a, uint8_t b, uint8_t c) {
    const uint64_t w = word(q);
    return gather(swar_zero_lanes(w ^ swar_broadcast(a)) | swar_zero_lanes(w ^ swar_broadcast(b)) |
                  swar_zero_lanes(w ^ swar_broadcast(c)) | swar_zero_lanes(w));
  }
};

#include "tokenizer_scan.inc"

}  // namespace portable

#if defined(LS_SCAN_X86)

namespace sse2 {

struct V {
  static constexpr size_t kWidth = 16;
  static __m128i load(const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); }
  static __m128i eq(__m128i v, uint8_t b) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(b))); }
  static uint32_t bits(__m128i m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
  static uint32_t byte_or_nul(const uint8_t* q, uint8_t b) {
    const __m128i v = load(q);
    return bits(_mm_or_si128(eq(v, b), eq(v, 0)));
  }
  static uint32_t either_or_nul(const uint8_t* q, uint8_t a, uint8_t b) {
    const __m128i v = load(q);
    return bits(_mm_or_si128(_mm_or_si128(eq(v, a), eq(v, b)), eq(v, 0)));
  }
  static uint32_t any3_or_nul(const uint8_t* q, uint8_t a, uint8_t b, uint8_t c) {
    const __m128i v = load(q);
    return bits(_mm_or_si128(_mm_or_si128(eq(v, a), eq(v, b)), _mm_or_si128(eq(v, c), eq(v, 0))));
  }
};

#include "tokenizer_scan.inc"

}  // namespace sse2

// The AVX2 variant: every function defined from here to the matching pop is
// compiled for AVX2 (functions defined elsewhere, such as the standard
// library's, keep the baseline), and it runs only on a CPU that has it.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace avx2 {

struct V {
  static constexpr size_t kWidth = 32;
  static __m256i load(const uint8_t* q) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)); }
  static __m256i eq(__m256i v, uint8_t b) { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(b))); }
  static uint32_t bits(__m256i m) { return static_cast<uint32_t>(_mm256_movemask_epi8(m)); }
  static uint32_t byte_or_nul(const uint8_t* q, uint8_t b) {
    const __m256i v = load(q);
    return bits(_mm256_or_si256(eq(v, b), eq(v, 0)));
  }
  static uint32_t either_or_nul(const uint8_t* q, uint8_t a, uint8_t b) {
    const __m256i v = load(q);
    return bits(_mm256_or_si256(_mm256_or_si256(eq(v, a), eq(v, b)), eq(v, 0)));
  }
  static uint32_t any3_or_nul(const uint8_t* q, uint8_t a, uint8_t b, uint8_t c) {
    const __m256i v = load(q);
    return bits(_mm256_or_si256(_mm256_or_si256(eq(v, a), eq(v, b)), _mm256_or_si256(eq(v, c), eq(v, 0))));
  }
};

#include "tokenizer_scan.inc"

}  // namespace avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // LS_SCAN_X86

using RunScan = Outcome (*)(Bytes, TokenSink&, std::vector<Attr>&, Resume&, bool);

RunScan variant(ScanIsa isa) {
  switch (isa) {
#if defined(LS_SCAN_X86)
    case ScanIsa::kAvx2: return avx2::run_scan;
    case ScanIsa::kSse2: return sse2::run_scan;
#endif
    default: return portable::run_scan;
  }
}

std::vector<ScanIsa> detect_isas() {
  std::vector<ScanIsa> out{ScanIsa::kPortable};
#if defined(LS_SCAN_X86)
  out.push_back(ScanIsa::kSse2);
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) out.push_back(ScanIsa::kAvx2);
#endif
  return out;
}

const std::vector<ScanIsa>& isas() {
  static const std::vector<ScanIsa> kIsas = detect_isas();
  return kIsas;
}

}  // namespace

// The prescan's comment scanner: NUL is an ordinary byte here.
size_t scan_comment(Bytes doc, size_t lt) {
  const uint8_t* d = u8(doc);
  const size_t n = doc.size();
  if (lt + 4 < n && d[lt + 4] == '>') return lt + 5;                      // <!-->
  if (lt + 5 < n && d[lt + 4] == '-' && d[lt + 5] == '>') return lt + 6;  // <!--->
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

std::span<const ScanIsa> available_isas() { return isas(); }

ScanIsa default_isa() { return isas().back(); }

size_t tokenize_with(ScanIsa isa, Bytes doc, TokenSink& sink, TokenizerScratch& scratch, bool early_stop) {
  LS_CHECK(doc.size() <= kMaxDocumentBytes);
  const RunScan run = variant(isa);
  Resume at;
  for (;;) {
    const Outcome o = run(doc, sink, scratch.attrs, at, early_stop);
    if (!o.nul) return o.end;
    // The copy has no NUL, so this happens at most once per document.
    LS_CHECK(!scratch.nul_free || doc.data() != scratch.nul_free->data());
    if (!scratch.nul_free) scratch.nul_free = std::make_unique<std::string>();
    copy_without_nul(doc, o.end, *scratch.nul_free);
    doc = *scratch.nul_free;
    sink.document_replaced(doc);
  }
}

size_t tokenize(Bytes doc, TokenSink& sink, TokenizerScratch& scratch, bool early_stop) {
  return tokenize_with(default_isa(), doc, sink, scratch, early_stop);
}

}  // namespace ls
