// Column steps: the XPath forms that test or cut a node-set's string values
// (a predicate on a text or attribute node, a position of a parenthesised
// path, string(), substring-after(), substring-before()) run over a query's
// finished column, which holds those string values in document order.
//
// Invariants: a column is read and rewritten in place; a value that is cut
// stays a view of the bytes the whole value viewed (no copy); every step is
// linear in the column's bytes plus its literal (substring search is
// Knuth-Morris-Pratt, with one table per step and run: matcher/needle.h).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "matcher/needle.h"
#include "matcher/schema.h"

namespace ls {

namespace {

// XPath white space (normalize-space).
inline bool is_xpath_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool non_blank(Bytes v) {
  return std::any_of(v.begin(), v.end(), [](char c) { return !is_xpath_space(c); });
}

// normalize-space(v) == want, without building the normalised string.
bool normalized_equals(Bytes v, Bytes want) {
  size_t i = 0, j = 0;
  while (i < v.size() && is_xpath_space(v[i])) ++i;
  while (i < v.size()) {
    if (is_xpath_space(v[i])) {
      while (i < v.size() && is_xpath_space(v[i])) ++i;
      if (i == v.size()) break;
      if (j >= want.size() || want[j] != ' ') return false;
      ++j;
      continue;
    }
    if (j >= want.size() || want[j] != v[i]) return false;
    ++i;
    ++j;
  }
  return j == want.size();
}

template <class Keep>
void keep_if(Column& col, Keep keep) {
  col.erase(std::remove_if(col.begin(), col.end(), [&](Bytes v) { return !keep(v); }), col.end());
}

void apply(const ValueOp& op, Column& col) {
  using Kind = ValueOp::Kind;
  const Bytes lit = op.value;
  switch (op.kind) {
    case Kind::kNonBlank:
      keep_if(col, non_blank);
      return;
    case Kind::kContains: {
      const Needle f(lit);
      keep_if(col, [&](Bytes v) { return f.find(v) != Bytes::npos; });
      return;
    }
    case Kind::kEquals:
      keep_if(col, [&](Bytes v) { return v == lit; });
      return;
    case Kind::kStartsWith:
      keep_if(col, [&](Bytes v) { return v.starts_with(lit); });
      return;
    case Kind::kNormalizedEquals:
      keep_if(col, [&](Bytes v) { return normalized_equals(v, lit); });
      return;
    case Kind::kPosition:
    case Kind::kFromEnd: {
      const int64_t n = op.n;
      const int64_t size = static_cast<int64_t>(col.size());
      const int64_t at = op.kind == Kind::kPosition ? n - 1 : size - n;
      if (n < 1 || at < 0 || at >= size) {
        col.clear();
      } else {
        const Bytes v = col[static_cast<size_t>(at)];
        col.assign(1, v);
      }
      return;
    }
    case Kind::kFirst:
      // string() of a node-set: the first node's value; of an empty one "".
      if (col.empty()) col.emplace_back();
      else col.resize(1);
      return;
    case Kind::kSubstringAfter:
    case Kind::kSubstringBefore: {
      const Needle f(lit);
      for (Bytes& v : col) {
        const size_t at = f.find(v);
        if (at == Bytes::npos) v = Bytes();
        else if (op.kind == Kind::kSubstringAfter) v = v.substr(at + lit.size());
        else v = v.substr(0, at);
      }
      return;
    }
  }
}

}  // namespace

void apply_post_ops(const CompiledSchema& s, FlatResult& flat) {
  for (const auto& [q, ops] : s.post_ops) {
    if (q >= flat.size()) continue;
    for (const ValueOp& op : ops) apply(op, flat[q]);
  }
}

}  // namespace ls
