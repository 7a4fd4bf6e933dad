// The CSS selector front end.
#pragma once

#include <string_view>
#include <vector>

#include "selector_model.h"

namespace ls {

// Parses a CSS query (a selector list with optional ::text / ::attr(name)
// suffixes) into one Selector per comma-group member; empty when any part of
// the query is outside the supported subset.
std::vector<Selector> parse_list(std::string_view query);

}  // namespace ls
