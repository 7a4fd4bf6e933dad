// Decoders of the WHATWG Encoding Standard.
//
// Input: bytes of one fragment and an encoding. Output: UTF-8 appended to a
// string. Each decoder is the standard's algorithm run over the whole
// fragment, with the end of the queue handled as the standard's
// end-of-queue step; errors append U+FFFD. Runs of ASCII are copied a vector
// at a time where the encoding maps them to themselves.
#include "whatwg/decode.h"

#include "byte_search.h"

namespace ls::whatwg {

namespace {

inline const uint8_t* u8(Bytes b) { return reinterpret_cast<const uint8_t*>(b.data()); }

// The UTF-8 decoder. `strict` stops at the first error and reports where the
// well-formed prefix ends instead of replacing. Returns the number of bytes
// consumed without error (== in.size() when well-formed).
size_t utf8_run(Bytes in, std::string* out) {
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const uint8_t* a = find_non_ascii(d + i, d + n);
    size_t ascii_end = static_cast<size_t>(a - d);
    if (out) out->append(reinterpret_cast<const char*>(d + i), ascii_end - i);
    i = ascii_end;
    if (i == n) break;
    uint8_t b = d[i];
    size_t need;
    uint8_t lower = 0x80, upper = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) lower = 0xA0;
      if (b == 0xED) upper = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) lower = 0x90;
      if (b == 0xF4) upper = 0x8F;
    } else {
      if (!out) return i;
      append_replacement(*out);
      ++i;
      continue;
    }
    // Check the trail bytes; the first failing one is reprocessed.
    size_t j = i + 1;
    bool ok = true;
    for (size_t k = 0; k < need; ++k, ++j) {
      if (j >= n || d[j] < lower || d[j] > upper) {
        ok = false;
        break;
      }
      lower = 0x80;
      upper = 0xBF;
    }
    if (!ok) {
      if (!out) return i;
      append_replacement(*out);
      i = j;  // the byte that failed (or the end of input) is looked at again
      continue;
    }
    if (out) out->append(reinterpret_cast<const char*>(d + i), need + 1);
    i = j;
  }
  return n;
}

void decode_utf16(Bytes in, bool little_endian, std::string& out) {
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  uint32_t lead_surrogate = 0;  // 0: none pending
  size_t i = 0;
  for (; i + 1 < n; i += 2) {
    uint32_t unit = little_endian ? (d[i] | (d[i + 1] << 8)) : ((d[i] << 8) | d[i + 1]);
    if (lead_surrogate) {
      uint32_t lead = lead_surrogate;
      lead_surrogate = 0;
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        append_utf8(out, 0x10000 + ((lead - 0xD800) << 10) + (unit - 0xDC00));
        continue;
      }
      append_replacement(out);  // the unit itself is processed again below
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      lead_surrogate = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      append_replacement(out);
    } else {
      append_utf8(out, unit);
    }
  }
  // End of queue with a lone byte or a lead surrogate pending: one error.
  if (i < n || lead_surrogate) append_replacement(out);
}

void decode_x_user_defined(Bytes in, std::string& out) {
  for (uint8_t b : in) {
    if (b < 0x80) out.push_back(static_cast<char>(b));
    else append_utf8(out, 0xF780 + b - 0x80);
  }
}

