#include "reader/gunzip.h"

#include <algorithm>

#include "reader/members.h"

namespace ls::reader {

GunzipResult gunzip(ByteSource& source, uint64_t limit, std::string& out) {
  // The trailer's size (mod 2^32) is a hint only: it sizes the buffer, never
  // bounds what is read. Deflate expands at most 1032 times.
  if (const std::optional<uint32_t> isize = source.last_word_hint()) {
    const std::optional<uint64_t> left = source.remaining_hint();
    uint64_t want = std::min<uint64_t>(*isize, limit);
    if (left) want = std::min<uint64_t>(want, *left * 1032);
    if (want > out.capacity()) {
      try {
        out.reserve(static_cast<size_t>(want));
      } catch (const std::bad_alloc&) {
        // A wrong hint costs a reallocation, never the read.
      }
    }
  }
  ContentStream stream(source, /*gzip=*/true);
  char chunk[kReadSize];
  while (true) {
    const size_t got = stream.read(chunk, sizeof chunk);
    if (got == 0) break;
    if (got > limit - std::min<uint64_t>(limit, out.size())) {
      return {GunzipEnd::kTooLarge, "page too large: over the limit of " + format_size(limit) + " (max page size)"};
    }
    out.append(chunk, got);
  }
  if (stream.broken()) {
    return {stream.broken_truncated() ? GunzipEnd::kTruncated : GunzipEnd::kCorrupt, stream.broken_reason()};
  }
  if (stream.read_error()) return {GunzipEnd::kReadError, *stream.read_error()};
  return {};
}

}  // namespace ls::reader
