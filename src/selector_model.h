// The selector model: the one compiled form of every query, produced by the
// CSS parser (selector.cc) and the XPath compiler (xpath.cc) and consumed by
// the router, the diagnostics and the matcher compiler.
//
// A query compiles to a list of Selector (one per comma-group or union
// member); the empty list means the query is not supported. Everything here
// is a plain owned value: copies are deep and == compares every field.
//
// Invariants kept by both front ends:
//   - `nth` and `rev` are never both set on one compound;
//   - a compound inside `nots`, inside an `is_groups` list or as a Has member
//     has no `is_groups`; inside `is_groups` and as a Has member it also has
//     no nth, rev, has or text;
//   - -of-type positions appear only on a compound with a tag other than "*";
//   - `sig` is 0 in front-end output; `anchor` and `relative` are absent and
//     false in CSS output; the XPath compiler sets `anchor` only for a path
//     from the context element (0 for `.`, 1 for `./x`), never with
//     `relative`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ls {

// A heap box with value semantics (deep copy, deep equality), for the
// recursive parts of the model.
template <class T>
class Box {
 public:
  explicit Box(T v) : p_(std::make_unique<T>(std::move(v))) {}
  Box(const Box& o) : p_(std::make_unique<T>(*o.p_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& o) {
    if (this != &o) p_ = std::make_unique<T>(*o.p_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  const T& operator*() const { return *p_; }
  T& operator*() { return *p_; }
  const T* operator->() const { return p_.get(); }
  T* operator->() { return p_.get(); }
  friend bool operator==(const Box& a, const Box& b) { return *a.p_ == *b.p_; }

 private:
  std::unique_ptr<T> p_;
};

enum class Comb : uint8_t {
  kDescendant = 0,  // whitespace
  kChild = 1,       // >
  kAdjacent = 2,    // +
  kSibling = 3,     // ~
  // XPath `following::`: the right compound starts after the left one has
  // ended (anywhere later in the document, never inside it).
  kFollowing = 4,
  // XPath `following::E[1]`: the first such element after the left one's end.
  kFollowingFirst = 5,
  // XPath `following-sibling::E[1]`: the first later sibling that is E.
  kSiblingFirst = 6,
};

// Whether a combinator cuts a selector into segments joined by a trigger bit
// (every combinator but Descendant and Child).
inline bool is_boundary(Comb c) { return c != Comb::kDescendant && c != Comb::kChild; }
inline bool is_following(Comb c) { return c == Comb::kFollowing || c == Comb::kFollowingFirst; }

enum class AttrOp : uint8_t {
  kExists = 0,     // [a]
  kEquals = 1,     // [a=v]
  kPrefix = 2,     // [a^=v]
  kSuffix = 3,     // [a$=v]
  kSubstring = 4,  // [a*=v]
  kIncludes = 5,   // [a~=v]: a whitespace-separated word
  kDashMatch = 6,  // [a|=v]: equal, or a prefix followed by '-'
};

struct AttrPred {
  std::string name;   // ASCII-lowercased
  std::string value;  // empty for kExists
  bool ci = false;    // ASCII case-insensitive value comparison
  AttrOp op = AttrOp::kExists;
  friend bool operator==(const AttrPred&, const AttrPred&) = default;
};

// A text-content test. Plain: some own text node equals `value` (own,
// equals), the first own text node contains it (own, substring), or the
// whole text equals or contains it. XPath adds the forms below, each on the
// text XPath converts (the first own text node, or the whole text):
//   - `normalized`: the text after normalize-space() equals or contains
//     `value` (`normalize-space(text())="v"`, `normalize-space()="v"`);
//   - `nonblank`: the text has a character that is not white space
//     (`[normalize-space(text())]`, `[normalize-space()]`); `value` empty;
//   - `negated`: the element holds when the test fails (`not(...)`).
struct TextPred {
  std::string value;
  bool own = false;        // only the element's own text nodes
  bool substring = false;  // contains (true) or equals (false)
  bool normalized = false;
  bool nonblank = false;
  bool negated = false;
  friend bool operator==(const TextPred&, const TextPred&) = default;
};

// Forward position p = a*n + b for some n >= 0 (a = 0: p = b), 1-based.
// `filtered` (XPath `//li[@a][2]`): p counts only the siblings that pass
// every other test of the compound; never with `of_type`.
// `global` (XPath `(//div[@a])[3]/p`, with `filtered`): p counts every
// element of the document, in document order, that passes every other test
// of the compound; only on the first compound of a selector.
struct Nth {
  int32_t a = 0;
  int32_t b = 0;
  bool of_type = false;
  bool filtered = false;
  uint32_t slot = 0;  // filtered: the matcher compiler's counter slot
  bool global = false;
  friend bool operator==(const Nth&, const Nth&) = default;
};

// Reverse position, 1-based from the last sibling.
struct Rev {
  int32_t a = 0;
  int32_t b = 0;
  bool only = false;  // also first (only-child / only-of-type)
  bool of_type = false;
  friend bool operator==(const Rev&, const Rev&) = default;
};

struct Compound;

// Values of Compound::tag_test besides a tag id.
inline constexpr uint16_t kTagTestByName = 0xFFFE;  // compare `tag` with the element's name
inline constexpr uint16_t kTagTestAny = 0xFFFF;     // no tag, or "*"

struct Has {
  Box<Compound> inner;
  bool child = false;  // :has(> x)
  bool negated = false;  // XPath `not(x)`: holds when no such element exists
  // XPath paths of several steps (`[td/a]`, `[.//a/h2]`): the steps before
  // `inner`, outermost first, each the parent of the next; `child` joins the
  // first one (or `inner` when there is none) to the element. Each is a
  // plain compound (no position, :has(), text test or :is()).
  std::vector<Compound> via;
  // XPath `count(x) = N` (and `!=`, `<`, `<=`, `>`, `>=`): the number of
  // children that match `inner` compared with `count`; only with `child`,
  // no `via`, no text test on `inner` and not `negated`.
  enum class CountOp : uint8_t { kNone = 0, kEq, kNe, kLt, kLe, kGt, kGe };
  CountOp count_op = CountOp::kNone;
  uint32_t count = 0;
  friend bool operator==(const Has&, const Has&) = default;
};

// Whether `n` children pass a count test.
inline bool count_holds(Has::CountOp op, uint32_t n, uint32_t want) {
  switch (op) {
    case Has::CountOp::kNone: return n > 0;
    case Has::CountOp::kEq: return n == want;
    case Has::CountOp::kNe: return n != want;
    case Has::CountOp::kLt: return n < want;
    case Has::CountOp::kLe: return n <= want;
    case Has::CountOp::kGt: return n > want;
    case Has::CountOp::kGe: return n >= want;
  }
  return false;
}

struct Compound {
  std::vector<std::string> classes;
  std::vector<AttrPred> attrs;
  std::vector<Compound> nots;
  std::vector<std::vector<Compound>> is_groups;  // AND across lists, OR within one
  std::optional<std::string> tag;                // lower case; "*" for the universal selector
  std::optional<std::string> id;
  std::optional<TextPred> text;
  std::optional<Nth> nth;
  std::optional<Rev> rev;
  std::optional<Has> has;
  uint64_t sig = 0;  // filled by the matcher compiler
  // Filled by the matcher compiler: how `tag` is tested (see matching.cc).
  // Below kTagTestByName it is the tag's id (tags.h), 0 for a name without
  // one; the default compares names and is always right.
  uint16_t tag_test = kTagTestByName;
  friend bool operator==(const Compound&, const Compound&) = default;
};

struct Terminal {
  enum class Kind : uint8_t { kText = 0, kAttr = 1, kOuter = 2, kNormalizeSpace = 3 };
  Kind kind = Kind::kOuter;
  bool subtree = false;      // kText: whole subtree text
  // kText: instead, the text nodes after the subject among its parent's
  // children (XPath `following-sibling::text()`).
  bool after = false;
  std::string name;          // kAttr: attribute name
  bool descendants = false;  // kAttr: also on every element below
  std::optional<Box<Terminal>> inner;  // kNormalizeSpace: never itself kNormalizeSpace
  friend bool operator==(const Terminal&, const Terminal&) = default;
};

// The name `selector_terminals` reports for a terminal.
inline const char* terminal_name(const Terminal& t) {
  switch (t.kind) {
    case Terminal::Kind::kText: return "text";
    case Terminal::Kind::kAttr: return "attr";
    case Terminal::Kind::kOuter: return "outer";
    case Terminal::Kind::kNormalizeSpace: return "normalize-space";
  }
  return "outer";
}

// A step applied to a query's whole column after the scan, for XPath forms
// that filter or reshape a node-set's string values rather than choose
// elements: a predicate on a text or attribute node (`text()[contains(., "x")]`,
// which is a test of each value), a position in a parenthesised path
// (`(//a)[2]`, a position in the column) and the string functions at the top
// (`string(p)`, `substring-after(p, "x")`). Steps run in order; each is
// linear in the column's bytes.
struct ValueOp {
  enum class Kind : uint8_t {
    kNonBlank = 0,         // keep values with a non-white-space character
    kContains = 1,         // keep values containing `value`
    kEquals = 2,           // keep values equal to `value`
    kStartsWith = 3,       // keep values starting with `value`
    kNormalizedEquals = 4, // keep values whose normalize-space() equals `value`
    kPosition = 5,         // keep the n-th value (1-based)
    kFromEnd = 6,          // keep the n-th value from the end (1 = the last)
    kFirst = 7,            // the first value, or one empty value (a string())
    kSubstringAfter = 8,   // each value's part after the first `value`, else empty
    kSubstringBefore = 9,  // each value's part before the first `value`, else empty
  };
  Kind kind = Kind::kNonBlank;
  std::string value;
  int32_t n = 0;
  friend bool operator==(const ValueOp&, const ValueOp&) = default;
};

struct Selector {
  // The exact depth below the context (the root element for a query, the
  // container for a grouped sub-field) at which the first compound stands:
  // set for XPath paths from the context and by the sub-field router.
  std::optional<uint32_t> anchor;
  std::vector<Compound> compounds;  // outermost first, subject last; never empty
  std::vector<Comb> combs;          // combs[i] joins compounds[i] and compounds[i + 1]
  Terminal terminal;
  bool relative = false;
  // Set by the matcher compiler on the tail of a deferred selector whose
  // step into the tail is a child step (`//tr[.//b]/td`): the first compound
  // must be a child of an element the tail was decided for. Never set by
  // the front ends.
  bool base_child = false;
  // Column steps (XPath only); every member of one query carries the same
  // list. The matcher compiler keeps them per query and never copies them
  // into the selectors it derives (tails, gated siblings).
  std::vector<ValueOp> post;
  friend bool operator==(const Selector&, const Selector&) = default;
};

}  // namespace ls

namespace ls {
// A stable, readable text form of the model, for tests and debugging, e.g.
//   div.a[href^="x" i]:nth(2,1) > span:has(> img) -> text(subtree)
std::string dump(const Compound& c);
std::string dump(const Selector& s);

// The first broken invariant of the model, or nothing. (Front ends also
// leave `anchor` absent but for XPath paths from the context element.)
std::optional<std::string> model_violation(const Selector& s);
}  // namespace ls
