// Records in, pages and failures out: WARC and ARC archives over the content
// of an input (see reader.h for the contract, members.h for the content).
//
// The content is read through a `Window`: a buffer holding the bytes from
// kContentLookback before the reading point to what was read ahead, so that a
// record whose length is wrong can be re-read from inside its block.
//
// WARC. A record is `WARC/<version>` and header lines up to a blank line,
// then Content-Length bytes of block, then (normally) CR LF CR LF. A record
// whose header has no Content-Length is a failure, and reading goes on at the
// next line starting `WARC/`. After a block, anything but line ends and the
// next `WARC/` (or the end) means the length was wrong: the next line starting
// `WARC/` is looked for from the block's start (at most kContentLookback back
// from its end). Found inside the block, the length was too long: the record
// is a failure and the next record is read from there. Found after it, the
// length was short or stray bytes followed: the record stands, and the bytes
// skipped are one failure.
//
// ARC (v1 and v2). The file starts with a `filedesc://` record; every record
// is a header line "URL IP DATE TYPE ... LENGTH" (5 fields in v1, 10 in v2;
// the length is the last), LENGTH bytes of block, and a line end. A bad line is
// resynchronised at the next line that reads as a record header.
//
// Gzip damage (members.h). Each record is held back until the next one starts:
// only then has its member been read to its end and its checksum found right.
// When a member breaks, the record held is kept if it started in an earlier
// member, or if the input merely ended and the record was whole; otherwise it
// is lost with the member. The bytes skipped to the next member that starts a
// record are one failure, runs of broken members merged, naming the last
// record read whole before them.
//
// Pages. A `response` record (or ARC record) whose HTTP Content-Type is
// text/html or application/xhtml+xml is a page; its failures (truncated
// block, HTTP header without a body, undecodable body, page too large) are
// worded as the command has always worded them.
#include <algorithm>
#include <cstring>
#include <deque>

#include "reader/http.h"
#include "reader/members.h"
#include "reader/reader.h"

