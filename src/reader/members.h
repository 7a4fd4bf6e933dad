// Gzip members in, content out: the first stage of the archive reader.
//
// `ContentStream` turns the bytes of one input into its content: a plain
// input is passed through; a gzip input is inflated member after member (zero
// bytes between and after members skipped, FEXTRA/FNAME/FCOMMENT/FHCRC
// headers read by zlib), each member's CRC and length checked. It remembers
// where each member's content starts (content offset -> compressed offset), so
// that a record starting at a member is known by the member's offset.
//
// A corrupt member (bad data, bad checksum, trailing bytes that are no
// member, the input ending inside one) stops the stream: `broken()` says why,
// and `resync()` skips to the next member whose content starts as the caller's
// predicate wants (a WARC record), returning the compressed range skipped. The
// search starts just after the broken member's start, but never more than
// kLookback bytes before the point where the damage was found: the input is
// read once, front to back, with kLookback bytes kept behind the reading point,
// so the work per failure is bounded and a pipe can be read too. Where the
// search starts depends only on the file's bytes, not on how it was read.
// Each candidate member is probed with at most kProbe compressed bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/reader.h"

namespace ls::reader {

// Compressed bytes kept behind the reading point for a resynchronisation.
inline constexpr size_t kLookback = size_t{1} << 16;
// Compressed bytes a candidate member may take to show its first content.
inline constexpr size_t kProbe = size_t{1} << 16;
// Each read from the source.
inline constexpr size_t kReadSize = size_t{1} << 16;

// One zlib inflate stream (gzip, zlib or raw deflate), reused across members.
class ZInflater {
 public:
  enum class Format : uint8_t { kGzip, kZlib, kRaw };
  ZInflater();
  ~ZInflater();
  ZInflater(const ZInflater&) = delete;
  ZInflater& operator=(const ZInflater&) = delete;

  void reset(Format format);
  struct Step {
    size_t consumed = 0;
    size_t produced = 0;
    bool ended = false;  // the stream's end was reached (trailer checked)
    bool failed = false;
  };
  Step step(const char* in, size_t in_size, char* out, size_t out_size);
  // The failure as Python's zlib module words it ("Error -3 while
  // decompressing data: invalid block type"), so that messages read the same
  // whichever reader met them.
  const std::string& error() const { return error_; }

 private:
  struct State;  // the zlib stream (members.cc)
  State* state_ = nullptr;
  Format format_ = Format::kGzip;
  bool ready_ = false;
  std::string error_;
};

// Whether the first bytes of a member's content start a record.
using StartsRecord = bool (*)(Bytes first);

class ContentStream {
 public:
  // `base`: the file offset at which `source` begins (a part of a file).
  ContentStream(ByteSource& source, bool gzip, uint64_t base = 0);

  // Up to `n` content bytes into `out`; 0 at the end of the input, when
  // broken, or after a read error of the source.
  size_t read(char* out, size_t n);

  bool gzip() const { return gzip_; }
  bool broken() const { return broken_; }
  // Why; whether it is the input ending inside a member (not bad data).
  const std::string& broken_reason() const { return broken_reason_; }
  bool broken_truncated() const { return broken_truncated_; }
  // The content offset where the broken member's content began.
  uint64_t broken_content_pos() const { return broken_content_pos_; }
  // The source's read error, if reading stopped on one.
  const std::optional<std::string>& read_error() const { return read_error_; }

  // After `broken()`: skip to the next member whose content `starts` accepts
  // (at most kProbe compressed bytes to show kProbeContent bytes); the
  // compressed range skipped, ending at the end of the input when none does.
  std::pair<uint64_t, uint64_t> resync(StartsRecord starts, size_t probe_content);

  // Content bytes delivered so far.
  uint64_t content_pos() const { return content_pos_; }
  // Compressed bytes consumed so far.
  uint64_t compressed_pos() const { return in_base_ + in_at_; }
  // The compressed offset of the member whose content starts at `pos` (the
  // position itself for a plain input).
  std::optional<uint64_t> member_at(uint64_t pos) const;
  // Forget the member starts before content offset `before`.
  void forget_members(uint64_t before);

 private:
  bool fill();
  void compact(size_t keep_from);
  bool start_member();
  void fail(const std::string& reason, bool truncated);
  bool probe(size_t at, StartsRecord starts, size_t probe_content);

  ByteSource& source_;
  const bool gzip_;
  // Compressed input: in_[0, in_len_) is the file from offset in_base_;
  // in_at_ is the reading point.
  std::vector<char> in_;
  size_t in_len_ = 0;
  size_t in_at_ = 0;
  uint64_t in_base_ = 0;
  bool eof_ = false;
  std::optional<std::string> read_error_;

  ZInflater inflater_;
  bool in_member_ = false;
  uint64_t member_start_ = 0;
  uint64_t content_pos_ = 0;
  // (content offset, compressed offset) of member starts not yet forgotten,
  // in increasing order.
  std::deque<std::pair<uint64_t, uint64_t>> members_;

  // Damage found by a step that also gave content: reported at the next read.
  std::optional<std::string> pending_failure_;
  bool broken_ = false;
  bool broken_truncated_ = false;
  std::string broken_reason_;
  uint64_t broken_at_ = 0;
  uint64_t broken_found_ = 0;  // the compressed reading point when the damage was found
  uint64_t broken_content_pos_ = 0;
};

}  // namespace ls::reader
