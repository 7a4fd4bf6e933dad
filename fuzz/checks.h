// The oracles of the fuzz targets. Each check takes the fuzzer's bytes and
// returns a description of the first property that failed, or nothing. The
// libFuzzer entry points (entry.cc) abort on a description; the private test
// module replays the committed regression inputs through the same checks, so
// a fixed fault stays fixed in every build.
//
// Input of check_extract (fuzz/README.md has examples):
//   schema 0xFF 0xFF document
// The schema is records separated by 0xFF. The first record is control
// bytes: byte 0 picks the charset label (0: none), the following bytes are
// first-only flags, bit i of byte 1 + i / 8 for flat query i. Every further
// record starts with its kind: 'F' a flat query, 'G' a group container,
// 'S' a sub-field of the last group, written name 0xFE query, 'L' a label
// written out. Input without 0xFF 0xFF is a document for a fixed, broad schema.
//
// Input of check_decode: byte 0 picks the encoding, byte 1 holds flags, the
// rest is the text; or 'L' label 0xFF, the flags byte and the text.
//
// Input of check_query: up to four queries separated by 0xFF.
//
// Input of check_reader: byte 0 holds flags (bit 0: only 2xx; bits 1-3 pick
// the page limit), the rest is an input file (WARC, ARC, gzip or a page).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base.h"
#include "lib.h"

namespace ls::fuzz {

std::optional<std::string> check_extract(Bytes input);
std::optional<std::string> check_decode(Bytes input);
std::optional<std::string> check_query(Bytes input);
std::optional<std::string> check_reader(Bytes input);

// A schema and a document read from check_extract's input format.
struct FuzzCase {
  std::vector<std::string> flat;
  std::vector<GroupQuery> groups;
  std::vector<bool> first_only;
  std::optional<std::string> label;
  Bytes document;
};
FuzzCase read_case(Bytes input);

}  // namespace ls::fuzz
