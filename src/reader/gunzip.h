// A gzip stream (every member, zero padding between and after them skipped)
// inflated whole into one buffer, bounded: what a single `.html.gz` page
// needs, outside an archive run.
#pragma once

#include <cstdint>
#include <string>

#include "reader/reader.h"

namespace ls::reader {

enum class GunzipEnd : uint8_t {
  kDone,       // every member inflated, checksums right
  kTruncated,  // the input ends inside a member
  kCorrupt,    // bad data, or bytes after a member that start none
  kTooLarge,   // more than the limit: read no further
  kReadError,  // the source failed
};

struct GunzipResult {
  GunzipEnd end = GunzipEnd::kDone;
  std::string reason;  // UTF-8, one line, when not kDone
};

// Inflates `source` into `out` (appended; reserved from the gzip trailer's
// size when the source can tell it), at most `limit` bytes. Time is linear in
// the input however many members it holds. Throws only std::bad_alloc.
GunzipResult gunzip(ByteSource& source, uint64_t limit, std::string& out);

}  // namespace ls::reader
