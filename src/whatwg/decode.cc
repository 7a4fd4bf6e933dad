// Decoders of the WHATWG Encoding Standard.
//
// Input: bytes of one fragment and an encoding. Output: UTF-8 appended to a
// string. Each decoder is the standard's algorithm run over the whole
// fragment, with the end of the queue handled as the standard's
// end-of-queue step; errors append U+FFFD. Runs of ASCII are copied a vector
// at a time where the encoding maps them to themselves.
#include "whatwg/decode.h"

#include <array>
#include <cstring>

#include "byte_search.h"
#include "whatwg/indexes.h"

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

// Appends the ASCII run starting at `i` and returns the index after it.
inline size_t copy_ascii_run(const uint8_t* d, size_t i, size_t n, std::string& out) {
  const uint8_t* a = find_non_ascii(d + i, d + n);
  size_t e = static_cast<size_t>(a - d);
  out.append(reinterpret_cast<const char*>(d + i), e - i);
  return e;
}

inline void append_or_error(std::string& out, uint32_t cp) {
  if (cp) append_utf8(out, cp);
  else append_replacement(out);
}

// The UTF-8 form of every high byte of every single-byte encoding, built once
// from the index rows: {length, bytes}. Length 3 with U+FFFD for a null entry.
struct Utf8Unit {
  uint8_t len;
  char bytes[3];
};
using SingleByteUtf8 = std::array<std::array<Utf8Unit, 128>, kSingleByteCount>;

const SingleByteUtf8& single_byte_utf8() {
  static const SingleByteUtf8 table = [] {
    SingleByteUtf8 t{};
    for (int r = 0; r < kSingleByteCount; ++r)
      for (int b = 0; b < 128; ++b) {
        std::string u;
        uint32_t cp = kSingleByte[r][b];
        if (cp) append_utf8(u, cp);
        else append_replacement(u);
        t[r][b].len = static_cast<uint8_t>(u.size());
        std::memcpy(t[r][b].bytes, u.data(), u.size());
      }
    return t;
  }();
  return table;
}

void decode_single_byte(int row, Bytes in, std::string& out) {
  const auto& units = single_byte_utf8()[row];
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  // Every byte becomes at most three: write into room made up front.
  const size_t base = out.size();
  out.resize(base + 3 * n);
  char* w = out.data() + base;
  size_t i = 0;
  while (i < n) {
    const uint8_t* a = find_non_ascii(d + i, d + n);
    size_t run = static_cast<size_t>(a - d) - i;
    std::memcpy(w, d + i, run);
    w += run;
    i += run;
    while (i < n && d[i] >= 0x80) {  // a run of high bytes, one table load each
      const Utf8Unit& u = units[d[i] - 0x80];
      std::memcpy(w, u.bytes, 3);  // the unused tail bytes are overwritten next
      w += u.len;
      ++i;
    }
  }
  out.resize(static_cast<size_t>(w - out.data()));
}

template <class T, size_t N>
inline uint32_t index_at(const T (&table)[N], uint32_t pointer) {
  return pointer < N ? table[pointer] : 0;
}

uint32_t gb18030_ranges_code_point(uint32_t pointer) {
  if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
  if (pointer == 7457) return 0xE7C7;
  // The last range whose pointer is <= `pointer`; the first range starts at 0.
  uint32_t lo = 0, hi = kGb18030RangesSize;
  while (hi - lo > 1) {
    uint32_t mid = (lo + hi) / 2;
    if (kGb18030Ranges[mid][0] <= pointer) lo = mid;
    else hi = mid;
  }
  return kGb18030Ranges[lo][1] + pointer - kGb18030Ranges[lo][0];
}

// In the multi-byte decoders below, "restore byte to the queue" is `i` not
// advancing past it; restoring earlier bytes steps `i` back. The lead byte of
// every sequence is consumed for good, so each step back is bounded and the
// loops end.