namespace ls::reader {

namespace {

// The longest WARC header read; a longer one is a failure.
constexpr size_t kMaxWarcHeader = size_t{1} << 20;
// The longest ARC header line.
constexpr size_t kMaxArcLine = size_t{1} << 16;
// Content kept behind the reading point, for a record whose length is wrong.
constexpr size_t kContentLookback = size_t{1} << 16;
// The window's buffer, and the least room it reads into (see `Window::need`).
constexpr size_t kWindowSize = size_t{1} << 20;
constexpr size_t kWindowRead = size_t{1} << 16;

constexpr Bytes kWarcMagic = "WARC/";
constexpr Bytes kArcMagic = "filedesc://";

bool starts_warc(Bytes first) { return first.starts_with(kWarcMagic); }

// The first bytes of an ARC record's member: a URL's scheme.
bool starts_arc(Bytes first) {
  for (char c : first)
    if (!(is_ascii_alpha(static_cast<uint8_t>(c)) || c == ':' || c == '/' || is_ascii_digit(static_cast<uint8_t>(c))))
      return false;
  return !first.empty();
}

bool ieq(Bytes a, Bytes b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(static_cast<uint8_t>(a[i])) != ascii_lower(static_cast<uint8_t>(b[i]))) return false;
  return true;
}

Bytes trim_blanks(Bytes s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string lower_ascii(Bytes s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
  return out;
}

// The content of an input, read ahead into a buffer that keeps
// kContentLookback bytes behind the reading point. Positions are content
// offsets.
class Window {
 public:
  explicit Window(ContentStream& s) : s_(s) {}

  // Whether `n` bytes are held from the reading point (reading more as
  // needed); false when the content stops first.
  //
  // Each read asks the stream for all the room after what is held (at least
  // kWindowRead), so that a member usually inflates in one call, straight
  // into the window. The buffer grows to kWindowSize before it is ever
  // compacted (a small input never pays for a large buffer), and is compacted
  // only when the room falls below kWindowRead: the bytes moved
  // (kContentLookback and what was read ahead) are paid once per buffer's
  // worth of content rather than once per read. What is held behind the
  // reading point is still at least kContentLookback (or everything from the
  // start), as the resynchronisation expects.
  bool need(size_t n) {
    while (avail() < n && !stopped_) {
      if (buf_.size() - len_ < kWindowRead) {
        if (at_ > kContentLookback && buf_.size() >= kWindowSize) {
          const size_t drop = at_ - kContentLookback;
          std::memmove(buf_.data(), buf_.data() + drop, len_ - drop);
          len_ -= drop;
          at_ -= drop;
          base_ += drop;
        }
        if (buf_.size() - len_ < kWindowRead) buf_.resize(std::max(buf_.size() * 2, len_ + kWindowRead));
      }
      const size_t got = s_.read(buf_.data() + len_, buf_.size() - len_);
      if (!got) stopped_ = true;
      len_ += got;
    }
    return avail() >= n;
  }
  const char* data() const { return buf_.data() + at_; }
  size_t avail() const { return len_ - at_; }
  uint64_t pos() const { return base_ + at_; }
  uint64_t held_from() const { return base_; }
  bool stopped() const { return stopped_ && avail() == 0; }
  void advance(size_t n) {
    LS_CHECK(n <= avail());
    at_ += n;
  }
  void seek(uint64_t p) {
    LS_CHECK(p >= base_ && p <= base_ + len_);
    at_ = static_cast<size_t>(p - base_);
  }
  // The byte before `p`, if held.
  std::optional<char> before(uint64_t p) const {
    if (p <= base_ || p > base_ + len_) return std::nullopt;
    return buf_[static_cast<size_t>(p - base_ - 1)];
  }
  // After the stream resynchronised: what is held belongs to the broken run.
  void restart() {
    len_ = at_ = 0;
    base_ = s_.content_pos();
    stopped_ = false;
  }

 private:
  ContentStream& s_;
  std::vector<char> buf_;
  size_t len_ = 0;
  size_t at_ = 0;
  uint64_t base_ = 0;
  bool stopped_ = false;
};

// A record's block: `remaining` bytes from the window's reading point.
class BlockReader {
 public:
  BlockReader(Window& w, uint64_t length) : w_(w), remaining_(length) {}
  // The next piece (at most 64 KiB), consumed; empty at the block's end or
  // where the content stops.
  Bytes next() {
    if (remaining_ == 0 || !w_.need(1)) return {};
    const size_t n = static_cast<size_t>(std::min<uint64_t>({remaining_, w_.avail(), kReadSize}));
    const Bytes piece(w_.data(), n);
    w_.advance(n);
    remaining_ -= n;
    read_ += n;
    return piece;
  }
  void drain() {
    while (!next().empty()) {
    }
  }
  uint64_t read() const { return read_; }

 private:
  Window& w_;
  uint64_t remaining_;
  uint64_t read_ = 0;
};

// What a record says about its page, besides the HTTP message.
struct RecordMeta {
  std::optional<uint64_t> offset;
  std::optional<std::string> url, date, record_id;
  bool warc_truncated = false;
};

ReadItem failure_item(std::optional<uint64_t> offset, std::string reason) {
  ReadItem item;
  item.is_page = false;
  item.failure.offset = offset;
  item.failure.reason = std::move(reason);
  return item;
}

std::string truncated(uint64_t have, uint64_t expected) {
  return "truncated WARC record: " + std::to_string(have) + " of " + std::to_string(expected) + " bytes";
}

}  // namespace

void ReadCounts::skip(std::string_view kind, Category category) {
  switch (category) {
    case Category::kRequest: ++requests; break;
    case Category::kOtherRecord: ++other_records; break;
    case Category::kNonHtml: ++non_html; break;
    case Category::kNot2xx: ++not_2xx; break;
  }
  ++skipped;
  for (auto& [name, n] : kinds)
    if (name == kind) {
      ++n;
      return;
    }
  if (kinds.size() < kMaxSkippedKinds) {
    kinds.emplace_back(kind, 1);
    return;
  }
  // Past the cap every new kind is counted together: a crawl with a
  // hundred thousand distinct media types costs a hundred entries at most.
  for (auto& [name, n] : kinds)
    if (name == kOtherKinds) {
      ++n;
      return;
    }
  kinds.emplace_back(kOtherKinds, 1);
}

std::string format_size(uint64_t size) {
  static constexpr std::pair<const char*, int> kUnits[] = {{"GiB", 30}, {"MiB", 20}, {"KiB", 10}};
  for (const auto& [unit, shift] : kUnits) {
    if (size >= (uint64_t{1} << shift) && size % (uint64_t{1} << (shift - 10)) == 0) {
      // Python's "{:g}" of a multiple of 1/1024: at most six significant digits.
      const double v = static_cast<double>(size) / static_cast<double>(uint64_t{1} << shift);
      char text[64];
      std::snprintf(text, sizeof text, "%g %s", v, unit);
      return text;
    }
  }
  return std::to_string(size) + " bytes";
}

// Wraps the source to look at its first two bytes (gzip or not) and hand
// them back.
class PeekSource final : public ByteSource {
 public:
  explicit PeekSource(ByteSource& s) : s_(s) {}
  Bytes peek(size_t n) {
    while (head_.size() < n && !failed_) {
      char buf[16];
      const int64_t got = s_.read(buf, std::min(sizeof buf, n - head_.size()));
      if (got <= 0) {
        failed_ = got < 0;
        break;
      }
      head_.append(buf, static_cast<size_t>(got));
    }
    return head_;
  }
  int64_t read(char* out, size_t n) override {
    if (at_ < head_.size()) {
      const size_t take = std::min(n, head_.size() - at_);
      std::memcpy(out, head_.data() + at_, take);
      at_ += take;
      return static_cast<int64_t>(take);
    }
    if (failed_) return -1;
    return s_.read(out, n);
  }
  std::string error() const override { return s_.error(); }
  std::optional<uint64_t> remaining_hint() const override {
    const std::optional<uint64_t> rest = s_.remaining_hint();
    if (!rest) return std::nullopt;
    return *rest + (head_.size() - at_);
  }
  std::optional<uint32_t> last_word_hint() const override { return s_.last_word_hint(); }

