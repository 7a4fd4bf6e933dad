// HTTP messages inside archive records (see http.h).
//
// The body decoder is a push pipeline: raw bytes -> chunk framing removed ->
// gzip/deflate inflated -> the page, each stage a small state machine that
// takes whatever piece arrives, so a body is never held whole before it is
// decoded and never decoded past the page limit.
#include "reader/http.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace ls::reader {

namespace {

constexpr char kHex[] = "0123456789abcdef";

uint8_t latin1_lower(uint8_t c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint8_t>(c | 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<uint8_t>(c + 0x20);
  return c;
}

std::string lower_latin1(Bytes s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(latin1_lower(static_cast<uint8_t>(c)));
  return out;
}

bool digits(Bytes s) {
  for (char c : s)
    if (!is_ascii_digit(static_cast<uint8_t>(c))) return false;
  return !s.empty();
}

int number(Bytes s) {
  int n = 0;
  for (char c : s) n = n * 10 + (c - '0');
  return n;
}

bool valid_date(int year, int month, int day, int hour, int minute, int second) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || month < 1 || month > 12 || day < 1) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int days = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= days && hour < 24 && minute < 60 && second < 60;
}

void append_hex_escape(std::string& out, uint8_t c) {
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

std::string repr(Bytes s, bool text) {
  const bool has_single = s.find('\'') != Bytes::npos;
  const bool has_double = s.find('"') != Bytes::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out = text ? "" : "b";
  out += quote;
  for (char ch : s) {
    const uint8_t c = static_cast<uint8_t>(ch);
    if (ch == quote || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F || (c >= 0x80 && !text) || (text && (c <= 0xA0 && c >= 0x80)) ||
               (text && c == 0xAD)) {
      append_hex_escape(out, c);
    } else if (c >= 0x80) {
      out += latin1_to_utf8(Bytes(&ch, 1));
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

// Python's int(text, 16) on a chunk size: an optional sign, an optional 0x
// prefix, hex digits with single underscores between them. Saturates.
std::optional<int64_t> parse_chunk_size(Bytes s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  bool underscore_ok = false;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    underscore_ok = true;  // "0x_1" is 1
  }
  if (s.empty()) return std::nullopt;
  uint64_t value = 0;
  bool any = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const uint8_t c = static_cast<uint8_t>(s[i]);
    if (c == '_') {
      if (!underscore_ok || i + 1 == s.size()) return std::nullopt;
      underscore_ok = false;
      continue;
    }
    int d;
    if (is_ascii_digit(c)) d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    value = value > (uint64_t{1} << 58) ? (uint64_t{1} << 62) : value * 16 + static_cast<uint64_t>(d);
    underscore_ok = true;
    any = true;
  }
  if (!any) return std::nullopt;
  return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
}

Bytes ascii_strip(Bytes s) {
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

bool is_py_space(uint8_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0;
}

Bytes py_strip(Bytes s) {
  while (!s.empty() && is_py_space(static_cast<uint8_t>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && is_py_space(static_cast<uint8_t>(s.back()))) s.remove_suffix(1);
  return s;
}

std::optional<uint64_t> header_decimal(Bytes value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  if (!digits(value)) return std::nullopt;
  while (value.size() > 1 && value.front() == '0') value.remove_prefix(1);
  if (value.size() > 30) return std::nullopt;
  if (value.size() > 19) return UINT64_MAX;
  uint64_t n = 0;
  for (char c : value) {
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - d) / 10) return UINT64_MAX;
    n = n * 10 + d;
  }
  return n;
}

std::optional<std::string> warc_date(Bytes v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  // YYYY-MM-DDThh:mm:ss[.f{1,9}]Z
  if (v.size() < 20 || v.back() != 'Z') return std::nullopt;
  if (v[4] != '-' || v[7] != '-' || v[10] != 'T' || v[13] != ':' || v[16] != ':') return std::nullopt;
  const Bytes parts[] = {v.substr(0, 4), v.substr(5, 2), v.substr(8, 2), v.substr(11, 2), v.substr(14, 2), v.substr(17, 2)};
  for (Bytes p : parts)
    if (!digits(p)) return std::nullopt;
  Bytes fraction;
  if (v.size() > 20) {
    if (v[19] != '.') return std::nullopt;
    fraction = v.substr(20, v.size() - 21);
    if (fraction.empty() || fraction.size() > 9 || !digits(fraction)) return std::nullopt;
  }
  if (!valid_date(number(parts[0]), number(parts[1]), number(parts[2]), number(parts[3]), number(parts[4]),
                  number(parts[5])))
    return std::nullopt;
  std::string out(v.substr(0, 19));
  if (!fraction.empty()) out += "." + std::string(fraction.substr(0, 6));
  return out + "Z";
}

std::optional<std::string> arc_date(Bytes v) {
  if (v.size() != 14 || !digits(v)) return std::nullopt;
  const int year = number(v.substr(0, 4)), month = number(v.substr(4, 2)), day = number(v.substr(6, 2));
  const int hour = number(v.substr(8, 2)), minute = number(v.substr(10, 2)), second = number(v.substr(12, 2));
  if (!valid_date(year, month, day, hour, minute, second)) return std::nullopt;
  std::string out;
  out.reserve(20);
  out.append(v.substr(0, 4)).append("-").append(v.substr(4, 2)).append("-").append(v.substr(6, 2));
  out.append("T").append(v.substr(8, 2)).append(":").append(v.substr(10, 2)).append(":").append(v.substr(12, 2));
  return out + "Z";
}

std::string latin1_to_utf8(Bytes s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    const uint8_t c = static_cast<uint8_t>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string py_repr_str(Bytes s) { return repr(s, true); }
std::string py_repr_bytes(Bytes s) { return repr(s, false); }

HeaderEnd http_header_end(Bytes head) {
  const Bytes window = head.substr(0, kMaxHttpHeader);
  const size_t crlf = window.find("\r\n\r\n");
  const Bytes before = crlf == Bytes::npos ? window : window.substr(0, crlf);
  const size_t lf = before.find("\n\n");
  if (lf != Bytes::npos) return {lf, 2};
  if (crlf != Bytes::npos) return {crlf, 4};
  return {};
}

HttpHead parse_http_head(Bytes head) {
  HttpHead h;
  size_t at = 0;
  bool first = true;
  while (at <= head.size()) {
    size_t end = at;
    while (end < head.size() && head[end] != '\r' && head[end] != '\n') ++end;
    const Bytes line = head.substr(at, end - at);
    if (end < head.size() && head[end] == '\r' && end + 1 < head.size() && head[end + 1] == '\n') at = end + 2;
    else at = end + 1;
    if (first) {
      first = false;
      if (!line.starts_with("HTTP/")) return h;
      h.is_http = true;
      // line.split(None, 2)[1]
      size_t i = 0;
      while (i < line.size() && !is_py_space(static_cast<uint8_t>(line[i]))) ++i;
      while (i < line.size() && is_py_space(static_cast<uint8_t>(line[i]))) ++i;
      size_t j = i;
      while (j < line.size() && !is_py_space(static_cast<uint8_t>(line[j]))) ++j;
      if (i < line.size()) {
        const std::optional<uint64_t> status = header_decimal(line.substr(i, j - i));
        h.status = status && *status <= 100000 ? static_cast<int>(*status) : (status ? 100000 : 0);
      }
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == Bytes::npos) continue;
    const std::string name = lower_latin1(py_strip(line.substr(0, colon)));
    std::optional<std::string>* slot = name == "content-type"        ? &h.content_type
                                       : name == "transfer-encoding" ? &h.transfer_encoding
                                       : name == "content-encoding"  ? &h.content_encoding
                                       : name == "content-length"    ? &h.content_length
                                                                     : nullptr;
    if (slot && !*slot) *slot = std::string(py_strip(line.substr(colon + 1)));
  }
  return h;
}

MediaType parse_content_type(const std::optional<std::string>& value) {
  MediaType m;
  if (!value || value->empty()) return m;
  const Bytes v(*value);
  const size_t semi = v.find(';');
  m.media = latin1_to_utf8(lower_latin1(py_strip(v.substr(0, semi))));
  if (semi == Bytes::npos) return m;
  Bytes params = v.substr(semi + 1);
  while (true) {
    const size_t next = params.find(';');
    const Bytes param = params.substr(0, next);
    const size_t eq = param.find('=');
    if (eq != Bytes::npos && lower_latin1(py_strip(param.substr(0, eq))) == "charset") {
      Bytes val = py_strip(param.substr(eq + 1));
      while (!val.empty() && (val.front() == '"' || val.front() == '\'')) val.remove_prefix(1);
      while (!val.empty() && (val.back() == '"' || val.back() == '\'')) val.remove_suffix(1);
      val = py_strip(val);
      if (!val.empty()) m.charset = latin1_to_utf8(val);
      break;
    }
    if (next == Bytes::npos) break;
    params.remove_prefix(next + 1);
  }
  return m;
}

void reserve_hint(std::string& body, uint64_t size) {
  if (size <= body.capacity()) return;
  try {
    body.reserve(static_cast<size_t>(std::min<uint64_t>(size, body.max_size())));
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
}

BodyDecoder::BodyDecoder(bool chunked, Bytes coding, uint64_t limit, std::string& body)
    : chunked_(chunked), limit_(limit), body_(body) {
  if (coding == "gzip" || coding == "x-gzip") coding_ = Coding::kGzip;
  else if (coding == "deflate") coding_ = Coding::kDeflate;
  else if (!(coding.empty() || coding == "identity" || coding == "none"))
    error_ = "unsupported Content-Encoding " + py_repr_str(coding);
}

BodyDecoder::~BodyDecoder() = default;

bool BodyDecoder::emit(const char* data, size_t n) {
  if (n > limit_ - std::min<uint64_t>(limit_, body_.size())) {
    too_large_ = true;
    return false;
  }
  body_.append(data, n);
  return true;
}

bool BodyDecoder::begin_member() {
  inflater_.reset(coding_ == Coding::kGzip ? ZInflater::Format::kGzip : ZInflater::Format::kRaw);
  in_member_ = true;
  return true;
}

// The content coding's stage: gzip (members, zero padding between them) or
// deflate (zlib-wrapped or raw, as the first two bytes say; after its end the
// rest is not read, as servers pad it).
bool BodyDecoder::inflate(const char* data, size_t n) {
  if (coding_ == Coding::kIdentity) return emit(data, n);
  if (scratch_.empty()) scratch_.resize(kReadSize);
  if (coding_ == Coding::kDeflate && !deflate_started_) {
    if (deflate_done_) return true;
    const size_t take = std::min(n, 2 - deflate_head_.size());
    deflate_head_.append(data, take);
    data += take;
    n -= take;
    if (deflate_head_.size() < 2) return true;
    const uint8_t b0 = static_cast<uint8_t>(deflate_head_[0]), b1 = static_cast<uint8_t>(deflate_head_[1]);
    const bool zlib_wrapped = (b0 & 0x0F) == 8 && ((b0 << 8) | b1) % 31 == 0;
    inflater_.reset(zlib_wrapped ? ZInflater::Format::kZlib : ZInflater::Format::kRaw);
    in_member_ = true;
    deflate_started_ = true;
    const std::string head = std::move(deflate_head_);
    deflate_head_.clear();
    if (!inflate(head.data(), head.size())) return false;
  }
  if (deflate_done_) return true;
  while (true) {
    if (!in_member_) {
      if (coding_ == Coding::kDeflate) return true;
      while (n && *data == 0) ++data, --n;
      if (!n) return true;
      begin_member();
    }
    const ZInflater::Step s = inflater_.step(data, n, scratch_.data(), scratch_.size());
    data += s.consumed;
    n -= s.consumed;
    // What zlib gave before it found damage counts first (a page too large
    // is too large however the body was cut into pieces).
    if (s.produced && !emit(scratch_.data(), s.produced)) return false;
    if (s.failed) {
      error_ = inflater_.error();
      return false;
    }
    if (s.ended) {
      in_member_ = false;
      if (coding_ == Coding::kDeflate) {
        deflate_done_ = true;
        return true;
      }
      continue;
    }
    if (s.produced == 0 && s.consumed == 0) return true;  // wants more input
  }
}

bool BodyDecoder::chunk_line_done() {
  Bytes line(chunk_line_);
  line = ascii_strip(line.substr(0, line.find(';')));
  const std::optional<int64_t> size = parse_chunk_size(line);
  if (!size || *size < 0) {
    error_ = "bad chunk size " + py_repr_bytes(line.substr(0, 20));
    return false;
  }
  chunk_line_.clear();
  if (*size == 0) {
    chunk_ = Chunk::kDone;
  } else {
    chunk_left_ = static_cast<uint64_t>(*size);
    chunk_ = Chunk::kData;
  }
  return true;
}

// The transfer coding's stage: chunk-size lines (extensions ignored), data,
// and the line end after the data (CR LF or LF, or none); what follows the
// last chunk (trailers) is not read.
bool BodyDecoder::dechunk(const char* data, size_t n) {
  while (n) {
    switch (chunk_) {
      case Chunk::kDone:
        return true;
      case Chunk::kAfterData:
        if (*data == '\n') {
          ++data, --n;
          chunk_ = Chunk::kSize;
        } else if (*data == '\r') {
          ++data, --n;
          chunk_ = Chunk::kAfterDataCr;
        } else {
          chunk_ = Chunk::kSize;
        }
        break;
      case Chunk::kAfterDataCr:
        if (*data == '\n') {
          ++data, --n;
        } else {
          chunk_line_ = "\r";  // a CR without LF is the size line's own
        }
        chunk_ = Chunk::kSize;
        break;
      case Chunk::kSize: {
        const size_t room = kMaxChunkLine + 1 - chunk_line_.size();
        const char* eol = static_cast<const char*>(std::memchr(data, '\n', std::min(n, room)));
        if (!eol) {
          const size_t take = std::min(n, room);
          chunk_line_.append(data, take);
          data += take, n -= take;
          if (chunk_line_.size() > kMaxChunkLine) {
            error_ = "bad chunk size " + py_repr_bytes(Bytes(chunk_line_).substr(0, 20));
            return false;
          }
          break;
        }
        chunk_line_.append(data, static_cast<size_t>(eol - data));
        n -= static_cast<size_t>(eol + 1 - data);
        data = eol + 1;
        if (!chunk_line_done()) return false;
        break;
      }
      case Chunk::kData: {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(n, chunk_left_));
        if (!inflate(data, take)) return false;
        data += take, n -= take;
        chunk_left_ -= take;
        if (chunk_left_ == 0) chunk_ = Chunk::kAfterData;
        break;
      }
    }
    if (coding_ == Coding::kDeflate && deflate_done_) return true;  // the rest is not read
  }
  return true;
}

bool BodyDecoder::feed(const char* data, size_t n) {
  if (too_large_ || !error_.empty()) return false;
  return chunked_ ? dechunk(data, n) : inflate(data, n);
}

void BodyDecoder::finish() {
  if (too_large_ || !error_.empty()) return;
  if (coding_ == Coding::kDeflate && !deflate_started_ && !deflate_head_.empty()) {
    // One byte of deflate data: too short for a zlib header, so raw.
    inflater_.reset(ZInflater::Format::kRaw);
    in_member_ = true;
    deflate_started_ = true;
    const std::string head = std::move(deflate_head_);
    deflate_head_.clear();
    if (!inflate(head.data(), head.size())) return;
  }
  if (chunked_ && !(coding_ == Coding::kDeflate && deflate_done_)) {
    if (chunk_ == Chunk::kData) {
      error_ = "chunked body ends inside a chunk";
      return;
    }
    if (chunk_ != Chunk::kDone) {
      error_ = "chunked body ends inside a chunk size line";
      return;
    }
  }
  if (in_member_) {
    error_ = coding_ == Coding::kGzip ? "truncated gzip data: the file ends inside a compressed member"
                                      : "truncated deflate data";
  }
}

}  // namespace ls::reader
