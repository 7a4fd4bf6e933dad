// Character references.
//
// Input: UTF-8 text (element text or an attribute value) and whether it is an
// attribute value. Output: the text with references replaced and U+0000
// removed. One left-to-right pass; no state between calls.
//
// Invariants: the pass never looks further back than the `&` it is at, and
// the named lookups are bounded by the longest name in each table, so input
// of any length is handled in linear time. Numeric values saturate at
// 2^32 - 1 instead of wrapping.
#include "entities.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "byte_search.h"
#include "whatwg/decode.h"

namespace ls::entities {

namespace {

// Views, so that a comparison knows both lengths without measuring a
// C string (the tables are built at compile time from the literals).
struct NamedRef {
  Bytes name;
  Bytes value;
};
#include "entities_generated.inc"

// Where the names of each first byte lie in a table sorted by bytes: a lookup
// searches only those (a handful), and most names that are no reference (the
// `&b` of a URL's query) fail on an empty range at once.
struct FirstByteRanges {
  std::array<uint16_t, 257> begin{};  // names starting with byte c: [begin[c], begin[c + 1])
};

template <size_t N>
constexpr FirstByteRanges first_byte_ranges(const NamedRef (&table)[N]) {
  static_assert(N < 65536);
  FirstByteRanges r;
  size_t i = 0;
  for (size_t c = 0; c < 256; ++c) {
    r.begin[c] = static_cast<uint16_t>(i);
    while (i < N && static_cast<uint8_t>(table[i].name[0]) == c) ++i;
  }
  r.begin[256] = static_cast<uint16_t>(i);
  return r;
}

constexpr FirstByteRanges kNamedRanges = first_byte_ranges(kNamed);
constexpr FirstByteRanges kLegacyRanges = first_byte_ranges(kLegacy);
static_assert(kNamedRanges.begin[256] == std::size(kNamed) && kLegacyRanges.begin[256] == std::size(kLegacy),
              "the tables are sorted by bytes and no name is empty");

// The lengths of the legacy names of each first byte, as bits (bit k: a
// name of k bytes): the longest-match loop tries only lengths that exist.
constexpr std::array<uint8_t, 256> legacy_lengths() {
  std::array<uint8_t, 256> bits{};
  for (const NamedRef& r : kLegacy) bits[static_cast<uint8_t>(r.name[0])] |= static_cast<uint8_t>(1u << r.name.size());
  return bits;
}
constexpr std::array<uint8_t, 256> kLegacyLengths = legacy_lengths();
static_assert(kLongestLegacyName < 8, "legacy name lengths fit the bits of a byte");

// The HTML standard's replacements for numeric references 0x80-0x9F.
constexpr uint16_t kC1Replacements[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

template <size_t N>
std::optional<Bytes> find(const NamedRef (&table)[N], const FirstByteRanges& ranges, Bytes name) {
  if (name.empty()) return std::nullopt;
  const uint8_t c = static_cast<uint8_t>(name[0]);
  const NamedRef* begin = table + ranges.begin[c];
  const NamedRef* end = table + ranges.begin[c + 1];
  const NamedRef* it =
      std::lower_bound(begin, end, name, [](const NamedRef& r, Bytes k) { return r.name < k; });
  if (it != end && it->name == name) return it->value;
  return std::nullopt;
}

inline bool is_alnum(uint8_t c) { return is_ascii_alpha(c) || is_ascii_digit(c); }

inline int digit_value(uint8_t c, bool hex) {
  if (is_ascii_digit(c)) return c - '0';
  if (hex) {
    uint8_t l = c | 0x20;
    if (l >= 'a' && l <= 'f') return l - 'a' + 10;
  }
  return -1;
}

uint32_t numeric_code_point(uint32_t v) {
  if (v == 0) return 0xFFFD;
  if (v >= 0x80 && v <= 0x9F) return kC1Replacements[v - 0x80];
  if ((v >= 0xD800 && v <= 0xDFFF) || v >= 0x110000) return 0xFFFD;
  return v;
}

// Handles the reference at text[i] == '&'; appends its replacement (or the
// '&' itself) and returns the position to continue at.
size_t decode_reference(Bytes t, size_t i, bool in_attribute, std::string& out) {
  const uint8_t* d = reinterpret_cast<const uint8_t*>(t.data());
  const size_t n = t.size();
  if (i + 1 >= n) {
    out.push_back('&');
    return i + 1;
  }
  if (d[i + 1] == '#') {
    const bool hex = i + 2 < n && (d[i + 2] | 0x20) == 'x';
    size_t p = i + (hex ? 3 : 2);
    if (p >= n || digit_value(d[p], hex) < 0) {
      out.push_back('&');
      return i + 1;
    }
    uint64_t v = 0;
    for (int dv; p < n && (dv = digit_value(d[p], hex)) >= 0; ++p)
      v = std::min<uint64_t>(v * (hex ? 16 : 10) + static_cast<uint64_t>(dv), 0xFFFFFFFFull);
    if (p < n && d[p] == ';') ++p;
    whatwg::append_utf8(out, numeric_code_point(static_cast<uint32_t>(v)));
    return p;
  }
  size_t e = i + 1;
  while (e < n && is_alnum(d[e])) ++e;
  const size_t run = e - (i + 1);
  if (run == 0) {
    out.push_back('&');
    return i + 1;
  }
  if (e < n && d[e] == ';' && run <= kLongestName) {
    // The most common reference by far, in URLs and text alike.
    if (run == 3 && d[i + 1] == 'a' && d[i + 2] == 'm' && d[i + 3] == 'p') {
      out.push_back('&');
      return e + 1;
    }
    if (auto r = find(kNamed, kNamedRanges, t.substr(i + 1, run))) {
      out.append(*r);
      return e + 1;
    }
  }
  const uint8_t lengths = kLegacyLengths[d[i + 1]];
  for (size_t len = std::min(run, kLongestLegacyName); len >= 1; --len) {
    if (!((lengths >> len) & 1)) continue;
    auto r = find(kLegacy, kLegacyRanges, t.substr(i + 1, len));
    if (!r) continue;
    const size_t after = i + 1 + len;
    if (in_attribute && after < n && (d[after] == '=' || is_alnum(d[after]))) {
      out.push_back('&');
      return i + 1;
    }
    out.append(*r);
    return after;
  }
  out.push_back('&');
  return i + 1;
}

}  // namespace

std::optional<Bytes> lookup_named(Bytes name) { return find(kNamed, kNamedRanges, name); }
std::optional<Bytes> lookup_legacy(Bytes name) { return find(kLegacy, kLegacyRanges, name); }

std::optional<std::string> decode_step(Bytes t, bool in_attribute) {
  const uint8_t* d = reinterpret_cast<const uint8_t*>(t.data());
  const uint8_t* end = d + t.size();
  const uint8_t* hit = find_either(d, end, '&', '\0');
  if (hit == end) return std::nullopt;
  std::string out;
  out.reserve(t.size());
  size_t i = 0;
  while (hit != end) {
    size_t h = static_cast<size_t>(hit - d);
    out.append(t.data() + i, h - i);
    i = *hit == '\0' ? h + 1 : decode_reference(t, h, in_attribute, out);
    hit = find_either(d + i, end, '&', '\0');
  }
  out.append(t.data() + i, t.size() - i);
  return out;
}

TextValue decode(Bytes text, bool in_attribute) {
  return TextValue::view(text).then([&](Bytes b) { return decode_step(b, in_attribute); });
}

}  // namespace ls::entities