 private:
  ByteSource& s_;
  std::string head_;
  size_t at_ = 0;
  bool failed_ = false;
};

struct ArchiveReader::Impl {
  Impl(ByteSource& source, const ReaderOptions& options)
      : input_size(source.remaining_hint()),
        peek(source),
        options(options),
        stream(peek, peek.peek(2) == Bytes("\x1f\x8b", 2), options.start_offset),
        window(stream),
        last_unknown(options.after_unknown) {}

  // The input's size as the source told it before anything was read (a
  // hint: see ByteSource).
  const std::optional<uint64_t> input_size;
  PeekSource peek;
  ReaderOptions options;
  ContentStream stream;
  Window window;
  ReadCounts counts;
  InputKind kind = InputKind::kUnknown;
  std::deque<ReadItem> ready;
  bool done = false;

  // The records read last, not yet handed out (see the file comment): the
  // last record, and the stray bytes found after it, if any.
  struct Held {
    uint64_t pos;
    std::optional<uint64_t> offset;
    std::optional<ReadItem> item;
  };
  std::vector<Held> held;
  // The offset of the last record handed out whole; unknown at the start of
  // a part of an archive until the part hands out a record of its own.
  std::optional<uint64_t> last;
  bool last_unknown;
  // Set when `options.stop_at` stopped the reading before a record.
  std::optional<uint64_t> stopped_at;
  // Compressed bytes skipped and not yet reported.
  struct Skipped {
    uint64_t start, end;
    std::string reason;
    std::optional<uint64_t> after;
    bool after_unknown;
  };
  std::optional<Skipped> skipped;

  void flush_skipped() {
    if (!skipped) return;
    static constexpr Bytes kCorrupt = "corrupt WARC";
    std::string where = skipped->after ? " after the record at offset " + std::to_string(*skipped->after) : "";
    ReadItem item = failure_item(std::nullopt, std::string(kCorrupt) + where + ": " + skipped->reason + "; bytes " +
                                                   std::to_string(skipped->start) + " to " +
                                                   std::to_string(skipped->end) + " skipped");
    if (skipped->after_unknown) item.failure.after_at = kCorrupt.size();
    ready.push_back(std::move(item));
    skipped.reset();
  }

  void hand_out(Held& h) {
    flush_skipped();
    if (h.item) ready.push_back(std::move(*h.item));
    if (h.offset) {
      last = h.offset;
      last_unknown = false;
    }
  }

  void hand_out_held() {
    for (Held& h : held) hand_out(h);
    held.clear();
  }

  // A record read: the ones held before it are known whole now.
  void yield(uint64_t pos, std::optional<uint64_t> offset, std::optional<ReadItem> item) {
    hand_out_held();
    held.push_back(Held{pos, offset, std::move(item)});
  }

  // Stray bytes after the record held: held with it, since a member found
  // broken later takes both.
  void yield_stray(uint64_t pos, ReadItem item) { held.push_back(Held{pos, std::nullopt, std::move(item)}); }

