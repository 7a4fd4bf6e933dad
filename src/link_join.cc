#include "link_join.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ls {

namespace {

constexpr size_t kNone = std::string_view::npos;

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// urlsplit's test for a scheme: an ASCII letter, then letters, digits, `+`,
// `-` or `.`, then `:`. Returns where the `:` is, or kNone.
size_t scheme_end(std::string_view link) {
  if (link.empty() || !is_alpha(link[0])) return kNone;
  for (size_t i = 1; i < link.size(); ++i) {
    const char c = link[i];
    if (c == ':') return i;
    if (!is_alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return kNone;
  }
  return kNone;
}

// Whether link[0, end) is the base's scheme, compared as urlsplit lowercases it.
bool is_base_scheme(std::string_view link, size_t end, bool https) {
  const std::string_view want = https ? "https" : "http";
  if (end != want.size()) return false;
  for (size_t i = 0; i < end; ++i)
    if ((link[i] | 0x20) != want[i]) return false;  // want is lowercase letters only
  return true;
}

bool is_one_of(char c, std::string_view set) { return set.find(c) != kNone; }

// What the shapes test a link for (see the header), found in one pass.
struct Bytes {
  bool unproven = false;        // tab, CR, LF, `;`, `[` or `]`
  bool empty_fragment = false;  // "?#": an empty query, dropped
  bool slash_dot = false;       // "/.": a segment urljoin may remove
  bool slash_slash = false;     // "//": an empty segment urljoin drops (or an authority)
};

#if defined(__SSE2__)
// Sixteen bytes at a time, since links are tested by the thousand per page.
// Pairs are found from one byte's mask shifted onto the next, carrying the
// last lane of each block into the next block. The last block is copied into
// a zeroed one: a zero byte is none of those looked for and ends no pair.
Bytes scan_bytes(std::string_view link) {
  const auto lane = [](__m128i v, char c) {
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
  };
  unsigned unproven = 0, empty_fragment = 0, slash_dot = 0, slash_slash = 0;
  unsigned slash_before = 0, query_before = 0;  // the previous block's last lane
  const char* p = link.data();
  size_t left = link.size();
  while (left > 0) {
    __m128i v;
    if (left >= 16) {
      v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    } else {
      alignas(16) char last[16] = {};
      std::memcpy(last, p, left);
      v = _mm_load_si128(reinterpret_cast<const __m128i*>(last));
    }
    unproven |= lane(v, '\t') | lane(v, '\n') | lane(v, '\r') | lane(v, ';') | lane(v, '[') | lane(v, ']');
    const unsigned slash = lane(v, '/'), query = lane(v, '?');
    const unsigned after_slash = (slash << 1) | slash_before;
    empty_fragment |= ((query << 1) | query_before) & lane(v, '#');
    slash_dot |= after_slash & lane(v, '.');
    slash_slash |= after_slash & slash;
    slash_before = (slash >> 15) & 1;
    query_before = (query >> 15) & 1;
    const size_t step = left < 16 ? left : 16;
    p += step;
    left -= step;
  }
  // Only the low 16 bits are lanes: a shifted-out bit 16 is no byte of the link.
  constexpr unsigned kLanes = 0xFFFF;
  return {(unproven & kLanes) != 0, (empty_fragment & kLanes) != 0, (slash_dot & kLanes) != 0,
          (slash_slash & kLanes) != 0};
}
#else
Bytes scan_bytes(std::string_view link) {
  Bytes seen;
  char previous = 0;
  for (const char c : link) {
    seen.unproven |= c == '\t' || c == '\n' || c == '\r' || c == ';' || c == '[' || c == ']';
    seen.empty_fragment |= previous == '?' && c == '#';
    seen.slash_dot |= previous == '/' && c == '.';
    seen.slash_slash |= previous == '/' && c == '/';
    previous = c;
  }
  return seen;
}
#endif

// A link of a scheme other than the base's, which urljoin returns untouched.
LinkShape other_scheme(std::string_view link, bool https) {
  const size_t end = scheme_end(link);
  if (end == kNone || is_base_scheme(link, end, https)) return {};
  for (const char c : link)
    if (c == '\t' || c == '\n' || c == '\r') return {};
  const std::string_view rest = link.substr(end + 1);
  if (rest.substr(0, 2) == "//") {
    const size_t stop = rest.find_first_of("/?#", 2);
    const std::string_view host = rest.substr(2, stop == kNone ? kNone : stop - 2);
    for (const char c : host)
      if (c == '[' || c == ']') return {};
  }
  return {LinkJoin::kAsIs, link.size()};
}

// A link that passed the tests in front of the shapes (see the header).
LinkShape shape(std::string_view link, const Bytes& seen, bool https) {
  const size_t n = link.size();
  // The order of the tests is the frequency of the shapes: most links are absolute.
  if (link.substr(0, 8) == "https://")
    return n > 8 && !is_one_of(link[8], "/?#") ? LinkShape{LinkJoin::kAsIs, n} : LinkShape{};
  if (link.substr(0, 7) == "http://")
    return n > 7 && !is_one_of(link[7], "/?#") ? LinkShape{LinkJoin::kAsIs, n} : LinkShape{};
  const char head = link[0];
  if (head == '#') return {LinkJoin::kFragmentless, n};
  if (head == '/') {
    if (n > 1 && link[1] == '/')  // //host...: the base's scheme, if the host is not empty
      return n > 2 && !is_one_of(link[2], "/?#") ? LinkShape{LinkJoin::kScheme, n} : LinkShape{};
    return seen.slash_dot ? LinkShape{} : LinkShape{LinkJoin::kOrigin, n};
  }
  if (scheme_end(link) != kNone) return other_scheme(link, https);
  // No scheme: a relative path.
  if (is_one_of(head, ".?#") || static_cast<unsigned char>(head) <= ' ' || seen.slash_slash || seen.slash_dot)
    return {};
  return {LinkJoin::kDirectory, n};
}

}  // namespace

LinkShape link_shape(std::string_view link, bool https) {
  if (link.empty()) return {LinkJoin::kBase, 0};
  if (link.back() == '#' && link.find('#') == link.size() - 1) {
    // An empty fragment is dropped as urlsplit reads the link: "x#" joins as
    // "x", unless urljoin returns the link untouched, being of another scheme.
    if (link.size() == 1) return {LinkJoin::kFragmentless, 0};
    const size_t end = scheme_end(link);
    if (end == kNone || is_base_scheme(link, end, https)) link.remove_suffix(1);
  }
  const Bytes seen = scan_bytes(link);
  if (!seen.unproven && !seen.empty_fragment && !is_one_of(link.back(), "?#")) return shape(link, seen, https);
  return other_scheme(link, https);
}
}  // namespace ls
