// Query syntax: whether a query is malformed, independently of the subset
// the compilers support.
//
// Two recognizers of the full grammars: CSS selector groups as cssselect
// parses them (with the `::text` / `::attr(name)` pseudo-elements parsel
// adds, and cssselect's functional pseudo-elements in general), and XPath
// 1.0 expressions. They build nothing: a query either parses in its
// language or stops at the first position where no reading can go on, and
// then says what was expected there. A query the subset compilers serve is
// never malformed, whatever the recognizers say (the subset has a few forms
// cssselect refuses, such as `:has(a, img)` members cssselect rejects).
//
// Recursion follows the nesting of parentheses, brackets and functional
// pseudo-classes, capped at kMaxSyntaxDepth: a query nested deeper is not
// judged (it is reported as not malformed, and the compilers refuse it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ls {

inline constexpr uint32_t kMaxSyntaxDepth = 200;

struct SyntaxError {
  uint32_t position = 0;  // in code points from the start of the query as given
  std::string expected;   // what the grammar allowed there, in words
};

// The raw recognizers, over the query text as given (`xpath_syntax_error`
// skips the leading and trailing XPath whitespace itself).
std::optional<SyntaxError> css_syntax_error(std::string_view query);
std::optional<SyntaxError> xpath_syntax_error(std::string_view query);

// A flat query or a group container, routed as compile_query routes it. A
// query routed as CSS that is valid XPath 1.0 is not malformed either.
std::optional<SyntaxError> query_syntax_error(std::string_view query);
// A group sub-field, routed as compile_sub routes it (`.`, `text()` and
// `@name` are XPath there).
std::optional<SyntaxError> sub_field_syntax_error(std::string_view field);

}  // namespace ls