  void start();
  void step();
  void on_stop();
  void read_page();
  uint64_t page_size_hint() const;
  void warc_record();
  void arc_record();
  std::optional<ReadItem> response(BlockReader& block, uint64_t expected, const RecordMeta& meta);
  uint64_t find_record(uint64_t from);
  bool arc_line_at(uint64_t p, uint64_t* length, Bytes* line_out, size_t* consumed);
  void stray(uint64_t from, uint64_t to);
  std::optional<uint64_t> last_offset() const {
    for (auto h = held.rbegin(); h != held.rend(); ++h)
      if (h->offset) return h->offset;
    return last;
  }
};

void ArchiveReader::Impl::start() {
  Window& w = window;
  w.need(kArcMagic.size());
  Bytes first(w.data(), w.avail());
  if (stream.broken() && first.empty() && stream.gzip()) {
    // The first member is corrupt before it gave a byte. Crawlers write one
    // member per record: the file is a WARC archive if a later member starts
    // a record, and it is read from there, the bytes skipped a failure as for
    // any corrupt member; else it fails whole, for the first member's reason.
    std::string reason = stream.broken_reason();
    const auto [from, to] = stream.resync(starts_warc, kWarcMagic.size());
    w.restart();
    w.need(kArcMagic.size());
    first = Bytes(w.data(), w.avail());
    if (!first.starts_with(kWarcMagic)) {
      kind = InputKind::kPage;
      done = true;
      ready.push_back(failure_item(std::nullopt, std::move(reason)));
      return;
    }
    kind = InputKind::kWarc;
    skipped = Skipped{from, to, std::move(reason), last, last_unknown};
    return;
  }
  if (first.starts_with(kWarcMagic)) kind = InputKind::kWarc;
  else if (first.starts_with(kArcMagic)) kind = InputKind::kArc;
  else kind = InputKind::kPage;
  if (stream.broken() && first.size() < kWarcMagic.size()) kind = InputKind::kPage;
}

// Deflate gives at most about 1032 bytes for one byte of input: an ISIZE
// claiming more than that of the file is not believed.
constexpr uint64_t kMaxDeflateRatio = 1032;
uint64_t inflated_at_most(uint64_t coded) {
  return coded > UINT64_MAX / kMaxDeflateRatio ? UINT64_MAX : coded * kMaxDeflateRatio;
}

// What a whole-input page is likely to take, capped at the page limit: a
// plain input's size; a gzip input's ISIZE (exact for the usual one-member
// page.html.gz; for several members only the last one's, which merely costs
// a reallocation). Zero when unknown.
uint64_t ArchiveReader::Impl::page_size_hint() const {
  if (!input_size) return 0;
  uint64_t size = *input_size;
  if (stream.gzip()) {
    const std::optional<uint32_t> isize = peek.last_word_hint();
    if (!isize) return 0;
    size = std::min<uint64_t>(*isize, inflated_at_most(size));
  }
  return std::min(size, options.max_page_size);
}

void ArchiveReader::Impl::read_page() {
  done = true;
  Page page;
  Window& w = window;
  bool too_large = false;
  // Sized before the first byte: a buffer grown by doubling holds its old
  // and its new copy at each reallocation, up to twice the page at the last
  // one. A hint too small or too large costs one reallocation or
  // address space never touched; the limit below stays what bounds it.
  reserve_hint(page.body, page_size_hint());
  while (w.need(1)) {
    const size_t n = w.avail();
    if (n > options.max_page_size - std::min<uint64_t>(options.max_page_size, page.body.size())) {
      too_large = true;
      break;
    }
    page.body.append(w.data(), n);
    w.advance(n);
  }
  if (too_large) {
    ready.push_back(failure_item(std::nullopt, "page too large: over the limit of " +
                                                   format_size(options.max_page_size) + " (max page size)"));
  } else if (stream.broken()) {
    ready.push_back(failure_item(std::nullopt, stream.broken_reason()));
  } else if (stream.read_error()) {
    ready.push_back(failure_item(std::nullopt, *stream.read_error()));
  } else {
    ReadItem item;
    item.is_page = true;
    item.page = std::move(page);
    ready.push_back(std::move(item));
  }
}

// The content stopped: the end, a read error, or a broken member.
void ArchiveReader::Impl::on_stop() {
  const bool broken = stream.broken();
  for (Held& h : held) {
    const bool cut = h.item && !h.item->is_page && h.item->failure.reason.starts_with("truncated");
    if (!broken || h.pos < stream.broken_content_pos() || (stream.broken_truncated() && !cut)) hand_out(h);
  }
  held.clear();
  if (!broken) {
    flush_skipped();
    if (stream.read_error()) ready.push_back(failure_item(std::nullopt, *stream.read_error()));
    done = true;
    return;
  }
  const std::string reason = stream.broken_reason();
  const auto [start, end] = stream.resync(kind == InputKind::kArc ? starts_arc : starts_warc,
                                          kind == InputKind::kArc ? 4 : kWarcMagic.size());
  if (skipped && skipped->end == start) {
    skipped->end = end;
  } else {
    flush_skipped();
    skipped = Skipped{start, end, reason, last, last_unknown};
  }
  window.restart();
}

// The next line starting `WARC/` (an ARC record header, for ARC) at or after
// content offset `from`; the window's reading point is left there (or at the
// end of the content).
uint64_t ArchiveReader::Impl::find_record(uint64_t from) {
  Window& w = window;
  uint64_t cur = std::max(from, w.held_from());
  while (true) {
    // `cur` may lie just past what is held (one past a line end at its end).
    const uint64_t held_end = w.held_from() + (w.pos() - w.held_from()) + w.avail();
    w.seek(std::min(cur, held_end));
    if (cur > w.pos() && !w.need(static_cast<size_t>(cur - w.pos()))) {
      w.advance(w.avail());
      return w.pos();
    }
    w.seek(cur);
    if (!w.need(kWarcMagic.size())) {
      w.advance(w.avail());
      return w.pos();
    }
    const char* d = w.data();
    const size_t n = w.avail();
    std::optional<uint64_t> candidate;
    if (kind != InputKind::kArc) {
      const void* hit = memmem(d, n, kWarcMagic.data(), kWarcMagic.size());
      if (hit) candidate = cur + static_cast<uint64_t>(static_cast<const char*>(hit) - d);
    } else if (cur == 0 || w.before(cur) == '\n') {
      candidate = cur;
    } else if (const void* nl = std::memchr(d, '\n', n)) {
      candidate = cur + static_cast<uint64_t>(static_cast<const char*>(nl) - d) + 1;
    }
    if (!candidate) {
      // Keep the last bytes: a `WARC/` may straddle two reads.
      cur += n > kWarcMagic.size() - 1 ? n - (kWarcMagic.size() - 1) : 0;
      w.seek(cur);
      if (!w.need(w.avail() + 1)) {
        w.advance(w.avail());
        return w.pos();
      }
      continue;
    }
    const uint64_t c = *candidate;
    const bool line_start = c == 0 || w.before(c) == '\n' || (stream.gzip() && stream.member_at(c));
    if (line_start) {
      if (kind != InputKind::kArc) {
        w.seek(c);
        return c;
      }
      uint64_t length;
      Bytes line;
      size_t consumed;
      if (arc_line_at(c, &length, &line, &consumed)) {
        w.seek(c);
        return c;
      }
    }
    cur = c + 1;
  }
}

// Whether an ARC record header line starts at content offset `p`; leaves
// the reading point at `p`.
bool ArchiveReader::Impl::arc_line_at(uint64_t p, uint64_t* length, Bytes* line_out, size_t* consumed) {
  Window& w = window;
  w.seek(p);
  size_t scanned = 0;
  const char* nl = nullptr;
  while (true) {
    nl = static_cast<const char*>(std::memchr(w.data() + scanned, '\n', w.avail() - scanned));
    if (nl) break;
    scanned = w.avail();
    if (scanned > kMaxArcLine || !w.need(scanned + 1)) return false;
  }
  const Bytes line = trim_blanks(Bytes(w.data(), static_cast<size_t>(nl - w.data())));
  if (line.size() > kMaxArcLine) return false;
  // Fields separated by spaces: URL IP DATE TYPE ... LENGTH.
  std::vector<Bytes> fields;
  size_t i = 0;
  while (i < line.size() && fields.size() < 64) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) fields.push_back(line.substr(i, j - i));
    i = j;
  }
  if (fields.size() < 5 || fields[0].find(':') == Bytes::npos) return false;
  const std::optional<uint64_t> n = header_decimal(fields.back());
  if (!n) return false;
  *length = *n;
  *line_out = line;
  *consumed = static_cast<size_t>(nl - w.data()) + 1;
  return true;
}