void decode_gb18030(Bytes in, std::string& out) {
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  uint8_t first = 0, second = 0, third = 0;
  size_t i = 0;
  for (;;) {
    if (i == n) {
      if (first | second | third) append_replacement(out);
      return;
    }
    const uint8_t b = d[i];
    if (third) {
      if (b < 0x30 || b > 0x39) {
        append_replacement(out);
        i -= 2;  // restore second, third and byte
        first = second = third = 0;
        continue;
      }
      uint32_t pointer = (first - 0x81u) * (10 * 126 * 10) + (second - 0x30u) * (10 * 126) +
                         (third - 0x81u) * 10 + b - 0x30u;
      first = second = third = 0;
      ++i;
      append_or_error(out, gb18030_ranges_code_point(pointer));
      continue;
    }
    if (second) {
      if (b >= 0x81 && b <= 0xFE) {
        third = b;
        ++i;
        continue;
      }
      append_replacement(out);
      i -= 1;  // restore second and byte
      first = second = 0;
      continue;
    }
    if (first) {
      if (b >= 0x30 && b <= 0x39) {
        second = b;
        ++i;
        continue;
      }
      const uint8_t lead = first;
      first = 0;
      uint32_t cp = 0;
      if ((b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE)) {
        const uint32_t offset = b < 0x7F ? 0x40 : 0x41;
        cp = index_at(kGb18030, (lead - 0x81u) * 190 + (b - offset));
      }
      if (cp) {
        append_utf8(out, cp);
        ++i;
        continue;
      }
      append_replacement(out);
      if (b >= 0x80) ++i;  // an ASCII byte is processed again
      continue;
    }
    if (b < 0x80) {
      i = copy_ascii_run(d, i, n, out);
    } else {
      if (b == 0x80) append_utf8(out, 0x20AC);
      else if (b <= 0xFE) first = b;
      else append_replacement(out);
      ++i;
    }
  }
}

void decode_euc_jp(Bytes in, std::string& out) {
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  uint8_t lead = 0;
  bool jis0212 = false;
  size_t i = 0;
  for (;;) {
    if (i == n) {
      if (lead) append_replacement(out);
      return;
    }
    const uint8_t b = d[i];
    if (lead == 0x8E && b >= 0xA1 && b <= 0xDF) {
      lead = 0;
      append_utf8(out, 0xFF61 - 0xA1 + b);
      ++i;
      continue;
    }
    if (lead == 0x8F && b >= 0xA1 && b <= 0xFE) {
      jis0212 = true;
      lead = b;
      ++i;
      continue;
    }
    if (lead) {
      const uint8_t l = lead;
      lead = 0;
      uint32_t cp = 0;
      if (l >= 0xA1 && l <= 0xFE && b >= 0xA1 && b <= 0xFE) {
        const uint32_t pointer = (l - 0xA1u) * 94 + b - 0xA1u;
        cp = jis0212 ? index_at(kJis0212, pointer) : index_at(kJis0208, pointer);
      }
      jis0212 = false;
      if (cp) {
        append_utf8(out, cp);
        ++i;
        continue;
      }
      append_replacement(out);
      if (b >= 0x80) ++i;
      continue;
    }
    if (b < 0x80) {
      i = copy_ascii_run(d, i, n, out);
      continue;
    }
    if (b == 0x8E || b == 0x8F || (b >= 0xA1 && b <= 0xFE)) lead = b;
    else append_replacement(out);
    ++i;
  }
}

