// Opening inputs and reading descriptors (see sources.h).
#include "archive/sources.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ls::archive {

namespace {

// The GNU strerror_r returns the text; the XSI one fills the buffer.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) { return rc == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

OpenedFile failed(int err) {
  OpenedFile f;
  f.failure = errno_text(err);
  return f;
}

int open_retrying(const char* path, int flags) {
  int fd;
  do fd = ::open(path, flags);
  while (fd < 0 && errno == EINTR);
  return fd;
}

}  // namespace

std::string errno_text(int err) {
  char buf[256];
  buf[0] = 0;
  return strerror_text(strerror_r(err, buf, sizeof buf), buf);
}

std::string file_kind(unsigned mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISDIR(mode)) return "a directory";
  return "not a regular file";
}

OpenedFile open_named(const std::string& path) {
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  OpenedFile f;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      ::close(fd);
      return failed(EISDIR);
    }
    f.regular = S_ISREG(st.st_mode);
    f.size = f.regular ? static_cast<uint64_t>(st.st_size) : 0;
  }
  f.fd = fd;
  return f;
}

OpenedFile open_found(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return failed(errno);
  auto refuse = [](unsigned mode) {
    OpenedFile f;
    f.failure = "not a regular file (" + file_kind(mode) + "): skipped";
    return f;
  };
  if (!S_ISREG(st.st_mode)) return refuse(st.st_mode);
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return failed(errno);
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return failed(err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return refuse(st.st_mode);
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    const int err = errno;
    ::close(fd);
    return failed(err);
  }
  OpenedFile f;
  f.fd = fd;
  f.regular = true;
  f.size = static_cast<uint64_t>(st.st_size);
  return f;
}

int64_t FdSource::read(char* out, size_t n) {
  if (n == 0) return 0;
  if (positional_) {
    if (cancelled_ && cancelled_->load(std::memory_order_relaxed)) return 0;
    const uint64_t room = kReadAlign - at_ % kReadAlign;
    n = static_cast<size_t>(std::min<uint64_t>(n, room));
    while (true) {
      const ssize_t got = ::pread(fd_, out, n, static_cast<off_t>(at_));
      if (got >= 0) {
        at_ += static_cast<uint64_t>(got);
        return got;
      }
      if (errno != EINTR) {
        error_ = errno_text(errno);
        return -1;
      }
    }
  }
  bool waited = false;
  while (true) {
    if (cancelled_) {
      // Wait in slices, so that a run being cancelled is not held by a pipe
      // whose writer is silent.
      if (cancelled_->load(std::memory_order_relaxed)) return 0;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, waited ? 100 : 0);
      if (ready == 0) {
        if (!waited && on_wait_) on_wait_();
        waited = true;
        if (give_up_ && give_up_()) return 0;
        continue;
      }
      if (ready < 0 && errno == EINTR) continue;
      // An error from poll itself is met again by read.
    }
    const ssize_t got = ::read(fd_, out, n);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (errno == EAGAIN && cancelled_) continue;  // a descriptor set non-blocking by its owner
    error_ = errno_text(errno);
    return -1;
  }
}

namespace {

std::optional<uint64_t> regular_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace

std::optional<uint64_t> FdSource::remaining_hint() const {
  const std::optional<uint64_t> size = regular_size(fd_);
  if (!size) return std::nullopt;
  uint64_t at = at_;
  if (!positional_) {
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (pos < 0) return std::nullopt;
    at = static_cast<uint64_t>(pos);
  }
  return *size > at ? *size - at : 0;
}

std::optional<uint32_t> FdSource::last_word_hint() const {
  const std::optional<uint64_t> size = regular_size(fd_);
  if (!size || *size < 4) return std::nullopt;
  uint8_t b[4];
  ssize_t got;
  do got = ::pread(fd_, b, sizeof b, static_cast<off_t>(*size - 4));
  while (got < 0 && errno == EINTR);
  if (got != 4) return std::nullopt;
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

}  // namespace ls::archive
