// Value decoding and normalisation.
//
// Input: raw document bytes of one value and the document's encoding.
// Output: UTF-8 text. The common case (UTF-8 or ASCII input, no CR, no
// reference, no NUL) returns a view of the input; every step that changes the
// text makes one copy. The searches for CR, `&` and NUL go a vector at a time.
#include "matcher/decode.h"

#include <cstring>

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

TextValue decode_attr(Bytes b, whatwg::Encoding enc) {
  return normalize_crlf(decode_bytes(b, enc)).then([](Bytes x) {
    return entities::decode_step(x, true);
  });
}

TextValue finalize(Bytes b, bool decode_entities, whatwg::Encoding enc) {
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

std::string EncodedInput::raw_source(Offset start, Offset end) const {
  LS_CHECK(start <= end && end <= bytes.size());
  return normalize_crlf(decode_bytes(bytes.substr(start, end - start), encoding)).to_string();
}

}  // namespace ls