// The shared shape of the Big5, Shift_JIS and EUC-KR decoders: a lead byte
// and one trail byte. `is_lead(b)` says whether a non-ASCII byte starts a
// pair; `single(b)` gives the code point of any other non-ASCII byte (0:
// error); `pair(lead, b, out)` appends the pair's text and returns true, or
// returns false for an error, after which an ASCII trail byte is processed
// again on its own.
template <class IsLead, class Single, class Pair>
void decode_double_byte(Bytes in, std::string& out, IsLead is_lead, Single single, Pair pair) {
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  uint8_t lead = 0;
  size_t i = 0;
  for (;;) {
    if (i == n) {
      if (lead) append_replacement(out);
      return;
    }
    const uint8_t b = d[i];
    if (lead) {
      const uint8_t l = lead;
      lead = 0;
      if (pair(l, b, out)) {
        ++i;
        continue;
      }
      append_replacement(out);
      if (b >= 0x80) ++i;
      continue;
    }
    if (b < 0x80) {
      i = copy_ascii_run(d, i, n, out);
      continue;
    }
    if (is_lead(b)) lead = b;
    else append_or_error(out, single(b));
    ++i;
  }
}

bool append_index(std::string& out, uint32_t cp) {
  if (!cp) return false;
  append_utf8(out, cp);
  return true;
}

void decode_big5(Bytes in, std::string& out) {
  decode_double_byte(
      in, out, [](uint8_t b) { return b >= 0x81 && b <= 0xFE; }, [](uint8_t) { return 0u; },
      [](uint8_t l, uint8_t b, std::string& o) {
        if (!((b >= 0x40 && b <= 0x7E) || (b >= 0xA1 && b <= 0xFE))) return false;
        const uint32_t pointer = (l - 0x81u) * 157 + (b - (b < 0x7F ? 0x40u : 0x62u));
        switch (pointer) {  // pointers that stand for two code points
          case 1133: o.append("\xC3\x8A\xCC\x84"); return true;  // U+00CA U+0304
          case 1135: o.append("\xC3\x8A\xCC\x8C"); return true;  // U+00CA U+030C
          case 1164: o.append("\xC3\xAA\xCC\x84"); return true;  // U+00EA U+0304
          case 1166: o.append("\xC3\xAA\xCC\x8C"); return true;  // U+00EA U+030C
        }
        return append_index(o, index_at(kBig5, pointer));
      });
}

void decode_shift_jis(Bytes in, std::string& out) {
  decode_double_byte(
      in, out, [](uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); },
      [](uint8_t b) -> uint32_t {
        if (b == 0x80) return 0x80;
        if (b >= 0xA1 && b <= 0xDF) return 0xFF61 - 0xA1 + b;
        return 0;
      },
      [](uint8_t l, uint8_t b, std::string& o) {
        if (!((b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC))) return false;
        const uint32_t pointer = (l - (l < 0xA0 ? 0x81u : 0xC1u)) * 188 + b - (b < 0x7F ? 0x40u : 0x41u);
        // Windows EUDC: the private use area.
        if (pointer >= 8836 && pointer <= 10715) return append_index(o, 0xE000 - 8836 + pointer);
        return append_index(o, index_at(kJis0208, pointer));
      });
}

void decode_euc_kr(Bytes in, std::string& out) {
  decode_double_byte(
      in, out, [](uint8_t b) { return b >= 0x81 && b <= 0xFE; }, [](uint8_t) { return 0u; },
      [](uint8_t l, uint8_t b, std::string& o) {
        return b >= 0x41 && b <= 0xFE && append_index(o, index_at(kEucKr, (l - 0x81u) * 190 + (b - 0x41u)));
      });
}