void ArchiveReader::Impl::stray(uint64_t from, uint64_t to) {
  const std::optional<uint64_t> after = last_offset();
  const std::string kind_name = kind == InputKind::kArc ? "ARC" : "WARC";
  std::string reason = "malformed " + kind_name;
  if (after) reason += " after the record at offset " + std::to_string(*after);
  reason += ": stray bytes where a record should start; ";
  if (stream.gzip()) reason += std::to_string(to - from) + " bytes of the decompressed content skipped";
  else reason += "bytes " + std::to_string(from) + " to " + std::to_string(to) + " skipped";
  yield_stray(from, failure_item(std::nullopt, std::move(reason)));
}

void ArchiveReader::Impl::warc_record() {
  Window& w = window;
  stream.forget_members(w.held_from());
  while (w.need(1) && (*w.data() == '\r' || *w.data() == '\n')) w.advance(1);
  if (!w.need(1)) return on_stop();
  const uint64_t rec_pos = w.pos();
  if (!w.need(kWarcMagic.size()) || !Bytes(w.data(), kWarcMagic.size()).starts_with(kWarcMagic)) {
    const uint64_t q = find_record(rec_pos);
    return stray(rec_pos, q);
  }
  const std::optional<uint64_t> offset = stream.member_at(rec_pos);
  if (offset && *offset > options.start_offset && options.stop_at && options.stop_at(*offset)) {
    // Decided before the record is looked at: it and its counts belong to
    // whoever reads from that member on. What was read before it is whole
    // (its member ended cleanly where this one began).
    stopped_at = offset;
    hand_out_held();
    flush_skipped();
    done = true;
    return;
  }
  // A record starting a member of its own: the member before it ended, its
  // checksum right, so the records held are whole and go out now, before this
  // one is read (a reader of a pipe gets each record as soon as the next one
  // begins to arrive). The step ends there; the next one starts this record
  // again from the same point, with nothing held.
  if (offset && stream.gzip() && !held.empty()) {
    hand_out_held();
    return;
  }

  // The header: up to the first empty line.
  size_t scanned = 0, header_len = 0, block_at = 0;
  while (true) {
    const char* d = w.data();
    const size_t n = w.avail();
    bool found = false;
    while (scanned < n) {
      const char* nl = static_cast<const char*>(std::memchr(d + scanned, '\n', n - scanned));
      if (!nl) {
        scanned = n;
        break;
      }
      const size_t i = static_cast<size_t>(nl - d);
      if (i + 1 >= n || (d[i + 1] == '\r' && i + 2 >= n)) {
        scanned = i;  // the next line's first bytes are not read yet
        break;
      }
      if (d[i + 1] == '\n' || (d[i + 1] == '\r' && d[i + 2] == '\n')) {
        header_len = i + 1;
        block_at = i + (d[i + 1] == '\n' ? 2 : 3);
        found = true;
        break;
      }
      scanned = i + 1;
    }
    if (found) break;
    if (n > kMaxWarcHeader) {
      yield(rec_pos, offset, failure_item(offset, "malformed WARC record: its header is longer than 1 MiB"));
      w.advance(1);
      find_record(w.pos());
      return;
    }
    if (!w.need(n + 1)) {
      yield(rec_pos, offset, failure_item(offset, "truncated WARC record: the input ends inside its header"));
      w.advance(w.avail());
      return;
    }
  }

  // Header fields (the first of each wins).
  std::optional<std::string> type, length, uri, date, record_id;
  bool truncated_flag = false;
  {
    const Bytes header(w.data(), header_len);
    size_t at = header.find('\n') + 1;  // past the version line
    while (at < header.size()) {
      size_t end = header.find('\n', at);
      if (end == Bytes::npos) end = header.size();
      const Bytes line = header.substr(at, end - at);
      at = end + 1;
      if (line.empty() || line[0] == ' ' || line[0] == '\t') continue;  // folded continuation
      const size_t colon = line.find(':');
      if (colon == Bytes::npos) continue;
      const Bytes name = trim_blanks(line.substr(0, colon));
      const Bytes value = trim_blanks(line.substr(colon + 1));
      std::optional<std::string>* slot = ieq(name, "WARC-Type")         ? &type
                                         : ieq(name, "Content-Length")  ? &length
                                         : ieq(name, "WARC-Target-URI") ? &uri
                                         : ieq(name, "WARC-Date")       ? &date
                                         : ieq(name, "WARC-Record-ID")  ? &record_id
                                                                        : nullptr;
      if (slot && !*slot) *slot = std::string(value);
      if (ieq(name, "WARC-Truncated")) truncated_flag = true;
    }
  }
  w.advance(block_at);
  const uint64_t block_start = w.pos();
  const std::optional<uint64_t> expected = length ? header_decimal(*length) : std::nullopt;
  if (!expected) {
    yield(rec_pos, offset,
          failure_item(offset, "truncated or malformed WARC record: its header has no Content-Length"));
    find_record(block_start);
    return;
  }

  std::optional<ReadItem> item;
  BlockReader block(w, *expected);
  const std::string kind_name = type ? lower_ascii(*type) : "";
  if (!type) {
    item = failure_item(offset, "malformed WARC record: its header has no WARC-Type");
    block.drain();
  } else if (kind_name == "response") {
    RecordMeta meta;
    meta.offset = offset;
    meta.url = uri;
    meta.record_id = record_id;
    if (date) meta.date = warc_date(*date);
    meta.warc_truncated = truncated_flag;
    item = response(block, *expected, meta);
  } else {
    counts.skip(kind_name, kind_name == "request" ? ReadCounts::Category::kRequest
                                                  : ReadCounts::Category::kOtherRecord);
    block.drain();
  }

  // The record's end: line ends, then the next record or the end.
  if (block.read() == *expected) {
    const uint64_t block_end = w.pos();
    while (w.need(1) && (*w.data() == '\r' || *w.data() == '\n')) w.advance(1);
    const bool next_ok = !w.need(1) || (w.need(kWarcMagic.size()) && Bytes(w.data(), kWarcMagic.size()) == kWarcMagic);
    if (!next_ok) {
      const uint64_t from = block_end > kContentLookback ? std::max(block_start, block_end - kContentLookback) : block_start;
      const uint64_t q = find_record(from);
      if (q < block_end) {
        std::string reason = "malformed WARC record: its Content-Length (" + std::to_string(*expected) +
                             ") runs into the next record";
        if (const std::optional<uint64_t> next = stream.member_at(q)) reason += " (at offset " + std::to_string(*next) + ")";
        yield(rec_pos, offset, failure_item(offset, std::move(reason)));
        return;
      }
      yield(rec_pos, offset, std::move(item));
      return stray(block_end, q);
    }
  }
  yield(rec_pos, offset, std::move(item));
}

