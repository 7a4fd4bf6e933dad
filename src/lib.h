// The core's front door: query routing, input preparation, plans, the budget
// and the extraction entry points. The binding calls only what is declared
// here; every entry point that can meet a fault is noexcept and reports it
// as a `Fault` value.
#pragma once

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base.h"
#include "matcher/schema.h"
#include "selector_model.h"
#include "text_value.h"
#include "whatwg/labels.h"

namespace ls {

struct GroupQuery {
  std::string container;
  std::vector<std::pair<std::string, std::string>> fields;  // (name, query), caller order
};

// Routers: a flat query, a group container, a grouped sub-field. A sub-field
// written as absolute XPath (`//h1`) is refused: XPath would search the whole
// document from it, not the container, and a one-pass row cannot hold what
// lies outside its container.
std::vector<Selector> compile_query(std::string_view query);
std::optional<Selector> compile_one(std::string_view query);
std::optional<Selector> compile_sub(std::string_view field);

// The routing decisions behind the routers, exposed for tests.
bool routes_to_xpath(Bytes trimmed_query);
struct SubRoute {
  enum class Via : uint8_t { kCompileOne, kXPath } via;
  std::string query;              // the text handed to that compiler
  std::optional<uint32_t> anchor;  // absent: the field is compiled unchanged
};
SubRoute route_sub(std::string_view field);

SchemaSelectors compile_schema(const std::vector<std::string>& flat,
                               const std::vector<GroupQuery>& groups);

// Budget limits: the widths of the matcher's masks.
inline constexpr uint32_t kMaxMembers = 128;
inline constexpr uint32_t kMaxSibBits = 64;
// Group sub-fields take no mask slot, but every element inside an open
// container is tested against each of its group's sub-fields: the bound keeps
// a schema's cost per element within a few times that of a full flat budget.
inline constexpr uint32_t kMaxSubFields = 256;

struct BudgetUsage {
  uint32_t members = 0;  // mask slots: flat members (a gated sibling counts two) and containers
  uint32_t sib_bits = 0;
  uint32_t sub_fields = 0;  // declared group sub-fields, over all groups
};
BudgetUsage count_budget(const SchemaSelectors& s);
BudgetUsage budget_usage(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups);
// The ValueError message for an over-budget schema; absent when accepted.
std::optional<std::string> budget_error(BudgetUsage usage);

// Whether a query is absolute XPath (`//x`, `/html/x`, `normalize-space(//x)`):
// evaluated from the document, it also sees the top-level elements after the
// first (content after </html>); CSS and relative XPath see the first only.
bool absolute_xpath(std::string_view query);

// Whether a sub-field is written as absolute XPath (refused by compile_sub).
bool absolute_sub_field(std::string_view field);

// Why a query cannot be a group's container or sub-field, if its shape says so.
std::optional<std::string> group_shape_reason(std::string_view query);

// What an outer-HTML value of a query stands for: the tag every member's
// subject is pinned to (if they agree), and whether a subject could be an
// html/head/body element that the engine synthesized (it has no attributes).
struct NodeIdentity {
  std::optional<std::string> pinned_tag;
  bool synthesized = true;
};
NodeIdentity node_identity(const std::vector<Selector>& members);

// Trims 09-0D/20 from both ends and drops a UTF-8 byte-order mark that
// follows the leading whitespace (when `strip_bom`): a sub-range of `doc`,
// never a copy. NUL bytes are left for the scan, which removes them if it
// meets one (see tokenize), so that a document without NUL is never copied
// or searched whole for it.
Bytes trim_document(Bytes doc, bool strip_bom);

// A document ready for the scan (NUL bytes still in it).
struct PreparedDocument {
  Bytes bytes;  // the caller's bytes, or *owned
  std::unique_ptr<std::string> owned;  // the transcoded document, when there is one
  whatwg::Encoding encoding = whatwg::Encoding::kUtf8;
};
// kDocumentTooLarge when a prepared document of `size` bytes cannot be
// addressed by 32-bit offsets.
Fault check_prepared_size(uint64_t size);

// Resolves the encoding, transcodes the encodings that are not ASCII-
// compatible, and trims. Fails only with kDocumentTooLarge.
Fault prepare_document(Bytes doc, std::optional<Bytes> label, PreparedDocument& out);

class Plan {
 public:
  Plan() = default;
  Plan(CompiledSchema schema, BudgetUsage usage) : schema_(std::move(schema)), usage_(usage) {}

  // Prepares the document and runs the schema over it. Read-only: any number
  // of calls may run at once on one plan.
  Fault extract(Bytes doc, std::optional<Bytes> label, ExtractResult& out) const noexcept;

  const CompiledSchema& schema() const { return schema_; }
  BudgetUsage usage() const { return usage_; }

 private:
  CompiledSchema schema_;
  BudgetUsage usage_;
};

// Sets the plan's first-only and early-stop masks on a compiled schema.
void set_first_only_masks(CompiledSchema& s, const std::vector<bool>& first_only);

// `first_only[q]` keeps only the first value of flat query q; it may be
// shorter or longer than the query list.
Fault compile_first_only(const std::vector<std::string>& flat, const std::vector<GroupQuery>& groups,
                         const std::vector<bool>& first_only, Plan& out) noexcept;

// Budget counting behind a fault guard, for the binding.
Fault budget_usage_guarded(const std::vector<std::string>& flat,
                           const std::vector<GroupQuery>& groups, BudgetUsage& out) noexcept;

// The free entry points: a throw-away plan, one scan.
Fault extract(Bytes doc, const std::vector<std::string>& flat, std::optional<Bytes> label,
              ExtractResult& out) noexcept;
Fault extract_grouped(Bytes doc, const std::vector<std::string>& flat,
                      const std::vector<GroupQuery>& groups, std::optional<Bytes> label,
                      ExtractResult& out) noexcept;

// Runs `f` and turns a broken invariant or an allocation failure into a Fault.
template <class F>
Fault guarded(F&& f) noexcept {
  try {
    f();
    return {};
  } catch (const InternalFault& e) {
    return Fault{FaultKind::kInternal, std::string("larkspine: internal fault: ") + e.message};
  } catch (const std::bad_alloc&) {
    return Fault{FaultKind::kOutOfMemory, {}};
  } catch (...) {
    return Fault{FaultKind::kInternal, "larkspine: internal fault: unexpected exception"};
  }
}

}  // namespace ls
