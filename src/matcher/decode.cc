// Value decoding and normalisation.
//
// Input: raw document bytes of one value and the document's encoding.
// Output: UTF-8 text. The common case (UTF-8 or ASCII input, no CR, no
// reference, no NUL) returns a view of the input after one pass that tests
// for all four at once (value_traits, a vector at a time); every step that
// changes the text makes one copy.
#include "matcher/decode.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "byte_search.h"
#include "entities.h"
#include "whatwg/decode.h"

namespace ls {

namespace {

std::optional<std::string> crlf_step(Bytes t) {
  const void* cr = t.empty() ? nullptr : std::memchr(t.data(), '\r', t.size());
  if (!cr) return std::nullopt;
  std::string out;
  out.reserve(t.size());
  size_t i = 0;
  while (i < t.size()) {
    size_t r = t.find('\r', i);
    if (r == Bytes::npos) {
      out.append(t.substr(i));
      break;
    }
    out.append(t.substr(i, r - i));
    out.push_back('\n');
    i = r + 1;
    if (i < t.size() && t[i] == '\n') ++i;
  }
  return out;
}

std::optional<std::string> strip_nul_step(Bytes t) {
  const void* nul = t.empty() ? nullptr : std::memchr(t.data(), '\0', t.size());
  if (!nul) return std::nullopt;
  std::string out;
  out.reserve(t.size());
  for (char c : t)
    if (c != '\0') out.push_back(c);
  return out;
}

}  // namespace

uint8_t value_traits(Bytes b) {
  const uint8_t* p = reinterpret_cast<const uint8_t*>(b.data());
  const uint8_t* end = p + b.size();
  uint8_t traits = 0;
#if defined(__SSE2__)
  // The four tests accumulate in registers; one movemask each at the end.
  __m128i high = _mm_setzero_si128(), cr = high, amp = high, nul = high;
  const __m128i k_cr = _mm_set1_epi8('\r'), k_amp = _mm_set1_epi8('&'), zero = _mm_setzero_si128();
  auto add = [&](__m128i v) {
    high = _mm_or_si128(high, v);
    cr = _mm_or_si128(cr, _mm_cmpeq_epi8(v, k_cr));
    amp = _mm_or_si128(amp, _mm_cmpeq_epi8(v, k_amp));
    nul = _mm_or_si128(nul, _mm_cmpeq_epi8(v, zero));
  };
  // Every test is an OR over the bytes, so testing a byte twice changes
  // nothing: the tail is covered by vectors that overlap bytes already
  // tested, made only of the value's own bytes (never a padding byte, which
  // would read as a NUL), instead of a byte at a time.
  const size_t n = b.size();
  if (n >= 16) {
    for (; end - p >= 16; p += 16) add(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    if (p != end) add(_mm_loadu_si128(reinterpret_cast<const __m128i*>(end - 16)));
    p = end;
  } else if (n >= 8) {
    uint64_t first, last;
    std::memcpy(&first, p, 8);
    std::memcpy(&last, end - 8, 8);
    add(_mm_set_epi64x(static_cast<long long>(last), static_cast<long long>(first)));
    p = end;
  } else if (n >= 4) {
    uint32_t first, last;
    std::memcpy(&first, p, 4);
    std::memcpy(&last, end - 4, 4);
    add(_mm_set_epi32(static_cast<int>(last), static_cast<int>(first), static_cast<int>(last),
                      static_cast<int>(first)));
    p = end;
  }
  if (_mm_movemask_epi8(high)) traits |= kValueNonAscii;
  if (_mm_movemask_epi8(cr)) traits |= kValueCr;
  if (_mm_movemask_epi8(amp)) traits |= kValueAmp;
  if (_mm_movemask_epi8(nul)) traits |= kValueNul;
#endif
  for (; p < end; ++p) {
    const uint8_t c = *p;
    if (c & 0x80) traits |= kValueNonAscii;
    else if (c == '\r') traits |= kValueCr;
    else if (c == '&') traits |= kValueAmp;
    else if (c == 0) traits |= kValueNul;
  }
  return traits;
}

namespace {

// Whether the bytes are the same text in UTF-8 (every ASCII-compatible
// encoding maps ASCII bytes to themselves).
inline bool same_in_utf8(Bytes b, uint8_t traits, whatwg::Encoding enc) {
  return !(traits & kValueNonAscii) || (enc == whatwg::Encoding::kUtf8 && whatwg::utf8_is_valid(b));
}

}  // namespace

TextValue decode_bytes(Bytes b, whatwg::Encoding enc) {
  const uint8_t* d = reinterpret_cast<const uint8_t*>(b.data());
  if (enc == whatwg::Encoding::kUtf8) {
    if (whatwg::utf8_is_valid(b)) return TextValue::view(b);
  } else if (find_non_ascii(d, d + b.size()) == d + b.size()) {
    // Every encoding scanned as bytes maps ASCII bytes to themselves.
    return TextValue::view(b);
  }
  std::string out;
  whatwg::decode_append(enc, b, out);
  return TextValue::owned(std::move(out));
}

TextValue normalize_crlf(TextValue t) { return std::move(t).then(crlf_step); }

// decode_attr and finalize look at the bytes once: most values need no step
// and come back as a view without any further pass.
TextValue decode_attr(Bytes b, whatwg::Encoding enc) {
  const uint8_t traits = value_traits(b);
  if (!(traits & (kValueCr | kValueAmp | kValueNul)) && same_in_utf8(b, traits, enc)) return TextValue::view(b);
  return normalize_crlf(decode_bytes(b, enc)).then([](Bytes x) {
    return entities::decode_step(x, true);
  });
}

TextValue finalize(Bytes b, bool decode_entities, whatwg::Encoding enc) {
  const uint8_t traits = value_traits(b);
  const uint8_t steps = kValueCr | kValueNul | (decode_entities ? kValueAmp : 0);
  if (!(traits & steps) && same_in_utf8(b, traits, enc)) return TextValue::view(b);
  TextValue t = normalize_crlf(decode_bytes(b, enc));
  if (decode_entities)
    return std::move(t).then([](Bytes x) { return entities::decode_step(x, false); });
  return std::move(t).then(strip_nul_step);
}

std::string normalize_space(Bytes t) {
  std::string out;
  out.reserve(t.size());
  bool pending = false;
  for (char c : t) {
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ') {
      pending = !out.empty();
      continue;
    }
    if (pending) out.push_back(' ');
    pending = false;
    out.push_back(c);
  }
  return out;
}

Bytes EncodedInput::raw_source(Offset start, Offset end, ValueArena& arena) const {
  LS_CHECK(start <= end && end <= bytes.size());
  return stable(normalize_crlf(decode_bytes(bytes.substr(start, end - start), encoding)), arena);
}

}  // namespace ls