void ArchiveReader::Impl::arc_record() {
  Window& w = window;
  stream.forget_members(w.held_from());
  while (w.need(1) && (*w.data() == '\r' || *w.data() == '\n')) w.advance(1);
  if (!w.need(1)) return on_stop();
  const uint64_t rec_pos = w.pos();
  uint64_t expected = 0;
  Bytes line;
  size_t line_len = 0;
  if (!arc_line_at(rec_pos, &expected, &line, &line_len)) {
    const uint64_t q = find_record(rec_pos + 1);
    return stray(rec_pos, q);
  }
  const std::optional<uint64_t> offset = stream.member_at(rec_pos);
  // URL IP DATE TYPE ... LENGTH
  std::vector<Bytes> fields;
  for (size_t i = 0; i < line.size();) {
    while (i < line.size() && line[i] == ' ') ++i;
    size_t j = i;
    while (j < line.size() && line[j] != ' ') ++j;
    if (j > i) fields.push_back(line.substr(i, j - i));
    i = j;
  }
  RecordMeta meta;
  meta.offset = offset;
  meta.url = std::string(fields[0]);
  meta.date = arc_date(fields[2]);
  const bool file_header = fields[0].starts_with(kArcMagic);
  w.advance(line_len);
  const uint64_t block_start = w.pos();
  BlockReader block(w, expected);
  std::optional<ReadItem> item;
  if (file_header) {
    counts.skip("filedesc", ReadCounts::Category::kOtherRecord);
    block.drain();
  } else {
    item = response(block, expected, meta);
    if (item && !item->is_page) {
      // An ARC record has no WARC block: say so in its own words.
      std::string& r = item->failure.reason;
      if (r.starts_with("truncated WARC record")) r.replace(0, 21, "truncated ARC record");
    }
  }
  if (block.read() == expected) {
    const uint64_t block_end = w.pos();
    while (w.need(1) && (*w.data() == '\r' || *w.data() == '\n')) w.advance(1);
    uint64_t next_length;
    Bytes next_line;
    size_t next_len;
    const uint64_t next_at = w.pos();
    const bool next_ok = !w.need(1) || arc_line_at(next_at, &next_length, &next_line, &next_len);
    if (!next_ok) {
      const uint64_t from = block_end > kContentLookback ? std::max(block_start, block_end - kContentLookback) : block_start;
      const uint64_t q = find_record(from);
      if (q < block_end) {
        yield(rec_pos, offset,
              failure_item(offset, "malformed ARC record: its length (" + std::to_string(expected) +
                                       ") runs into the next record"));
        return;
      }
      yield(rec_pos, offset, std::move(item));
      return stray(block_end, q);
    }
    w.seek(next_at);
  }
  yield(rec_pos, offset, std::move(item));
}

