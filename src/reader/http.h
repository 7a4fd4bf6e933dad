// HTTP messages inside archive records: the header, the media type and
// charset, and the body decoded from its transfer coding (chunked) and content
// coding (gzip, deflate), a piece at a time and never past a size limit.
//
// The header is read as the command has always read it, so that pages and
// failures do not change with the reader: lines end at CR LF, LF or a lone CR;
// field names are matched without case, the first of a repeated field wins;
// values are trimmed of the whitespace Python's str.strip removes on Latin-1
// text (which includes 0x1C-0x1F, 0x85 and 0xA0). Text taken from a header
// (media type, charset) is Latin-1, handed on as UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "reader/members.h"

namespace ls::reader {

// The longest HTTP header looked for; a longer one has "no body".
inline constexpr size_t kMaxHttpHeader = size_t{1} << 20;
// The longest chunk-size line of a chunked body.
inline constexpr size_t kMaxChunkLine = size_t{1} << 12;

// Python's str.strip() whitespace over Latin-1 text.
bool is_py_space(uint8_t c);
Bytes py_strip(Bytes s);
// A header's decimal number: ASCII digits only, blanks and tabs trimmed, at
// most 30 significant digits (larger values saturate); otherwise absent.
std::optional<uint64_t> header_decimal(Bytes value);
// A WARC-Date as YYYY-MM-DDThh:mm:ss[.ffffff]Z (finer fractions cut to
// microseconds), absent unless it is a valid date of that form.
std::optional<std::string> warc_date(Bytes value);
// An ARC date (YYYYMMDDhhmmss) in the same form.
std::optional<std::string> arc_date(Bytes value);
std::string latin1_to_utf8(Bytes s);
// Python's repr() of the Latin-1 text `s` (a str) or of bytes.
std::string py_repr_str(Bytes s);
std::string py_repr_bytes(Bytes s);

struct HeaderEnd {
  size_t pos = Bytes::npos;  // where the blank line starts; npos: not found
  size_t sep = 0;            // its length (2 for LF LF, 4 for CR LF CR LF)
};
// The first LF LF, or the first CR LF CR LF when no LF LF comes before it,
// ending within kMaxHttpHeader bytes.
HeaderEnd http_header_end(Bytes head);

struct HttpHead {
  bool is_http = false;  // the first line starts "HTTP/"
  int status = 0;        // the status code, 0 when absent or not a number
  std::optional<std::string> content_type, transfer_encoding, content_encoding, content_length;
};
HttpHead parse_http_head(Bytes head);

struct MediaType {
  std::string media;  // lower case, UTF-8; empty when absent
  std::optional<std::string> charset;
};
MediaType parse_content_type(const std::optional<std::string>& value);

// Reserves `size` bytes of `body`'s capacity, as a hint: nothing when the
// allocation fails (the page may still fit as it grows, and a hint never
// fails a page). Reading a page into a buffer so sized costs the page once;
// a buffer grown by doubling holds two copies of what was read at each
// reallocation.
void reserve_hint(std::string& body, uint64_t size);

// An HTTP body decoded as it arrives (`feed`), into `body`, never past `limit`.
class BodyDecoder {
 public:
  // `coding` is the Content-Encoding value (trimmed, lower case).
  BodyDecoder(bool chunked, Bytes coding, uint64_t limit, std::string& body);
  ~BodyDecoder();
  // False once the body failed (too large, undecodable): feed no more.
  bool feed(const char* data, size_t n);
  // At the end of the raw body: checks that the codings ended.
  void finish();
  bool too_large() const { return too_large_; }
  // Whether the content coding is identity (the body as sent, bar chunking).
  bool identity() const { return coding_ == Coding::kIdentity; }
  bool gzip() const { return coding_ == Coding::kGzip; }
  // The reason the body does not decode; empty when it does.
  const std::string& error() const { return error_; }

 private:
  bool dechunk(const char* data, size_t n);
  bool chunk_line_done();
  bool inflate(const char* data, size_t n);
  bool begin_member();
  bool emit(const char* data, size_t n);

  enum class Chunk : uint8_t { kSize, kData, kAfterData, kAfterDataCr, kDone };
  enum class Coding : uint8_t { kIdentity, kGzip, kDeflate };
  bool chunked_;
  Coding coding_ = Coding::kIdentity;
  uint64_t limit_;
  std::string& body_;
  bool too_large_ = false;
  std::string error_;

  Chunk chunk_ = Chunk::kSize;
  std::string chunk_line_;
  uint64_t chunk_left_ = 0;

  ZInflater inflater_;
  bool in_member_ = false;
  bool deflate_done_ = false;
  bool deflate_started_ = false;
  std::string deflate_head_;  // the first bytes of a deflate body, to tell zlib from raw
  std::string scratch_;
};

}  // namespace ls::reader