void decode_iso_2022_jp(Bytes in, std::string& out) {
  enum class State : uint8_t { kAscii, kRoman, kKatakana, kLeadByte, kTrailByte, kEscapeStart, kEscape };
  const uint8_t* d = u8(in);
  const size_t n = in.size();
  State state = State::kAscii, output_state = State::kAscii;
  bool output_flag = false;
  uint8_t lead = 0;
  size_t i = 0;
  // `i` steps back by one byte at most after an escape error, and only over
  // a byte that the escape-start state consumed, so the loop ends.
  for (;;) {
    const bool eoq = i >= n;
    const uint8_t b = eoq ? 0 : d[i];
    switch (state) {
      case State::kAscii:
      case State::kRoman:
        if (eoq) return;
        ++i;
        if (b == 0x1B) {
          state = State::kEscapeStart;
          break;
        }
        output_flag = false;
        if (b <= 0x7F && b != 0x0E && b != 0x0F) {
          if (state == State::kRoman && b == 0x5C) append_utf8(out, 0xA5);
          else if (state == State::kRoman && b == 0x7E) append_utf8(out, 0x203E);
          else out.push_back(static_cast<char>(b));
        } else {
          append_replacement(out);
        }
        break;
      case State::kKatakana:
        if (eoq) return;
        ++i;
        if (b == 0x1B) {
          state = State::kEscapeStart;
          break;
        }
        output_flag = false;
        if (b >= 0x21 && b <= 0x5F) append_utf8(out, 0xFF61 - 0x21 + b);
        else append_replacement(out);
        break;
      case State::kLeadByte:
        if (eoq) return;
        ++i;
        if (b == 0x1B) {
          state = State::kEscapeStart;
          break;
        }
        output_flag = false;
        if (b >= 0x21 && b <= 0x7E) {
          lead = b;
          state = State::kTrailByte;
        } else {
          append_replacement(out);
        }
        break;
      case State::kTrailByte:
        if (eoq) {
          state = State::kLeadByte;
          append_replacement(out);
          break;
        }
        ++i;
        if (b == 0x1B) {
          state = State::kEscapeStart;
          append_replacement(out);
          break;
        }
        state = State::kLeadByte;
        if (b >= 0x21 && b <= 0x7E)
          append_or_error(out, index_at(kJis0208, (lead - 0x21u) * 94 + b - 0x21u));
        else
          append_replacement(out);
        break;
      case State::kEscapeStart:
        if (!eoq && (b == 0x24 || b == 0x28)) {
          lead = b;
          state = State::kEscape;
          ++i;
          break;
        }
        output_flag = false;  // the byte, if any, is processed again
        state = output_state;
        append_replacement(out);
        break;
      case State::kEscape: {
        const uint8_t l = lead;
        lead = 0;
        bool matched = true;
        State next = State::kAscii;
        if (!eoq && l == 0x28 && b == 0x42) next = State::kAscii;
        else if (!eoq && l == 0x28 && b == 0x4A) next = State::kRoman;
        else if (!eoq && l == 0x28 && b == 0x49) next = State::kKatakana;
        else if (!eoq && l == 0x24 && (b == 0x40 || b == 0x42)) next = State::kLeadByte;
        else matched = false;
        if (matched) {
          ++i;
          state = output_state = next;
          const bool had_output = output_flag;
          output_flag = true;
          if (had_output) append_replacement(out);
          break;
        }
        i -= 1;  // restore the lead (and the byte, not yet consumed)
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
    case Encoding::kGbk:
    case Encoding::kGb18030:
    case Encoding::kBig5:
    case Encoding::kEucJp:
    case Encoding::kShiftJis:
    case Encoding::kEucKr: {
      // Two bytes per CJK character become three in UTF-8.
      out.reserve(out.size() + in.size() * 3 / 2);
      switch (e) {
        case Encoding::kIso2022Jp: decode_iso_2022_jp(in, out); return;
        case Encoding::kBig5: decode_big5(in, out); return;
        case Encoding::kEucJp: decode_euc_jp(in, out); return;
        case Encoding::kShiftJis: decode_shift_jis(in, out); return;
        case Encoding::kEucKr: decode_euc_kr(in, out); return;
        default: decode_gb18030(in, out); return;  // GBK's decoder is gb18030's
      }
    }
    default: {
      int row = single_byte_row(e);
      LS_CHECK(row >= 0);
      decode_single_byte(row, in, out);
      return;
    }
  }
}

}  // namespace ls::whatwg
