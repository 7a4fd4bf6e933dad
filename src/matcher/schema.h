// The compiled schema: the matcher's read-only form of one schema, built once
// per Plan by CompiledSchema::compile (compile.cc) and shared by every scan.
//
// Streamed selectors (CSel, SubSel) are decided at an element's start tag;
// deferred templates (RevEntry, HasEntry, TextEntry) are decided when an
// element (or its parent) closes and deliver through a Dest, possibly by
// re-running a small TailSchema over the decided element's source. The
// summaries at the end let the per-tag path skip whole mechanisms.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "matcher/arena.h"
#include "matcher/buffers.h"
#include "matcher/decode.h"
#include "matcher/mask.h"
#include "matcher/needle.h"
#include "selector_model.h"
#include "tags.h"

namespace ls {

// Compounds joined only by Descendant and Child; selectors are cut into
// segments at every Adjacent / Sibling combinator.
struct Segment {
  std::optional<uint32_t> anchor;  // first segment only: exact depth below the base
  std::vector<Compound> compounds;  // at least one; `sig` filled in
  std::vector<Comb> combs;          // Descendant / Child only
  bool relative = false;            // first segment only: strictly below the base
  // First segment of a tail only: the first compound's parent is an element
  // the tail was decided for (a base; see Matcher::mark_base).
  bool base_child = false;
  // Slots of this segment's descendant-joined chains, other than the last one,
  // in the matcher's nearest-match table (see Matcher::update_chain_memo).
  uint32_t chain_slot = 0;
  // A template's segment after a boundary (a gated template): the sibling
  // bit its first compound's element must carry, which a feeder CSel sets;
  // -1 for none.
  int32_t gate = -1;
  friend bool operator==(const Segment&, const Segment&) = default;
};

// A streamed selector: a flat-query member or a group container.
struct CSel {
  std::vector<Segment> segments;
  std::vector<Comb> sib_combs;     // per boundary: `+`, `~`, following or following-first
  std::vector<uint32_t> sib_bits;  // per boundary, 0..63; empty when cold or one segment
  Terminal terminal;
  uint32_t dest = 0;  // query index when flat, else group index
  bool flat = true;
  bool cold = false;  // beyond the masks: never matched
  // Matched only to emit its sibling bits and set them on the elements after
  // its boundaries; it never has a subject. Its last segment is the first
  // compound after the boundary, where a gated template's segment starts.
  bool feeder = false;
};

struct SubSel {
  std::optional<Segment> segment;  // absent: the sub-field yields nothing
  Terminal terminal;
};

struct GroupSpec {
  std::vector<SubSel> subs;
};

// Where a decided deferred match delivers.
struct Dest {
  // kHasEvidence: a text template for the argument of has_entries[value]
  // that tests its own text (XPath `//tr[td[.="x"]]`); a true decision is
  // :has() evidence for the candidate's parent (and, through it, above).
  enum class Kind : uint8_t { kOwn, kNewTail, kSharedTail, kDead, kGateBit, kHasEvidence };
  Kind kind = Kind::kDead;
  uint32_t value = 0;  // tail index, member count (shared), sibling bit or :has() template
};

struct DeferredTemplate {
  Segment segment;  // the prefix ending at the deferred compound
  Dest dest;
  Terminal terminal;
  std::optional<uint32_t> query;  // absent for a gated sibling
  bool cold = false;
  // XPath `//h3[contains(., 'x')][1]`: only the first candidate among its
  // siblings whose decision holds is released. Siblings close in document
  // order, so the first to hold is the first in the document; the parent
  // remembers that it has released one (ColdState::first_taken).
  bool first_among_siblings = false;
};

struct RevEntry : DeferredTemplate {
  Rev rev;
  bool tag_tracked = false;
  bool simple_last = false;
};

struct HasEntry : DeferredTemplate {
  Has has;
  explicit HasEntry(Has h) : has(std::move(h)) {}
};

struct TextEntry : DeferredTemplate {
  TextPred text;
  // Filled at the end of compilation: the literal, and for a normalized
  // equality the literal after one space (a candidate's part of a
  // normalized stream may start with the space before it).
  Needle needle, spaced;
};

class CompiledSchema;
struct TailContext;

struct TailSchema {
  std::shared_ptr<const CompiledSchema> schema;
  std::vector<uint32_t> queries;  // member i's values go to column queries[i]
};

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
  // Per flat query and per group container: whether it searches every
  // top-level element (absolute XPath, evaluated from the document) or only
  // the first one (CSS and relative XPath, evaluated from the root element,
  // as parsel evaluates them). Content after an </html> end tag stands in a
  // later top-level element. Empty lists: every query searches everything.
  std::vector<bool> flat_first_root, container_first_root;
};

