// One large WARC.gz read in parts on several threads, with the results of a
// one-thread read.
//
// Part k of n starts at the first gzip member found from byte k * size / n
// on (within the part's own stretch) that inflates whole, checksum right, to
// content starting `WARC/` (`record_member_in`). That is only a candidate:
// bytes inside a record can look like a member, even like one holding a WARC
// record. So each part reads exactly as the whole archive is read from its
// start (corrupt members skipped the same way, at the same places: the
// reader's resynchronisation depends only on the file's bytes) and stops
// before the first record that starts at a later part's start (`stops`); that
// start is then known to be where a one-thread read passes too, and only the
// part starting there is used next. A part whose start no earlier part
// reaches is dropped with its counts; when a part reads to the end of the
// file every later part is dropped. The worst case (no start confirmed) reads
// the file once on the first part's thread, as one thread would, plus the
// dropped parts' wasted work.
//
// What crosses a part's start: the offset of the last record read whole,
// which a "corrupt WARC after the record at offset N" failure names; a part
// that meets a corrupt run before any record of its own leaves N to the
// consumer, who has read the parts before it (`reader::Failure::after_at`).
// A run of corrupt members does not merge across a start, whose member is
// whole.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace ls::archive {

// At most this many candidate members are probed for one part's start ...
inline constexpr int kSplitCandidates = 32;
// ... each with at most this many compressed bytes in and content bytes out.
inline constexpr uint64_t kSplitProbe = uint64_t{4} << 20;

// Whether the gzip member at `pos` of the file inflates to content starting
// `WARC/` (`whole`: and inflates whole, its checksum right, within
// kSplitProbe). Reads with pread; throws std::bad_alloc only.
bool record_member_at(int fd, uint64_t pos, bool whole);

// The first member in [origin, end) that `record_member_at(.., true)`
// accepts, probing at most kSplitCandidates.
std::optional<uint64_t> record_member_in(int fd, uint64_t origin, uint64_t end);

class SplitFile {
 public:
  // Takes the descriptor, closed when the last part lets go of the file.
  SplitFile(int fd, uint64_t size, size_t parts);
  ~SplitFile();
  SplitFile(const SplitFile&) = delete;
  SplitFile& operator=(const SplitFile&) = delete;

  int fd() const { return fd_; }
  size_t parts() const { return origins_.size() - 1; }
  // Where part k's stretch begins (k == parts(): the file's size).
  uint64_t origin(size_t k) const { return origins_[k]; }
  // Where part k starts; absent when its stretch holds no candidate. Found
  // once, by whichever thread asks first.
  std::optional<uint64_t> start(size_t k);
  // Whether a record of part k starting at member `offset` starts a later
  // part; `later` (first k + 1) is the part's own cursor: offsets only grow.
  bool stops(size_t& later, uint64_t offset);

  // Kept by the consumer as it gives the parts out, in order: where the next
  // part must start to be used (absent: no later part is), and the last
  // record known whole before it.
  std::optional<uint64_t> expect = 0;
  std::optional<uint64_t> last;

 private:
  struct Start {
    std::mutex mutex;
    bool found = false;
    std::optional<uint64_t> at;
  };
  int fd_;
  std::vector<uint64_t> origins_;
  std::vector<std::unique_ptr<Start>> starts_;
};

}  // namespace ls::archive
