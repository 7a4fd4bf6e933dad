// The compiled schema: what one scan of a document needs to know about the
// queries, built once per Plan and read-only afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "matcher/decode.h"
#include "matcher/mask.h"
#include "selector_model.h"

namespace ls {

// Compiled selectors of one group: the container and one optional selector
// per sub-field (absent = unsupported; its columns stay empty).
struct CompiledGroup {
  std::optional<Selector> container;
  std::vector<std::optional<Selector>> fields;
};

// The selectors of a whole schema, as the routers produced them.
struct SchemaSelectors {
  std::vector<std::vector<Selector>> flat;  // one list per flat query
  std::vector<CompiledGroup> groups;
};

using Column = std::vector<std::string>;
using FlatResult = std::vector<Column>;                      // [query][value]
using GroupedResult = std::vector<std::vector<std::vector<Column>>>;  // [group][row][field][value]

struct ExtractResult {
  FlatResult flat;
  GroupedResult grouped;
};

class CompiledSchema {
 public:
  static CompiledSchema compile(SchemaSelectors selectors);

  // One scan over the prepared document.
  ExtractResult run(const EncodedInput& input) const;

  size_t flat_count() const { return n_flat_; }
  size_t group_count() const { return group_fields_.size(); }

  // First-only masks over flat query indices (see compile_first_only).
  Mask128 first_only_mask;
  Mask128 early_stop_mask;

 private:
  size_t n_flat_ = 0;
  std::vector<size_t> group_fields_;  // number of sub-fields per group
};

}  // namespace ls
