// Part starts of a large WARC.gz (see split.h).
//
// The search for a part's start is bounded: kSplitCandidates probes, each
// reading at most kSplitProbe compressed bytes and making at most as many
// content bytes, so a stretch full of bytes that look like member headers
// costs a few hundred MiB of inflate at worst, never the whole file per part.
#include "archive/split.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "reader/members.h"

namespace ls::archive {

namespace {

constexpr size_t kChunk = size_t{1} << 16;
constexpr char kMemberMagic[] = {'\x1f', '\x8b', '\x08'};
constexpr Bytes kRecordStart = "WARC/";

// Up to `n` bytes at `pos`; fewer only at the end of the file or on an error.
size_t pread_full(int fd, char* out, size_t n, uint64_t pos) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, out + got, n - got, static_cast<off_t>(pos + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

}  // namespace

bool record_member_at(int fd, uint64_t pos, bool whole) {
  reader::ZInflater z;
  z.reset(reader::ZInflater::Format::kGzip);
  std::vector<char> in(kChunk), out(kChunk);
  size_t in_len = 0, in_at = 0;
  uint64_t read_to = pos, made = 0;
  std::string head;
  while (true) {
    if (in_at == in_len) {
      if (read_to - pos >= kSplitProbe) return false;
      in_len = pread_full(fd, in.data(), kChunk, read_to);
      in_at = 0;
      if (in_len == 0) return false;
      read_to += in_len;
    }
    const reader::ZInflater::Step s = z.step(in.data() + in_at, in_len - in_at, out.data(), out.size());
    in_at += s.consumed;
    if (s.failed) return false;
    if (head.size() < kRecordStart.size()) {
      head.append(out.data(), std::min(s.produced, kRecordStart.size() - head.size()));
      if (!kRecordStart.starts_with(head)) return false;
      if (!whole && head.size() == kRecordStart.size()) return true;
    }
    made += s.produced;
    if (made > kSplitProbe) return false;
    if (s.ended) return head == kRecordStart;
    if (s.consumed == 0 && s.produced == 0 && in_at < in_len) return false;  // no progress
  }
}

std::optional<uint64_t> record_member_in(int fd, uint64_t origin, uint64_t end) {
  std::vector<char> data(4 * kChunk);
  uint64_t at = origin;
  int tried = 0;
  while (at < end && tried < kSplitCandidates) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(data.size(), end - at + 2));
    const size_t len = pread_full(fd, data.data(), want, at);
    if (len < sizeof kMemberMagic) return std::nullopt;
    const char* hit = std::search(data.data(), data.data() + len, kMemberMagic, kMemberMagic + sizeof kMemberMagic);
    const uint64_t found = static_cast<uint64_t>(hit - data.data());
    if (hit == data.data() + len || at + found >= end) {
      if (hit != data.data() + len) return std::nullopt;
      at += len - (sizeof kMemberMagic - 1);  // a header may straddle two reads
      continue;
    }
    ++tried;
    if (record_member_at(fd, at + found, true)) return at + found;
    at += found + 1;
  }
  return std::nullopt;
}

SplitFile::SplitFile(int fd, uint64_t size, size_t parts) : fd_(fd) {
  parts = std::max<size_t>(parts, 1);
  for (size_t k = 0; k < parts; ++k) origins_.push_back(static_cast<uint64_t>((__uint128_t{size} * k) / parts));
  origins_.push_back(size);
  for (size_t k = 0; k < parts; ++k) starts_.push_back(std::make_unique<Start>());
}

SplitFile::~SplitFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<uint64_t> SplitFile::start(size_t k) {
  if (k == 0) return 0;
  Start& s = *starts_[k];
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.found) {
    s.at = record_member_in(fd_, origins_[k], origins_[k + 1]);
    s.found = true;
  }
  return s.at;
}

bool SplitFile::stops(size_t& later, uint64_t offset) {
  while (later < parts() && origins_[later] <= offset) {
    const std::optional<uint64_t> s = start(later);
    if (s == offset) return true;
    if (s && *s > offset) return false;
    ++later;
  }
  return false;
}

}  // namespace ls::archive