// ISO-2022-JP state machine without its JIS X 0208 index: the escape
// handling is the standard's, and every double-byte character decodes to
// U+FFFD until the index tables are generated.
void decode_iso_2022_jp_without_index(Bytes in, std::string& out) {
  enum class State : uint8_t { kAscii, kRoman, kKatakana, kLeadByte, kTrailByte, kEscapeStart, kEscape };
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  State state = State::kAscii, output_state = State::kAscii;
  bool output_flag = false;
  uint8_t lead = 0;
  size_t i = 0;
  // `i` may step back (prepend to the queue) by at most two bytes after an
  // escape error, never past bytes already consumed twice, so the loop ends.
  while (true) {
    const bool eoq = i >= n;
    const uint8_t b = eoq ? 0 : d[i];
    switch (state) {
      case State::kAscii:
      case State::kRoman:
        if (eoq) return;
        ++i;
        if (b == 0x1B) { state = State::kEscapeStart; break; }
        if (b <= 0x7F && b != 0x0E && b != 0x0F) {
          output_flag = false;
          if (state == State::kRoman && b == 0x5C) append_utf8(out, 0xA5);
          else if (state == State::kRoman && b == 0x7E) append_utf8(out, 0x203E);
          else out.push_back(static_cast<char>(b));
          break;
        }
        output_flag = false;
        append_replacement(out);
        break;
      case State::kKatakana:
        if (eoq) return;
        ++i;
        if (b == 0x1B) { state = State::kEscapeStart; break; }
        output_flag = false;
        if (b >= 0x21 && b <= 0x5F) append_utf8(out, 0xFF61 - 0x21 + b);
        else append_replacement(out);
        break;
      case State::kLeadByte:
        if (eoq) return;
        ++i;
        if (b == 0x1B) { state = State::kEscapeStart; break; }
        output_flag = false;
        if (b >= 0x21 && b <= 0x7E) { lead = b; state = State::kTrailByte; break; }
        append_replacement(out);
        break;
      case State::kTrailByte:
        if (eoq) { append_replacement(out); return; }
        if (b == 0x1B) { state = State::kEscapeStart; ++i; append_replacement(out); break; }
        state = State::kLeadByte;
        ++i;
        (void)lead;
        append_replacement(out);  // JIS X 0208 lookup: index not generated yet
        break;
      case State::kEscapeStart:
        if (!eoq && (b == 0x24 || b == 0x28)) { lead = b; state = State::kEscape; ++i; break; }
        // Prepend the byte (if any), return error.
        output_flag = false;
        state = output_state;
        append_replacement(out);
        break;
      case State::kEscape: {
        uint8_t l = lead;
        lead = 0;
        State next = State::kAscii;
        bool matched = false;
        if (!eoq) {
          if (l == 0x28 && b == 0x42) { next = State::kAscii; matched = true; }
          else if (l == 0x28 && b == 0x4A) { next = State::kRoman; matched = true; }
          else if (l == 0x28 && b == 0x49) { next = State::kKatakana; matched = true; }
          else if (l == 0x24 && (b == 0x40 || b == 0x42)) { next = State::kLeadByte; matched = true; }
        }
        if (matched) {
          ++i;
          state = output_state = next;
          bool was_flag = output_flag;
          output_flag = true;
          if (was_flag) append_replacement(out);
          break;
        }
        // Prepend lead and byte: step back over the lead byte.
        i -= 1;
        output_flag = false;
        state = output_state;
        append_replacement(out);
        break;
      }
    }
  }
}

}  // namespace

bool utf8_is_valid(Bytes in) { return utf8_run(in, nullptr) == in.size(); }

size_t utf8_valid_prefix(Bytes in) { return utf8_run(in, nullptr); }

void decode_append(Encoding e, Bytes in, std::string& out) {
  switch (e) {
    case Encoding::kUtf8:
      out.reserve(out.size() + in.size());
      utf8_run(in, &out);
      return;
    case Encoding::kUtf16le:
    case Encoding::kUtf16be:
      out.reserve(out.size() + in.size() + in.size() / 2);
      decode_utf16(in, e == Encoding::kUtf16le, out);
      return;
    case Encoding::kReplacement:
      // The whole non-empty input is one error; the decoder then finishes.
      if (!in.empty()) append_replacement(out);
      return;
    case Encoding::kXUserDefined:
      decode_x_user_defined(in, out);
      return;
    case Encoding::kIso2022Jp:
      decode_iso_2022_jp_without_index(in, out);
      return;
    default:
      internal_fault("decoder not available for this encoding");
  }
}

}  // namespace ls::whatwg
