// The XPath front end: a downward subset of XPath 1.0.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "selector_model.h"

namespace ls {

// Compiles a (possibly union) XPath expression into its member selectors;
// empty when unsupported. `depth` bounds nested re-entry.
std::vector<Selector> compile_members_depth(std::string_view expr, unsigned depth);

// The expression as exactly one selector; absent when unsupported or when it
// has more than one member.
std::optional<Selector> compile(std::string_view expr);

}  // namespace ls
