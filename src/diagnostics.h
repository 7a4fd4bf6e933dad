// Explanations of unsupported queries, and the schema audit built on them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib.h"

namespace ls {

// Why a query (known to be unsupported as a flat query) is unsupported, in
// one of the fixed messages. The tests look at the query text only.
std::string reason(std::string_view query);
std::string xpath_reason(std::string_view query);

// Pieces of the tests, exposed for tests.
bool contains_ci(std::string_view haystack, std::string_view lower_needle);
bool not_arg_has_combinator(std::string_view text);
bool has_namespace_prefix(std::string_view text);
bool has_other_pseudo(std::string_view text);
std::vector<std::string_view> each_predicate(std::string_view text);
bool is_bare_absolute_nonroot(std::string_view text);

// The verdict on one query: absent reason means supported.
struct Support {
  std::optional<std::string> reason;
};

struct SchemaAudit {
  std::vector<Support> flat;
  std::vector<std::pair<Support, std::vector<Support>>> groups;  // (container, sub-fields)
  BudgetUsage budget;
};

// Audits a schema without reading any document.
SchemaAudit audit_schema(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups);

}  // namespace ls