std::optional<ReadItem> ArchiveReader::Impl::response(BlockReader& block, uint64_t expected, const RecordMeta& meta) {
  // The HTTP header first: a record that is no page costs no more than that.
  std::string head;
  bool ended = false;
  HeaderEnd he;
  while (head.size() < kMaxHttpHeader) {
    const Bytes piece = block.next();
    if (piece.empty()) {
      ended = true;
      break;
    }
    head.append(piece);
    he = http_header_end(head);
    if (he.pos != Bytes::npos) break;
  }
  if (he.pos == Bytes::npos) {
    if (ended && head.size() < expected) return failure_item(meta.offset, truncated(head.size(), expected));
    block.drain();
    if (!Bytes(head).starts_with("HTTP/")) {
      counts.skip("non-HTTP response", ReadCounts::Category::kNonHtml);
      return std::nullopt;
    }
    return failure_item(meta.offset, "HTTP header without a body (no blank line after the header)");
  }
  const HttpHead h = parse_http_head(Bytes(head).substr(0, he.pos));
  if (!h.is_http) {
    block.drain();
    counts.skip("non-HTTP response", ReadCounts::Category::kNonHtml);
    return std::nullopt;
  }
  MediaType media = parse_content_type(h.content_type);
  if (media.media != "text/html" && media.media != "application/xhtml+xml") {
    block.drain();
    counts.skip(media.media.empty() ? "no Content-Type" : media.media, ReadCounts::Category::kNonHtml);
    return std::nullopt;
  }
  const int status = h.status >= 100 && h.status <= 999 ? h.status : 0;
  if (options.only_2xx && !(status >= 200 && status <= 299)) {
    block.drain();
    counts.skip(status ? "status " + std::to_string(status) : "no status", ReadCounts::Category::kNot2xx);
    return std::nullopt;
  }

  ReadItem item;
  item.is_page = true;
  Page& page = item.page;
  const std::string transfer = h.transfer_encoding ? lower_ascii(*h.transfer_encoding) : "";
  const bool chunked = transfer.find("chunked") != std::string::npos;
  std::string coding = h.content_encoding ? std::string(py_strip(*h.content_encoding)) : "";
  for (char& c : coding) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
  const bool coded = chunked || coding == "gzip" || coding == "x-gzip" || coding == "deflate";
  BodyDecoder decoder(chunked, coding, options.max_page_size, page.body);
  const uint64_t header_bytes = he.pos + he.sep;
  uint64_t total = head.size();
  bool too_large = false;
  if (decoder.error().empty()) {
    // The body's buffer sized before it is read (see read_page): identity
    // coding takes the rest of the block exactly; chunked identity coding
    // at most that; a gzip body its trailer's ISIZE (below). A deflate or
    // chunked and coded body's size is not known before its end, and its
    // buffer grows (see reserve_hint).
    const uint64_t size = expected > header_bytes ? expected - header_bytes : 0;
    if (!coded) {
      too_large = size > options.max_page_size;
      if (!too_large) reserve_hint(page.body, size);
    } else if (chunked && decoder.identity()) {
      reserve_hint(page.body, std::min(size, options.max_page_size));
    }
    if (!too_large && !chunked && decoder.gzip() && size <= options.max_page_size) {
      // A gzip body ends with ISIZE, its (last member's) length mod 2^32:
      // the coded body is gathered before it is decoded, so that the page's
      // buffer is sized from it. It is held while the page is decoded
      // (typically a fifth of the page; at most the limit, as a larger gzip
      // body inflates past it), where a buffer doubled as it is decoded
      // would hold up to the page twice. The same bytes reach the decoder,
      // in one piece rather than several, which it does not tell apart.
      std::string coded_body;
      reserve_hint(coded_body, size);
      coded_body.append(head, static_cast<size_t>(header_bytes), std::string::npos);
      while (true) {
        const Bytes piece = block.next();
        if (piece.empty()) break;
        total += piece.size();
        coded_body.append(piece);
      }
      if (coded_body.size() >= 4) {
        const auto* b = reinterpret_cast<const uint8_t*>(coded_body.data() + coded_body.size() - 4);
        const uint64_t isize = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
        reserve_hint(page.body, std::min({isize, options.max_page_size, inflated_at_most(coded_body.size())}));
      }
      decoder.feed(coded_body.data(), coded_body.size());
      decoder.finish();
    } else if (!too_large && decoder.feed(head.data() + header_bytes, head.size() - header_bytes)) {
      while (true) {
        const Bytes piece = block.next();
        if (piece.empty()) break;
        total += piece.size();
        if (!decoder.feed(piece.data(), piece.size())) break;
      }
      decoder.finish();
    }
  }
  const uint64_t before_drain = block.read();
  block.drain();
  total += block.read() - before_drain;
  if (too_large || decoder.too_large()) {
    return failure_item(meta.offset, "page too large: over the limit of " + format_size(options.max_page_size) +
                                         " (max page size)");
  }
  if (!decoder.error().empty()) {
    if (total < expected) return failure_item(meta.offset, truncated(total, expected));
    return failure_item(meta.offset, "undecodable HTTP body: " + decoder.error());
  }
  if (total < expected) return failure_item(meta.offset, truncated(total, expected));
  const std::optional<uint64_t> announced = h.content_length ? header_decimal(*h.content_length) : std::nullopt;
  if (page.body.empty() && announced && *announced && !h.transfer_encoding && !meta.warc_truncated) {
    return failure_item(meta.offset, "HTTP header without a body (Content-Length: " + std::to_string(*announced) + ")");
  }
  page.offset = meta.offset;
  page.url = meta.url;
  page.status = status;
  page.date = meta.date;
  page.record_id = meta.record_id;
  page.content_type = std::move(media.media);
  page.charset = std::move(media.charset);
  return item;
}

