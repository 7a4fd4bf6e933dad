// The query compilers under fuzzing: the CSS parser, the XPath compiler, the
// routers, the schema compiler, the diagnostics and the audit. Input: up to
// four queries separated by 0xFF.
//
// Oracles:
//   - every selector any router returns satisfies the model's invariants,
//     and compiling twice gives the same selectors;
//   - compile_one gives the lone selector of compile_query (when it is not a
//     normalize-space scalar nor carries column steps) and nothing for a
//     comma group or union;
//   - the schema compiles without a fault, alone and together;
//   - the audit calls a query supported exactly when it yields a column:
//     supported queries compiled to at least one selector, and every
//     unsupported one has one of the fixed explanations, never the one that
//     says the taxonomy of causes has a gap.
#include "diagnostics.h"
#include "fuzz/checks.h"
#include "selector.h"

namespace ls::fuzz {

namespace {

constexpr Bytes kTaxonomyGap = "comma group is unsupported here, and none of the three known causes";

std::optional<std::string> check_members(const std::vector<Selector>& members, const char* router) {
  for (const Selector& s : members)
    if (std::optional<std::string> v = model_violation(s))
      return std::string(router) + ": " + *v + " in " + dump(s);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> check_query(Bytes input) {
  std::vector<std::string> queries;
  size_t start = 0;
  for (size_t i = 0; i <= input.size() && queries.size() < 4; ++i)
    if (i == input.size() || input[i] == '\xFF') {
      queries.emplace_back(input.substr(start, i - start));
      start = i + 1;
    }

  for (const std::string& q : queries) {
    const std::vector<Selector> members = compile_query(q);
    if (auto v = check_members(members, "compile_query")) return v;
    if (compile_query(q) != members) return "compile_query is not deterministic";

    const std::optional<Selector> one = compile_one(q);
    if (one)
      if (auto v = check_members({*one}, "compile_one")) return v;
    // A scalar, or a column with column steps (`(//li)[4]`, `string(p)`,
    // `text()[normalize-space()]`), is a flat column only: compile_one
    // refuses it.
    const bool flat_only = members.size() == 1 && (members[0].terminal.kind == Terminal::Kind::kNormalizeSpace ||
                                                   !members[0].post.empty());
    if (members.size() == 1 && !flat_only ? one != members[0] : one.has_value())
      return "compile_one disagrees with compile_query";

    // As a sub-field (the router rewrites relative forms and sets anchors).
    if (std::optional<Selector> sub = compile_sub(q)) {
      Selector unanchored = *sub;
      unanchored.anchor.reset();
      if (auto v = check_members({unanchored}, "compile_sub")) return v;
    }
    group_shape_reason(q);
    node_identity(members);
  }

  // The schema: every query flat, and the first as a container of the others.
  std::vector<GroupQuery> groups;
  if (!queries.empty()) {
    GroupQuery g{queries[0], {}};
    for (size_t i = 1; i < queries.size(); ++i) g.fields.emplace_back(std::string("f").append(std::to_string(i)), queries[i]);
    groups.push_back(std::move(g));
  }
  Plan plan;
  if (Fault f = compile_first_only(queries, groups, {true, true, true, true}, plan)) return "compile: " + f.message;

  SchemaAudit audit;
  Fault f = guarded([&] { audit = audit_schema(queries, groups); });
  if (f) return "audit: " + f.message;
  if (audit.flat.size() != queries.size()) return "audit shape";
  for (size_t i = 0; i < queries.size(); ++i) {
    const Support& s = audit.flat[i];
    if (!s.reason && compile_query(queries[i]).empty()) return "audit supports a query that compiles to nothing";
    if (s.reason && (s.reason->empty() || Bytes(*s.reason).starts_with(kTaxonomyGap)))
      return "audit reason for query " + std::to_string(i) + ": " + *s.reason;
  }
  for (const auto& [container, subs] : audit.groups) {
    if (container.reason && container.reason->empty()) return "empty container reason";
    for (const Support& s : subs)
      if (s.reason && s.reason->empty()) return "empty sub-field reason";
  }
  return std::nullopt;
}

}  // namespace ls::fuzz
