// XPath subset compiler.
//
// Input: one trimmed XPath expression. Output: its member selectors, or the
// empty list. Not yet built: until the XPath subset is implemented every
// expression is reported unsupported, so its column stays empty.
#include "xpath.h"

namespace ls {

std::vector<Selector> compile_members_depth(std::string_view expr, unsigned depth) { return {}; }

std::optional<Selector> compile(std::string_view expr) {
  std::vector<Selector> members = compile_members_depth(expr, 0);
  if (members.size() != 1) return std::nullopt;
  return std::move(members[0]);
}

}  // namespace ls
