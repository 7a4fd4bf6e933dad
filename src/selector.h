// The CSS selector front end: a query string in, the selector model out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "selector_model.h"

namespace ls {

// Parses a CSS query (a selector list with optional ::text / ::attr(name)
// suffixes) into one Selector per comma-group member; empty when any part of
// the query is outside the supported subset.
std::vector<Selector> parse_list(std::string_view query);

// Pieces of the parser, shared with the diagnostics and exposed for tests.
std::vector<std::string_view> split_top_commas(std::string_view text);
std::optional<Selector> parse(std::string_view member);
std::optional<Compound> parse_compound_depth(std::string_view text, unsigned depth);
std::string_view trim_css(std::string_view text);
// Resolves CSS escapes. Inside a quoted string (`in_string`) a backslash before
// a newline is a line continuation and vanishes; elsewhere it fails.
std::optional<std::string> unescape_css(std::string_view text, bool in_string);
bool is_css_ident(std::string_view text);
std::optional<std::pair<int32_t, int32_t>> parse_anpb(std::string_view arg);

// Deepest nesting of :not / :is / :where / :has arguments.
inline constexpr unsigned kMaxSelectorDepth = 32;

}  // namespace ls
