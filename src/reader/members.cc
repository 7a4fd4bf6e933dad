// Gzip members in, content out (see members.h for the contract).
//
// The loop is zlib's own: feed `next_in`/`avail_in`, take what `inflate`
// gives, and at Z_STREAM_END (trailer checked by zlib) begin the next member.
// Output is asked for in the caller's amounts, so a bomb costs only what the
// caller reads of it.
#include "reader/members.h"

#include "reader/zlib_api.h"


#include <algorithm>
#include <cstring>
#include <new>

namespace ls::reader {

int64_t MemorySource::read(char* out, size_t n) {
  const size_t take = std::min(n, data_.size() - at_);
  if (take) std::memcpy(out, data_.data() + at_, take);
  at_ += take;
  return static_cast<int64_t>(take);
}

std::optional<uint32_t> MemorySource::last_word_hint() const {
  if (data_.size() < 4) return std::nullopt;
  const auto* b = reinterpret_cast<const uint8_t*>(data_.data() + data_.size() - 4);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

struct ZInflater::State {
  zapi::Stream z{};
};

ZInflater::ZInflater() = default;

ZInflater::~ZInflater() {
  if (state_) {
    if (ready_) zapi::inflate_end(&state_->z);
    delete state_;
  }
}

void ZInflater::reset(Format format) {
  const int bits = format == Format::kGzip ? 31 : format == Format::kZlib ? 15 : -15;
  error_.clear();
  if (!state_) state_ = new State;
  if (ready_ && format == format_) {
    if (zapi::inflate_reset(&state_->z) == Z_OK) return;
  }
  if (ready_) zapi::inflate_end(&state_->z);
  ready_ = false;
  state_->z = zapi::Stream{};
  const int rc = zapi::inflate_init2(&state_->z, bits);
  if (rc == Z_MEM_ERROR) throw std::bad_alloc();
  LS_CHECK(rc == Z_OK);
  ready_ = true;
  format_ = format;
}

ZInflater::Step ZInflater::step(const char* in, size_t in_size, char* out, size_t out_size) {
  LS_CHECK(ready_);
  zapi::Stream& z = state_->z;
  Step s;
  // zlib counts in 32 bits: hand it at most 1 GiB a call.
  const auto in_n = static_cast<zapi::Count>(std::min<size_t>(in_size, size_t{1} << 30));
  const auto out_n = static_cast<zapi::Count>(std::min<size_t>(out_size, size_t{1} << 30));
  z.next_in = reinterpret_cast<zapi::InByte*>(const_cast<char*>(in));
  z.avail_in = in_n;
  z.next_out = reinterpret_cast<uint8_t*>(out);
  z.avail_out = out_n;
  const int rc = zapi::inflate(&z, Z_SYNC_FLUSH);
  s.consumed = in_n - z.avail_in;
  s.produced = out_n - z.avail_out;
  if (rc == Z_STREAM_END) {
    s.ended = true;
  } else if (rc == Z_MEM_ERROR) {
    throw std::bad_alloc();
  } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
    s.failed = true;
    const char* msg = z.msg;
    if (!msg && rc == Z_DATA_ERROR) msg = "invalid input data";
    if (!msg && rc == Z_STREAM_ERROR) msg = "inconsistent stream state";
    error_ = "Error " + std::to_string(rc) + " while decompressing data";
    if (msg) error_ += std::string(": ") + msg;
  }
  return s;
}

ContentStream::ContentStream(ByteSource& source, bool gzip, uint64_t base)
    : source_(source), gzip_(gzip), in_base_(base) {
  in_.resize(4 * kReadSize);
}

void ContentStream::compact(size_t keep_from) {
  if (keep_from == 0) return;
  LS_CHECK(keep_from <= in_len_);
  std::memmove(in_.data(), in_.data() + keep_from, in_len_ - keep_from);
  in_len_ -= keep_from;
  in_at_ -= keep_from;
  in_base_ += keep_from;
}

// Reads more input, keeping kLookback bytes behind the reading point (and
// everything after it). False at the end of the input or on a read error.
bool ContentStream::fill() {
  if (eof_) return false;
  if (in_.size() - in_len_ < kReadSize) {
    compact(in_at_ > kLookback ? in_at_ - kLookback : 0);
    if (in_.size() - in_len_ < kReadSize) in_.resize(in_len_ + 2 * kReadSize);
  }
  const int64_t got = source_.read(in_.data() + in_len_, kReadSize);
  if (got <= 0) {
    if (got < 0) read_error_ = source_.error();
    eof_ = true;
    return false;
  }
  LS_CHECK(static_cast<uint64_t>(got) <= kReadSize);
  in_len_ += static_cast<size_t>(got);
  return true;
}

void ContentStream::fail(const std::string& reason, bool truncated) {
  broken_ = true;
  broken_reason_ = reason;
  broken_truncated_ = truncated;
  broken_at_ = member_start_;
  broken_found_ = compressed_pos();
  broken_content_pos_ = members_.empty() ? content_pos_ : members_.back().first;
  in_member_ = false;
}

// Skips zero padding and begins the member at the next byte; false at the
// end of the input. A byte that starts no member is found so by zlib.
bool ContentStream::start_member() {
  while (true) {
    if (in_at_ == in_len_ && !fill()) return false;
    const char* p = in_.data() + in_at_;
    const char* end = in_.data() + in_len_;
    while (p < end && *p == 0) ++p;
    in_at_ = static_cast<size_t>(p - in_.data());
    if (p < end) break;
  }
  member_start_ = compressed_pos();
  members_.emplace_back(content_pos_, member_start_);
  inflater_.reset(ZInflater::Format::kGzip);
  in_member_ = true;
  return true;
}

size_t ContentStream::read(char* out, size_t n) {
  if (broken_ || n == 0) return 0;
  if (pending_failure_) {
    fail(*pending_failure_, false);
    pending_failure_.reset();
    return 0;
  }
  if (!gzip_) {
    if (in_at_ == in_len_ && !fill()) return 0;
    const size_t take = std::min(n, in_len_ - in_at_);
    std::memcpy(out, in_.data() + in_at_, take);
    in_at_ += take;
    content_pos_ += take;
    return take;
  }
  while (true) {
    if (!in_member_ && !start_member()) return 0;
    const ZInflater::Step s = inflater_.step(in_.data() + in_at_, in_len_ - in_at_, out, n);
    in_at_ += s.consumed;
    if (s.failed) {
      // What zlib gave before it found the damage is handed out first: it
      // is the same however the input was cut into reads, and the records
      // of a broken member are dropped by the caller, not here.
      if (s.produced) {
        content_pos_ += s.produced;
        pending_failure_ = inflater_.error();
        return s.produced;
      }
      fail(inflater_.error(), false);
      return 0;
    }
    content_pos_ += s.produced;
    if (s.ended) in_member_ = false;
    if (s.produced) return s.produced;
    if (s.ended) continue;
    if (s.consumed == 0 && in_at_ < in_len_) {
      // zlib always moves with input and room for output; if it ever did
      // not, the member is taken as broken rather than looped on.
      fail("Error -5 while decompressing data: no progress", false);
      return 0;
    }
    if (s.consumed == 0 && !fill()) {
      fail(read_error_ ? *read_error_ : "truncated gzip data: the file ends inside a compressed member", true);
      return 0;
    }
  }
}

std::optional<uint64_t> ContentStream::member_at(uint64_t pos) const {
  if (!gzip_) return pos;
  for (const auto& [content, compressed] : members_) {
    if (content == pos) return compressed;
    if (content > pos) break;
  }
  return std::nullopt;
}

void ContentStream::forget_members(uint64_t before) {
  while (!members_.empty() && members_.front().first < before) members_.pop_front();
}

bool ContentStream::probe(size_t at, StartsRecord starts, size_t probe_content) {
  ZInflater z;
  z.reset(ZInflater::Format::kGzip);
  char first[64];
  probe_content = std::min(probe_content, sizeof first);
  size_t got = 0, used = 0;
  const size_t limit = std::min(kProbe, in_len_ - at);
  while (got < probe_content && used < limit) {
    const ZInflater::Step s = z.step(in_.data() + at + used, limit - used, first + got, probe_content - got);
    used += s.consumed;
    got += s.produced;
    if (s.failed || s.ended || (s.consumed == 0 && s.produced == 0)) break;
  }
  return got == probe_content && starts(Bytes(first, got));
}

std::pair<uint64_t, uint64_t> ContentStream::resync(StartsRecord starts, size_t probe_content) {
  LS_CHECK(broken_);
  const uint64_t start = broken_at_;
  broken_ = false;
  // The broken member gave nothing past this point.
  while (!members_.empty() && members_.back().first >= content_pos_) members_.pop_back();
  if (read_error_) {  // nothing more can be read
    in_at_ = in_len_;
    return {start, compressed_pos()};
  }
  uint64_t from = start + 1;
  if (broken_found_ > kLookback) from = std::max(from, broken_found_ - kLookback);
  // Invariant: fill() keeps kLookback bytes behind the reading point, so
  // `from` is still held.
  LS_CHECK(from >= in_base_ && from <= in_base_ + in_len_ + 1);
  in_at_ = static_cast<size_t>(std::min<uint64_t>(from - in_base_, in_len_));
  static constexpr char kMagic[] = {'\x1f', '\x8b', '\x08'};
  while (true) {
    const char* begin = in_.data() + in_at_;
    const char* end = in_.data() + in_len_;
    const char* hit = std::search(begin, end, kMagic, kMagic + 3);
    if (hit == end) {
      // Keep the last two bytes: a member's magic may straddle two reads.
      in_at_ = std::max(in_at_, in_len_ >= 2 ? in_len_ - 2 : 0);
      if (!fill()) {
        in_at_ = in_len_;
        return {start, compressed_pos()};
      }
      continue;
    }
    in_at_ = static_cast<size_t>(hit - in_.data());
    while (in_len_ - in_at_ < kProbe && fill()) {
    }
    if (probe(in_at_, starts, probe_content)) return {start, compressed_pos()};
    ++in_at_;
  }
}

}  // namespace ls::reader
