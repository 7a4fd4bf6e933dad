// Encoding resolution and the <meta> prescan.
//
// Input: the caller's document bytes (before any preparation) and an
// optional label. Output: one WHATWG encoding. Never fails: malformed markup,
// unterminated comments or raw text end the prescan with nothing, and the
// answer falls back to UTF-8.
//
// The prescan follows the idea of the WHATWG "prescan a byte stream to
// determine its encoding" algorithm, with these differences: an XML
// declaration is honoured first; the scan is not cut at 1024 bytes while only
// head-level elements have been seen (the first other element, or "</head>",
// sets the limit to its own position or 1024, whichever is larger); the
// content of title, style, script and textarea is skipped; a `charset` label
// in a content attribute is read up to space, quote or `;`.
#include "encoding.h"

#include <algorithm>
#include <cstring>

#include "byte_search.h"
#include "tokenizer.h"
#include "whatwg/decode.h"

namespace ls {

namespace {

inline const uint8_t* u8(Bytes b) { return reinterpret_cast<const uint8_t*>(b.data()); }

inline bool is_prescan_space(uint8_t c) { return is_ascii_whitespace(c); }

// A label found inside the document: trimmed, looked up, and adjusted. UTF-16
// cannot describe bytes that an ASCII prescan just read, so it means UTF-8;
// x-user-defined means windows-1252.
std::optional<Encoding> adjusted_label(Bytes label) {
  auto e = whatwg::for_label(trim_unicode_whitespace(label));
  if (!e) return std::nullopt;
  if (*e == Encoding::kUtf16le || *e == Encoding::kUtf16be) return Encoding::kUtf8;
  if (*e == Encoding::kXUserDefined) return Encoding::kWindows1252;
  return e;
}

// The label inside a content attribute such as "text/html; charset=koi8-r".
std::optional<Encoding> charset_from_content(const std::string& content) {
  std::string low(content);
  for (char& c : low) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
  size_t at = low.find("charset");
  if (at == std::string::npos) return std::nullopt;
  size_t p = at + 7;
  while (p < low.size() && is_prescan_space(static_cast<uint8_t>(low[p]))) ++p;
  if (p >= low.size() || low[p] != '=') return std::nullopt;
  ++p;
  while (p < low.size() && is_prescan_space(static_cast<uint8_t>(low[p]))) ++p;
  size_t q = p;
  while (q < low.size()) {
    uint8_t c = static_cast<uint8_t>(low[q]);
    if (is_prescan_space(c) || c == '"' || c == '\'' || c == ';') break;
    ++q;
  }
  if (q == p) return std::nullopt;
  return adjusted_label(Bytes(low).substr(p, q - p));
}

// Lossy UTF-8 text of a name or value, as the prescan compares it.
std::string prescan_text(Bytes raw) {
  std::string out;
  whatwg::decode_append(Encoding::kUtf8, raw, out);
  return out;
}

// Reads the attributes of one tag from `start` up to its `>` (or `end`),
// calling each(name, value) with views of the raw bytes (value empty when
// there is no `=`). Returns the position after the tag.
template <class F>
size_t read_meta_attrs(Bytes doc, size_t start, size_t end, F&& each) {
  const uint8_t* d = u8(doc);
  end = std::min(end, doc.size());
  size_t p = start;
  auto space = [](uint8_t c) { return is_prescan_space(c); };
  for (;;) {
    while (p < end && (space(d[p]) || d[p] == '/')) ++p;
    if (p >= end) break;
    if (d[p] == '>') {
      ++p;
      break;
    }
    size_t ns = p;
    while (p < end && !space(d[p]) && d[p] != '/' && d[p] != '=' && d[p] != '>') ++p;
    const Bytes name = doc.substr(ns, p - ns);
    size_t q = p;
    while (q < end && space(d[q])) ++q;
    Bytes value;
    if (q < end && d[q] == '=') {
      ++q;
      while (q < end && space(d[q])) ++q;
      size_t vs, ve;
      if (q < end && (d[q] == '"' || d[q] == '\'')) {
        const uint8_t* close = find_byte(d + q + 1, d + end, d[q]);
        vs = q + 1;
        ve = static_cast<size_t>(close - d);
        p = ve < end ? ve + 1 : end;
      } else {
        vs = q;
        ve = q;
        while (ve < end && !space(d[ve]) && d[ve] != '>') ++ve;
        p = ve;
      }
      value = doc.substr(vs, ve - vs);
    }
    each(name, value);
  }
  return p;
}

// What one <meta> tag says, if anything, and where the tag ends. Names are
// compared as raw bytes: the lossy UTF-8 text of a name equals an ASCII name
// ignoring case exactly when its bytes do, so only the values that decide
// are decoded.
struct MetaVerdict {
  std::optional<Encoding> encoding;
  size_t end;
};
MetaVerdict meta_tag_encoding(Bytes doc, size_t start, size_t end) {
  std::optional<Bytes> charset, content;
  bool content_type = false;
  const size_t after = read_meta_attrs(doc, start, end, [&](Bytes name, Bytes value) {
    if (!charset && ascii_iequals(name, "charset")) charset = value;
    else if (!content && ascii_iequals(name, "content")) content = value;
    else if (!content_type && ascii_iequals(name, "http-equiv"))
      content_type = ascii_iequals(trim_unicode_whitespace(prescan_text(value)), "content-type");
  });
  if (charset && !charset->empty()) return {adjusted_label(prescan_text(*charset)), after};
  if (!content_type || !content) return {std::nullopt, after};
  return {charset_from_content(prescan_text(*content)), after};
}

// `name` (the bytes after "<") is that of an element whose content the
// prescan skips.
bool skips_content(Bytes name) {
  return ascii_iequals(name, "title") || ascii_iequals(name, "style") || ascii_iequals(name, "script") ||
         ascii_iequals(name, "textarea");
}

}  // namespace

MetaAttrs meta_attrs(Bytes doc, size_t start, size_t end) {
  MetaAttrs out;
  out.end = read_meta_attrs(doc, start, end, [&](Bytes name, Bytes value) {
    std::string n = prescan_text(name);
    for (char& c : n) c = static_cast<char>(ascii_lower(static_cast<uint8_t>(c)));
    out.attrs.emplace_back(std::move(n), prescan_text(value));
  });
  return out;
}

std::optional<Encoding> meta_prescan(Bytes doc) {
  const uint8_t* d = u8(doc);
  const size_t n = doc.size();

  // An XML declaration at the very start.
  if (n >= 6 && std::memcmp(d, "<?xml", 5) == 0 && is_prescan_space(d[5])) {
    size_t close = doc.find("?>");
    size_t decl_end = close == Bytes::npos ? n : close + 2;
    std::optional<Bytes> label;
    read_meta_attrs(doc, 5, decl_end, [&](Bytes name, Bytes value) {
      if (!label && ascii_iequals(name, "encoding")) label = value;
    });
    if (label)
      if (auto e = adjusted_label(prescan_text(*label))) return e;
  }

  size_t limit = SIZE_MAX;
  size_t pos = 0;
  for (;;) {
    const uint8_t* hit = find_byte(d + pos, d + n, '<');
    if (hit == d + n) return std::nullopt;
    const size_t p = static_cast<size_t>(hit - d);
    if (p >= limit) return std::nullopt;
    const uint8_t c = p + 1 < n ? d[p + 1] : 0;
    if (is_ascii_alpha(c)) {
      size_t ne = p + 1;
      while (ne < n && !(kByteClass[d[ne]] & kClassTagEnd)) ++ne;
      Bytes name = doc.substr(p + 1, ne - (p + 1));
      if (skips_content(name)) {
        // Raw text: nothing inside it is markup. It ends at the first "</"
        // followed by the name, then at the next `>`.
        size_t q = ne;
        for (;;) {
          const uint8_t* lt = find_byte(d + q, d + n, '<');
          if (lt == d + n) return std::nullopt;
          const size_t close = static_cast<size_t>(lt - d);
          if (close + 1 >= n || d[close + 1] != '/') {
            q = close + 1;
            continue;
          }
          if (close + 2 + name.size() <= n && ascii_iequals(doc.substr(close + 2, name.size()), name)) {
            const uint8_t* gt = find_byte(d + close + 2 + name.size(), d + n, '>');
            if (gt == d + n) return std::nullopt;
            pos = static_cast<size_t>(gt - d) + 1;
            break;
          }
          q = close + 2;
        }
        continue;
      }
      static constexpr const char* kHeadLevel[] = {"base", "head", "html", "link",
                                                   "meta", "template", "noscript"};
      bool head_level = std::any_of(std::begin(kHeadLevel), std::end(kHeadLevel),
                                    [&](const char* h) { return ascii_iequals(name, h); });
      if (!head_level) limit = std::min(limit, std::max<size_t>(1024, p));
    } else if (n - p >= 7 && ascii_iequals(doc.substr(p, 7), "</head>")) {
      limit = std::min(limit, std::max<size_t>(1024, p));
    }

    if (n - p >= 4 && std::memcmp(d + p, "<!--", 4) == 0) {
      pos = scan_comment(doc, p);
      continue;
    }
    if (n - p < 5) return std::nullopt;
    if (n - p >= 6 && ascii_istarts_with(doc.substr(p), "<meta") &&
        (is_prescan_space(d[p + 5]) || d[p + 5] == '/' || d[p + 5] == '>')) {
      const MetaVerdict m = meta_tag_encoding(doc, p + 5, n);
      if (m.encoding) return m.encoding;
      pos = std::max(m.end, p + 6);
      continue;
    }
    pos = p + 1;
  }
}

Encoding resolve(Bytes doc, std::optional<Bytes> label) {
  const uint8_t* d = u8(doc);
  const size_t n = doc.size();
  if (n >= 3 && d[0] == 0xEF && d[1] == 0xBB && d[2] == 0xBF) return Encoding::kUtf8;
  if (n >= 2 && d[0] == 0xFF && d[1] == 0xFE) return Encoding::kUtf16le;
  if (n >= 2 && d[0] == 0xFE && d[1] == 0xFF) return Encoding::kUtf16be;
  if (n >= 4 && d[0] == 0x3C && d[1] == 0x00 && d[2] == 0x3F && d[3] == 0x00) return Encoding::kUtf16le;
  if (n >= 4 && d[0] == 0x00 && d[1] == 0x3C && d[2] == 0x00 && d[3] == 0x3F) return Encoding::kUtf16be;
  if (label)
    if (auto e = whatwg::for_label(*label)) return *e;
  if (auto e = meta_prescan(doc)) return *e;
  return Encoding::kUtf8;
}

}  // namespace ls