// A value is a view of UTF-8 text: of the caller's document bytes, or of the
// ValueArena of the result it belongs to (see arena.h).
using Column = std::vector<Bytes>;
using FlatResult = std::vector<Column>;                                 // [query][value]
using GroupedResult = std::vector<std::vector<std::vector<Column>>>;  // [group][row][field][value]

// The result of one call. Its values are valid while both the result (its
// arena) and the document bytes passed to the call are alive.
struct ExtractResult {
  FlatResult flat;
  GroupedResult grouped;
  size_t scanned = 0;  // bytes the scan read (less than the document after an early stop)
  ValueArena arena;
};

class CompiledSchema {
 public:
  static CompiledSchema compile(const SchemaSelectors& selectors);

  // One scan over the prepared document (or a byte range of it, for tails).
  // Values that are not views of the document, and the NUL-free copy of the
  // document if the scan made one, go to `arena`; the result's own arena is
  // left empty.
  // A tail scan passes the context of its candidate (see
  // Matcher::seed_context).
  ExtractResult run(const EncodedInput& input, ValueArena& arena, const TailContext* context = nullptr) const;

  size_t flat_count() const { return query_count; }
  size_t group_count() const { return groups.size(); }

  std::vector<CSel> csels;
  std::vector<std::string> attr_names;  // lower-cased, distinct ignoring case
  std::vector<GroupSpec> groups;
  std::vector<std::pair<uint32_t, uint32_t>> containers;  // (CSel index, group index)
  std::vector<std::string> of_type_tags;
  std::vector<RevEntry> revs;
  std::vector<HasEntry> has_entries;
  std::vector<TextEntry> text_entries;
  std::vector<TailSchema> tails;
  // Column steps (ValueOp) of the flat queries that have them, by query
  // index; run over the finished columns (apply_post_ops). Never in a tail.
  std::vector<std::pair<uint32_t, std::vector<ValueOp>>> post_ops;
  // Idle scan buffers, lent to each scan of this schema (see buffers.h): the
  // one thing a scan changes, under its own lock; everything else here is
  // read-only once compiled.
  std::unique_ptr<BufferPool> buffer_pool = std::make_unique<BufferPool>();

  // The compounds whose filtered positions (Nth::filtered) the scan counts,
  // without their position: slot j is Nth::slot j. Counted per level after
  // the of-type counters.
  std::vector<Compound> filtered_slots;
  // Per filtered slot: counted over the whole document (Nth::global) rather
  // than among siblings.
  std::vector<uint8_t> filtered_global;
  // Positional counters per stack level: the child count, one per of-type
  // tag, one per filtered slot.
  uint32_t counter_stride = 1;
  bool any_filtered = false;  // filtered_slots is not empty
  Mask128 merged_queries;
  // What only the first top-level element may hold (see SchemaSelectors):
  // masks over csels and over each template list.
  Mask128 first_root_csels, first_root_revs, first_root_has, first_root_texts;
  // The first-root CSels with more than one segment: their first segment
  // stands in the first top-level element, but an element after it
  // (`./following-sibling::*` from the root, `.//p/following::b`) may stand
  // in a later one. In later top-level elements only their first segment
  // stands aside.
  Mask128 first_root_lead_csels;
  bool any_first_root = false;
  Mask128 early_stop_mask;  // set by the plan compiler
  Mask128 first_only_mask;  // set by the plan compiler
  uint64_t ungated_bits = ~uint64_t{0};
  // Sibling bits of following:: boundaries: an element that ends a segment
  // before one arms its bit document-wide when it closes (not when it
  // starts, and not in its parent); following_first_bits are consumed by the
  // first element that takes them (following::E[1]).
  uint64_t following_bits = 0, following_first_bits = 0;
  bool any_following = false;
  uint32_t query_count = 0;
  uint32_t chain_slots = 0;  // non-last chains over every matched segment

