// HTML character references (&name;, &#123;, &#x7B;) in decoded text.
#pragma once

#include <optional>
#include <string>

#include "base.h"
#include "text_value.h"

namespace ls::entities {

// Replaces character references in UTF-8 text and drops U+0000. Returns the
// input itself (no copy) when it holds neither `&` nor NUL. `in_attribute`
// applies the attribute-value rule for names written without a semicolon.
TextValue decode(Bytes text, bool in_attribute);

// The same, as a normalisation step: nothing when the text is unchanged.
std::optional<std::string> decode_step(Bytes text, bool in_attribute);

// The replacement of a named reference written with a semicolon (name given
// without it), or nothing. Exposed for tests.
std::optional<Bytes> lookup_named(Bytes name);
std::optional<Bytes> lookup_legacy(Bytes name);

}  // namespace ls::entities
