// The XPath front end: a downward subset of XPath 1.0 compiled into the
// selector model.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "selector_model.h"

namespace ls {

// Compiles a (possibly union) XPath expression into its member selectors;
// empty when unsupported. `depth` counts nested normalize-space() re-entry.
std::vector<Selector> compile_members_depth(std::string_view expr, unsigned depth);

// The expression as exactly one selector; absent when unsupported or when it
// has more than one member.
std::optional<Selector> compile(std::string_view expr);

// Pieces of the compiler, shared with the diagnostics and exposed for tests.
std::vector<std::string_view> split_top(std::string_view text, std::string_view sep);
std::optional<std::string_view> single_literal(std::string_view text);
// The expression with the spellings XPath reads alike made one (a space before
// a function's `(`, `and`/`or` against a quote or bracket, `child::` and
// `descendant::`); literals untouched.
std::string canonical(std::string_view text);

// Whether some byte outside single- or double-quoted literals satisfies `p`
// (the subset has no escapes inside literals).
template <class P>
bool any_outside_literals(std::string_view t, P p) {
  char quote = 0;
  for (char c : t) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (p(c)) {
      return true;
    }
  }
  return false;
}

// Most selectors one union member may expand into.
inline constexpr size_t kMaxAlternatives = 32;

}  // namespace ls
