// The archive reader's front: bytes in (a gzip or plain file), pages and
// failures out, in file order.
//
// What goes in: one input, read front to back through a `ByteSource` (never
// seeked, so a pipe serves as well as a file). What comes out, one `ReadItem`
// at a time from `ArchiveReader::next`:
//   - an input starting `WARC/` (after gunzipping) is a WARC archive (0.17,
//     1.0, 1.1): each `response` record whose HTTP Content-Type is HTML is a
//     page; every other record is counted by kind and skipped;
//   - an input starting `filedesc://` is an ARC archive (v1 or v2 headers),
//     read the same way;
//   - anything else is one page, the whole (decompressed) input.
// A record that cannot be read is a failure (offset, reason) and reading goes
// on: a corrupt gzip member is skipped to the next member that starts a record
// (see members.h), a bad WARC record to the next line starting `WARC/` (see
// records.cc), with the bytes skipped named in the failure.
//
// The stages, each a loop over a bounded buffer, none needing the whole input:
//   ByteSource -> ContentStream (members.h: gzip members, their offsets)
//              -> records (records.cc: WARC/ARC headers and blocks)
//              -> HTTP message (http.h: header, chunked, gzip/deflate body)
//              -> page (bounded by max_page_size).
// Memory: a page is held up to `max_page_size` bytes, in a buffer sized
// before the page is read whenever its size can be told (see `read_page` and
// `response` in records.cc), so that it costs about its own size; a WARC
// header up to 1 MiB, an HTTP header up to 1 MiB; a body that is not a page
// passes through 64 KiB at a time; 64 KiB of compressed input and of content
// are kept behind the reading point so that a resynchronisation can look back,
// and content is read ahead into a buffer of at most 1 MiB (more only for a
// longer header).
//
// Failures are values: nothing here throws for any input. Allocation failure
// and broken invariants unwind to the caller's guard (lib.h's `guarded`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base.h"

namespace ls::reader {

// Bytes of one input, front to back.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `n` bytes into `out`: the count, 0 at the end, -1 on an error
  // (then `error()` says which).
  virtual int64_t read(char* out, size_t n) = 0;
  virtual std::string error() const { return "read error"; }

  // Hints for sizing a page's buffer before it is read, never trusted to
  // bound what is read (a file may change while it is read; a hostile one
  // says what it likes): a wrong hint costs a reallocation or unused
  // address space, nothing else. Absent when the source cannot tell.
  // The bytes left to read.
  virtual std::optional<uint64_t> remaining_hint() const { return std::nullopt; }
  // The input's last four bytes, little-endian (a gzip file's ISIZE: the
  // last member's length mod 2^32), when they can be had without moving
  // the reading point.
  virtual std::optional<uint32_t> last_word_hint() const { return std::nullopt; }
};

// A source over bytes held by the caller.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(Bytes data) : data_(data) {}
  int64_t read(char* out, size_t n) override;
  std::optional<uint64_t> remaining_hint() const override { return data_.size() - at_; }
  std::optional<uint32_t> last_word_hint() const override;

 private:
  Bytes data_;
  size_t at_ = 0;
};

// The default bound on one page, decompressed.
inline constexpr uint64_t kDefaultMaxPageSize = uint64_t{64} << 20;
// Distinct kinds of skipped record kept in `ReadCounts::kinds`; the rest are
// counted together under `kOtherKinds`.
inline constexpr size_t kMaxSkippedKinds = 64;
inline constexpr const char* kOtherKinds = "(other kinds)";

struct ReaderOptions {
  uint64_t max_page_size = kDefaultMaxPageSize;
  bool only_2xx = false;  // keep only pages whose HTTP status is 2xx

  // Reading a part of a gzipped archive (see archive/split.h): the source
  // begins at this offset of the file, so that offsets are the file's.
  uint64_t start_offset = 0;
  // Whether a record before the source's start may have been read whole (by
  // the parts before): a corrupt run met before any record of the part's own
  // then leaves the record it follows to be named by the caller (see
  // `Failure::after_at`).
  bool after_unknown = false;
  // A WARC record starting at gzip member `offset` (past `start_offset`) for
  // which this says true is not read: reading ends before it, everything read
  // before it handed out as at the end of the input (see `stopped_at`).
  std::function<bool(uint64_t offset)> stop_at;
};

struct Page {
  // Where the record starts in the file as stored: its gzip member's offset,
  // or the byte offset of an uncompressed archive; absent for a plain page and
  // for a record that starts inside a member (a WARC gzipped as one stream).
  std::optional<uint64_t> offset;
  std::optional<std::string> url;        // WARC-Target-URI / the ARC URL, as sent
  int status = 0;                        // HTTP status 100..999; 0: none
  std::optional<std::string> date;       // YYYY-MM-DDThh:mm:ss[.ffffff]Z
  std::optional<std::string> record_id;  // WARC-Record-ID as sent
  std::optional<std::string> content_type;  // media type, lower case, UTF-8
  std::optional<std::string> charset;       // charset parameter, UTF-8
  std::string body;                         // decoded from transfer and content coding
};

struct Failure {
  std::optional<uint64_t> offset;  // the record's, when the failure is one record's
  std::string reason;              // UTF-8, one line
  // Under `ReaderOptions::after_unknown`, a corrupt run before the part's
  // first record: where " after the record at offset N" belongs in `reason`,
  // for the caller who knows N (nothing is inserted when there is none).
  std::optional<size_t> after_at;
};

struct ReadItem {
  bool is_page = false;
  Page page;
  Failure failure;
};

struct ReadCounts {
  uint64_t skipped = 0;        // the sum of the four below
  uint64_t requests = 0;       // request records
  uint64_t other_records = 0;  // warcinfo, metadata, revisit, ... (and ARC file headers)
  uint64_t non_html = 0;       // responses that are not HTML (or not HTTP)
  uint64_t not_2xx = 0;        // HTML responses not 2xx, under only_2xx
  // Skipped records by kind (WARC type, media type, status), in first-seen
  // order; at most kMaxSkippedKinds + 1 entries.
  std::vector<std::pair<std::string, uint64_t>> kinds;

  enum class Category : uint8_t { kRequest, kOtherRecord, kNonHtml, kNot2xx };
  void skip(std::string_view kind, Category category);
};

enum class InputKind : uint8_t { kUnknown = 0, kPage = 1, kWarc = 2, kArc = 3 };

class ArchiveReader {
 public:
  ArchiveReader(ByteSource& source, const ReaderOptions& options);
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // The next page or failure; false once the input is read to its end.
  bool next(ReadItem& out);
  const ReadCounts& counts() const;
  InputKind kind() const;
  // Compressed (as stored) bytes consumed so far (from the file's start).
  uint64_t bytes_read() const;
  // The member offset `ReaderOptions::stop_at` stopped before, once read.
  std::optional<uint64_t> stopped_at() const;
  // The offset of the last record handed out whole, and whether it is known
  // (false under `after_unknown` until the part hands out a record of its own).
  std::optional<uint64_t> last_record() const;
  bool last_record_known() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// "64 MiB", "1.5 GiB", "1000 bytes": a size as the command writes it.
std::string format_size(uint64_t size);

}  // namespace ls::reader
