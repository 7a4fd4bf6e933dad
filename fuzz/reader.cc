// The archive reader under fuzzing. Input: see checks.h.
//
// Oracles:
//   - reading ends (libFuzzer's timeout catches a hang) and consumes no more
//     than the input;
//   - record offsets are inside the input and strictly increase; a failure's
//     offset is inside the input;
//   - no page is larger than the page limit; failure reasons are one line;
//   - the counts add up, and the kinds of skipped records stay capped;
//   - the same pages, failures and counts come out however the source cuts
//     its reads (one byte at a time, odd sizes): nothing depends on where a
//     read happens to end;
//   - an input starting with neither `WARC/` nor `filedesc://` (once
//     decompressed) is one page or one failure.
#include <cstring>

#include "fuzz/checks.h"
#include "reader/reader.h"

namespace ls::fuzz {

namespace {

// A source that hands out at most `step` bytes a read (cycling through a few
// sizes), to show that reads cut anywhere change nothing.
class CuttingSource final : public reader::ByteSource {
 public:
  CuttingSource(Bytes data, size_t step) : data_(data), step_(step) {}
  int64_t read(char* out, size_t n) override {
    const size_t sizes[] = {step_, step_ * 3 + 1, 1, step_ + 7};
    const size_t want = std::min({n, sizes[calls_++ % 4], data_.size() - at_});
    if (want) std::memcpy(out, data_.data() + at_, want);
    at_ += want;
    return static_cast<int64_t>(want);
  }

 private:
  Bytes data_;
  size_t step_;
  size_t at_ = 0;
  size_t calls_ = 0;
};

struct Run {
  std::vector<reader::ReadItem> items;
  reader::ReadCounts counts;
  reader::InputKind kind = reader::InputKind::kUnknown;
  uint64_t consumed = 0;
};

Run read_all(reader::ByteSource& source, const reader::ReaderOptions& options) {
  Run run;
  reader::ArchiveReader r(source, options);
  reader::ReadItem item;
  while (r.next(item)) run.items.push_back(std::move(item));
  run.counts = r.counts();
  run.kind = r.kind();
  run.consumed = r.bytes_read();
  return run;
}

bool same(const reader::ReadItem& a, const reader::ReadItem& b) {
  if (a.is_page != b.is_page) return false;
  if (!a.is_page) return a.failure.offset == b.failure.offset && a.failure.reason == b.failure.reason;
  const reader::Page &p = a.page, &q = b.page;
  return p.offset == q.offset && p.url == q.url && p.status == q.status && p.date == q.date &&
         p.record_id == q.record_id && p.content_type == q.content_type && p.charset == q.charset && p.body == q.body;
}

}  // namespace

std::optional<std::string> check_reader(Bytes input) {
  if (input.empty()) return std::nullopt;
  const uint8_t flags = static_cast<uint8_t>(input[0]);
  const Bytes data = input.substr(1);
  reader::ReaderOptions options;
  options.only_2xx = flags & 1;
  static constexpr uint64_t kLimits[] = {reader::kDefaultMaxPageSize, 1, 16, 100, 1000, 4096, 65536, 1 << 20};
  options.max_page_size = kLimits[(flags >> 1) & 7];

  reader::MemorySource whole_source(data);
  const Run whole = read_all(whole_source, options);
  if (whole.consumed > data.size()) return "consumed more than the input";

  std::optional<uint64_t> previous;
  for (const reader::ReadItem& item : whole.items) {
    if (item.is_page) {
      if (item.page.body.size() > options.max_page_size) return "a page over the limit";
      if (item.page.offset) {
        if (*item.page.offset >= data.size() && !(data.empty() && *item.page.offset == 0))
          return "a page offset outside the input";
        if (previous && *item.page.offset <= *previous) return "page offsets do not increase";
        previous = item.page.offset;
      }
    } else {
      if (item.failure.reason.empty() || item.failure.reason.find('\n') != std::string::npos)
        return "a failure reason that is not one line";
      if (item.failure.offset && *item.failure.offset >= data.size()) return "a failure offset outside the input";
    }
  }
  const reader::ReadCounts& c = whole.counts;
  if (c.skipped != c.requests + c.other_records + c.non_html + c.not_2xx) return "counts do not add up";
  uint64_t by_kind = 0;
  for (const auto& [kind, n] : c.kinds) by_kind += n;
  if (by_kind != c.skipped) return "kinds do not add up to the skipped count";
  if (c.kinds.size() > reader::kMaxSkippedKinds + 1) return "too many kinds kept";
  if (whole.kind == reader::InputKind::kPage && whole.items.size() != 1) return "a page input gave other than one item";

  for (size_t step : {size_t{1}, size_t{5}, size_t{4093}}) {
    CuttingSource cut(data, step);
    const Run again = read_all(cut, options);
    if (again.items.size() != whole.items.size()) return "items differ with reads cut at " + std::to_string(step);
    for (size_t i = 0; i < again.items.size(); ++i)
      if (!same(again.items[i], whole.items[i])) return "item " + std::to_string(i) + " differs with reads cut";
    if (again.counts.skipped != c.skipped || again.counts.kinds != c.kinds) return "counts differ with reads cut";
  }
  return std::nullopt;
}

}  // namespace ls::fuzz