void ArchiveReader::Impl::step() {
  switch (kind) {
    case InputKind::kUnknown:
      start();
      return;
    case InputKind::kPage:
      return read_page();
    case InputKind::kWarc:
      return warc_record();
    case InputKind::kArc:
      return arc_record();
  }
}

ArchiveReader::ArchiveReader(ByteSource& source, const ReaderOptions& options)
    : impl_(std::make_unique<Impl>(source, options)) {}

ArchiveReader::~ArchiveReader() = default;

bool ArchiveReader::next(ReadItem& out) {
  while (impl_->ready.empty() && !impl_->done) impl_->step();
  if (impl_->ready.empty()) return false;
  out = std::move(impl_->ready.front());
  impl_->ready.pop_front();
  return true;
}

const ReadCounts& ArchiveReader::counts() const { return impl_->counts; }
InputKind ArchiveReader::kind() const { return impl_->kind; }
uint64_t ArchiveReader::bytes_read() const { return impl_->stream.compressed_pos(); }
std::optional<uint64_t> ArchiveReader::stopped_at() const { return impl_->stopped_at; }
std::optional<uint64_t> ArchiveReader::last_record() const { return impl_->last; }
bool ArchiveReader::last_record_known() const { return !impl_->last_unknown; }

}  // namespace ls::reader
