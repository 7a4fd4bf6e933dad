// Links joined to a page's base URL by concatenation, where a cheap test
// proves the concatenation is what Python's `urllib.parse.urljoin(base, link)`
// answers.
//
// The package resolves a page's links as Scrapy's `response.urljoin` does,
// which is urljoin. Calling it costs microseconds per link; most links have a
// shape for which its answer is the link itself or one of a few strings made
// once per base followed by the link. This tells which, for one link; the
// caller makes the strings and calls urljoin for the links answered
// kUnproven. The proofs, read off urllib.parse and checked against it by the
// package's tests over generated bases and links, hold for a base of scheme
// http or https with a host, and a link of printable ASCII less what changes a
// URL as urlsplit and urlunsplit read and write it:
//
// - tab, CR and LF, which urlsplit deletes, and controls or spaces it strips in
//   front: a relative link starting with one is unproven;
// - `;` (params: urlunparse drops a trailing empty one), `[` and `]` (an IPv6
//   host, validated), an empty query or fragment (`?#`, a final `?`): dropped.
//
// Then urljoin's answers are:
// - `http(s)://host...`: the link, split and put together unchanged (or, for
//   the other of the two schemes, returned as it is); `//host...`: the base's
//   scheme, `:`, the link.
// - `/path` with no segment starting with `.` (urljoin removes `.` and `..`
//   segments): the base's origin (`scheme://netloc`) and the link.
// - a relative path (no scheme by urlsplit's own test, not starting with
//   `.?#`, a space or a control, no `//`, whose empty segments urljoin drops,
//   no `/.`): the base's directory and the link. The directory is
//   `urljoin(base, "x")` less its `x`: urljoin treats the base's path alike
//   whatever dot-free, non-empty segments follow it.
// - `#fragment`: the base without its fragment, then the link.
// - an empty link: the base; a link whose only `#` ends it: joined as the link
//   without it (urlsplit reads the same parts from both), `#` alone being the
//   base without its fragment.
// - any other `scheme:...`: the link as it is (urljoin returns a link of
//   another scheme untouched), once urlsplit accepts it: it refuses only a `//`
//   authority with brackets; here tab, CR and LF are refused, as they could
//   hide a `//`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ls {

enum class LinkJoin : uint8_t {
  kUnproven,      // only urljoin knows
  kBase,          // the base
  kAsIs,          // the link's first `length` bytes
  kFragmentless,  // the base without its fragment, then the link's first `length` bytes
  kOrigin,        // the base's `scheme://netloc`, then the link
  kScheme,        // the base's scheme and `:`, then the link
  kDirectory,     // the base's directory, then the link
};

struct LinkShape {
  LinkJoin join = LinkJoin::kUnproven;
  size_t length = 0;  // how much of the link follows the prefix
};

// `link` must be ASCII (the caller sends other links to urljoin); `https`
// tells the base's scheme, http or https, as urlsplit gives it (lowercase).
LinkShape link_shape(std::string_view link, bool https);

}  // namespace ls
