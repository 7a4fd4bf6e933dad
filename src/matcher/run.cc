// Run driver and result assembly.
//
// Input: a compiled schema and a prepared document. Output: one column per
// flat query and, per group, its rows. The driver runs the tokenizer's scan
// loop with the matcher as its sink, then closes what is still open and
// assembles the result in document order.
//
// State of this build: the query front ends compile nothing yet, so no
// selector reaches the matcher and every column is empty; the scan still runs
// so that every document takes the path it will take when they do.
#include <utility>

#include "matcher/schema.h"
#include "tokenizer.h"

namespace ls {

namespace {

// The matcher's side of the token stream.
class Matcher final : public TokenSink {
 public:
  explicit Matcher(const CompiledSchema& schema) : schema_(schema) {}
  void start_tag(Bytes, std::span<const Attr>, bool, Offset, Offset) override {}
  void end_tag(Bytes, Offset, Offset) override {}
  void text(Bytes, bool, Offset) override {}
  bool should_stop() override { return filled_ == schema_.early_stop_mask; }

 private:
  const CompiledSchema& schema_;
  Mask128 filled_;  // flat columns that hold their first-only value
};

}  // namespace

CompiledSchema CompiledSchema::compile(SchemaSelectors selectors) {
  CompiledSchema s;
  s.n_flat_ = selectors.flat.size();
  s.group_fields_.reserve(selectors.groups.size());
  for (const CompiledGroup& g : selectors.groups) s.group_fields_.push_back(g.fields.size());
  return s;
}

ExtractResult CompiledSchema::run(const EncodedInput& input) const {
  Matcher matcher(*this);
  TokenizerScratch scratch;
  tokenize(input.bytes, matcher, scratch, !early_stop_mask.empty());
  ExtractResult out;
  out.flat.resize(n_flat_);
  out.grouped.resize(group_fields_.size());  // no container matched: no rows
  return out;
}

}  // namespace ls
