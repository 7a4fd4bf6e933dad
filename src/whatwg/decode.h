// Decoders of the WHATWG Encoding Standard, turning bytes into UTF-8.
//
// Every decoder here decodes a fragment: a byte-order mark is neither sniffed
// nor stripped ("decode without BOM handling"), and malformed input becomes
// U+FFFD exactly where the standard's decoder returns an error.
#pragma once

#include <string>

#include "base.h"
#include "whatwg/labels.h"

namespace ls::whatwg {

// Appends the decoding of `in` in encoding `e` to `out`.
void decode_append(Encoding e, Bytes in, std::string& out);

// True when `in` is well-formed UTF-8.
bool utf8_is_valid(Bytes in);

// Appends the code point `cp` (a scalar value) in UTF-8.
inline void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 2);
  } else if (cp < 0x10000) {
    char b[3] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                 static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 3);
  } else {
    char b[4] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                 static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    out.append(b, 4);
  }
}

inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";
inline void append_replacement(std::string& out) { out.append(kReplacementUtf8, 3); }

}  // namespace ls::whatwg
