// Opening an archive run's inputs, and reading them as byte sources.
//
// A path is opened only when a worker is about to read it, so that an input
// waiting its turn holds no descriptor (ten thousand files queued cost ten
// thousand names, not ten thousand descriptors). Two ways, as the Python
// layer has always had them:
//   - a *named* path (given by the caller) is opened as named: a FIFO waits
//     for its writer, as standard input does; a directory is the failure
//     "Is a directory", as Python's open() words it;
//   - a *found* path (from a directory walk or a glob) is read only if it is
//     a regular file: it is stat'ed first (a device is never opened: opening
//     some has effects of their own), opened without blocking and without
//     becoming the controlling terminal, checked again on the descriptor (the
//     name may have changed in between), then set blocking. Anything else is
//     the failure "not a regular file (a FIFO): skipped".
// An error is the failure strerror(errno): the text of Python's
// OSError.strerror, so that messages read the same whichever layer met them.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "reader/reader.h"

namespace ls::archive {

// strerror(err), thread-safe.
std::string errno_text(int err);

// "a FIFO", "a character device", ..., else "not a regular file".
std::string file_kind(unsigned mode);

struct OpenedFile {
  int fd = -1;                         // owned by the caller when >= 0
  bool regular = false;
  uint64_t size = 0;                   // when regular
  std::optional<std::string> failure;  // set when fd < 0
};
OpenedFile open_named(const std::string& path);
OpenedFile open_found(const std::string& path);

// Reads at most up to the next multiple of this offset of the file, so that a
// part of a file read on its own is cut into reads where a whole read of it
// cuts them (the reader's results do not depend on it; this keeps the work
// alike too).
inline constexpr uint64_t kReadAlign = uint64_t{1} << 16;

// A descriptor read front to back. `positional`: a regular file read with
// pread from `start` (several parts share one descriptor without sharing a
// position); otherwise read(2), waiting with poll so that `cancelled` (when
// given) stops a wait on a pipe. Once `cancelled`, reads end as at the end of
// the input. The descriptor is not closed here.
class FdSource final : public reader::ByteSource {
 public:
  // `give_up`, when given, is asked (on the reading thread) while a pipe has
  // nothing to read: true ends the input there, as if it had ended.
  FdSource(int fd, bool positional, uint64_t start, const std::atomic<bool>* cancelled,
           std::function<bool()> give_up = nullptr)
      : fd_(fd), positional_(positional), at_(start), cancelled_(cancelled), give_up_(std::move(give_up)) {}
  int64_t read(char* out, size_t n) override;
  std::string error() const override { return error_; }
  // A regular file's size (fstat) less the reading point; its last four
  // bytes by pread. Nothing for a pipe or a device.
  std::optional<uint64_t> remaining_hint() const override;
  std::optional<uint32_t> last_word_hint() const override;
  // Called before a read(2) source waits for data (not for a positional
  // one): what was read so far can be handed on rather than held while a
  // pipe is quiet.
  void on_wait(std::function<void()> f) { on_wait_ = std::move(f); }

 private:
  int fd_;
  bool positional_;
  uint64_t at_;
  const std::atomic<bool>* cancelled_;
  std::function<bool()> give_up_;
  std::string error_ = "read error";
  std::function<void()> on_wait_;
};

}  // namespace ls::archive
