// The decoders under fuzzing: the WHATWG decoders, value decoding with
// character references, normalize-space, input preparation and encoding
// resolution. Input: see checks.h.
//
// Oracles:
//   - every decoder's output is valid UTF-8 and at most three bytes per input
//     byte plus one replacement character;
//   - the matcher's value decoders (decode_bytes, decode_attr, finalize)
//     agree with decoding first and resolving references after;
//   - in an ASCII-compatible encoding, text cut before each '<' (as the
//     tokenizer cuts text around tags) and decoded piece by piece equals the
//     whole text decoded in one piece (in GB18030 and GBK only when the
//     whole is well formed);
//   - character references never produce NUL or invalid UTF-8;
//   - normalize-space leaves no leading, trailing or doubled whitespace;
//   - a prepared document is trimmed at its end, in the resolved encoding
//     (UTF-8 when it was transcoded) and then valid UTF-8.
#include <cstring>

#include "encoding.h"
#include "entities.h"
#include "fuzz/checks.h"
#include "matcher/decode.h"
#include "whatwg/decode.h"

namespace ls::fuzz {

namespace {

bool is_xpath_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::optional<std::string> check_decode(Bytes input) {
  whatwg::Encoding enc = whatwg::Encoding::kUtf8;
  if (input.starts_with('L') && input.find('\xFF') != Bytes::npos) {
    const size_t end = input.find('\xFF');
    enc = whatwg::for_label(input.substr(1, end - 1)).value_or(whatwg::Encoding::kUtf8);
    input.remove_prefix(end);  // the 0xFF stands where the encoding byte would
  } else if (!input.empty()) {
    enc = static_cast<whatwg::Encoding>(static_cast<uint8_t>(input[0]) % whatwg::kEncodingCount);
  }
  if (input.size() < 2) return std::nullopt;
  const uint8_t flags = static_cast<uint8_t>(input[1]);
  const Bytes text = input.substr(2);
  const std::string name = whatwg::canonical_name(enc);

  std::string whole;
  whatwg::decode_append(enc, text, whole);
  if (!whatwg::utf8_is_valid(whole)) return name + ": invalid UTF-8";
  if (whole.size() > 3 * text.size() + 3) return name + ": output larger than three bytes per input byte";

  if (whatwg::is_ascii_compatible(enc)) {
    if (decode_bytes(text, enc).bytes() != Bytes(whole)) return name + ": decode_bytes differs from the decoder";

    // Cut before every '<' and decode piece by piece: the same text, except
    // where GB18030 drops the digits of a broken four-byte sequence at the
    // end of a piece (docs/differences-from-parsel.md).
    const bool gb = enc == whatwg::Encoding::kGb18030 || enc == whatwg::Encoding::kGbk;
    if (!gb || whole.find(whatwg::kReplacementUtf8) == std::string::npos) {
      std::string pieces;
      size_t start = 0;
      for (size_t i = 1; i <= text.size(); ++i)
        if (i == text.size() || text[i] == '<') {
          whatwg::decode_append(enc, text.substr(start, i - start), pieces);
          start = i;
        }
      if (pieces != whole) return name + ": text cut at '<' decodes differently";
    }

    // Values: decode, normalise newlines, resolve references.
    const bool in_attribute = flags & 1;
    const TextValue value = in_attribute ? decode_attr(text, enc) : finalize(text, true, enc);
    if (!whatwg::utf8_is_valid(value.bytes())) return name + ": value is invalid UTF-8";
    if (value.bytes().find('\0') != Bytes::npos) return name + ": value holds NUL";
    std::string expected(normalize_crlf(decode_bytes(text, enc)).bytes());
    std::erase(expected, '\0');
    if (finalize(text, false, enc).bytes() != Bytes(expected))
      return name + ": text without references differs from the decoded text";
  }

  // Character references over decoded text.
  const TextValue refs = entities::decode(whole, flags & 1);
  if (!whatwg::utf8_is_valid(refs.bytes())) return "references: invalid UTF-8";
  if (refs.bytes().find('\0') != Bytes::npos) return "references: NUL in the output";
  if (refs.bytes().size() > 2 * whole.size() + 4) return "references: output too large";

  const std::string ns = normalize_space(whole);
  if (!ns.empty() && (is_xpath_space(ns.front()) || is_xpath_space(ns.back()))) return "normalize-space: untrimmed";
  for (size_t i = 0; i < ns.size(); ++i) {
    if (is_xpath_space(ns[i]) && ns[i] != ' ') return "normalize-space: whitespace other than a space";
    if (i > 0 && ns[i] == ' ' && ns[i - 1] == ' ') return "normalize-space: doubled space";
  }

  // Input preparation, with and without a label naming the encoding.
  for (bool labelled : {false, true}) {
    std::optional<Bytes> label;
    if (labelled) label = Bytes(name);
    PreparedDocument prepared;
    if (prepare_document(text, label, prepared)) return "prepare_document failed";
    const Bytes out = prepared.bytes;
    const Encoding resolved = resolve(text, label);
    // (The front may start with whitespace that followed a byte-order mark.)
    if (!out.empty() && (out.back() == ' ' || (out.back() >= 0x09 && out.back() <= 0x0D)))
      return "prepared document ends in whitespace";
    if (whatwg::is_ascii_compatible(resolved) ? prepared.encoding != resolved
                                               : prepared.encoding != Encoding::kUtf8)
      return "prepared encoding is not the resolved one";
    if (!whatwg::is_ascii_compatible(resolved) && !whatwg::utf8_is_valid(out))
      return "transcoded document is invalid UTF-8";
  }
  meta_prescan(text);
  return std::nullopt;
}

}  // namespace ls::fuzz