  // Every slot of the nearest-match table as one flat list, for the
  // per-element update: the chain is compounds [lo, hi] of *segment, and
  // `sig` is the signature of compound hi, which the element must carry.
  // The pointers stay valid because a CompiledSchema is never copied (its
  // buffer pool makes it move-only) and moving it moves the vectors' storage
  // without moving their elements; index_chains runs last in compile.
  struct ChainRef {
    uint64_t sig;
    const Segment* segment;
    uint32_t lo, hi;
    uint32_t slot;
  };
  std::vector<ChainRef> chains;
  std::vector<uint64_t> chains_by_tag;  // per tag id: bit i when chains[i] can end at it (<= 64 chains)
  void index_chains();

  // A compact view of the CSels for the per-tag loop: one entry per CSel,
  // the subject compound's signature for a one-segment selector.
  struct Quick {
    uint64_t subject_sig = 0;
    enum class Kind : uint8_t { kCold, kOneSegment, kSegments } kind = Kind::kCold;
  };
  std::vector<Quick> quick;
  // Dispatch by tag id (kTagCount entries): what an element of that id can
  // take part in, so that the per-tag work looks only at candidates.
  struct TagDispatch {
    Mask128 csels;        // CSels with a segment whose last compound admits the id
    Mask128 sibling;      // multi-segment CSels with a later segment whose first compound admits it
    uint64_t attrs = 0;   // attr_names to keep (bit i: attr_names[i]), when attrs_by_tag
    uint64_t tag_sig = 0;  // the id's tag signature (kTagOther: computed from the name)
  };
  std::vector<TagDispatch> by_tag;
  std::vector<uint8_t> attr_interest;  // per tag id: by_tag[id].attrs != 0 (for the scan)
  bool attrs_by_tag = false;  // attr_names has at most 64 names; otherwise every tag keeps all
  // The templates an element of the id can be a candidate for, and the
  // :has() arguments it can be evidence for (empty without templates).
  struct TagTemplates {
    Mask128 revs, has, texts, has_evidence;
  };
  std::vector<TagTemplates> templates_by_tag;

  // CSels (below 128, flat, dest below 128) by what they deliver.
  Mask128 text_own_csels, text_subtree_csels, outer_csels, attr_csels, attr_descendant_csels;
  // CSels whose value is the text after the subject among its parent's
  // children: the subject's close opens its parent's own text to the column.
  Mask128 text_after_csels;
  bool any_text_after = false;
  uint64_t sig_union = 0;
  bool sig_tag = false, sig_class = false, sig_id = false;
  bool attr_names_non_ascii = false;
  bool wants_source = false;
  bool any_sibling = false;
  bool any_normalize = false;
  bool normalize_outer = false;
  bool any_positional = false;
  bool any_revs = false, any_has_entries = false, any_text = false;
  bool any_base_child = false;  // some segment has base_child: tail scans mark their bases
};

// The 128-bit mask slots a flat query's members take: one each, and two for
// a lone member that is a gated sibling (`dt:contains("x") + dd`: its
// streamed selector and the close-time template that opens its gate). The
// budget counts these, so that every slot a query uses is within it.
uint32_t mask_slots(const std::vector<Selector>& members);

// Runs the schema's column steps over a finished flat result, in place.
// Linear in the bytes of the columns it touches; a value it cuts stays a view
// of the bytes the uncut value viewed.
void apply_post_ops(const CompiledSchema& s, FlatResult& flat);

// A readable dump of a compiled schema, for tests and debugging.
std::string dump(const CompiledSchema& s);

}  // namespace ls
