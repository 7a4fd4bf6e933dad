// An archive run: inputs in, one at a time and in order; out, strictly in
// input order, either Arrow batches (a plan given) or lists of pages, each
// preceded by the failures read before it; the reading, inflating, scanning
// and assembling done on N worker threads that never touch the interpreter.
//
// Units. Inputs are read in units, each by one worker front to back:
//   - consecutive small regular files (stat sizes summing to less than
//     `batch_bytes`, fewer than `batch_pages` of them) are one unit, so that
//     a batch spans many one-page files; any other input, or a placeholder
//     failure, ends such a group;
//   - a regular gzip file whose first member holds a WARC record, at least
//     two `part_bytes` long, with more than one thread, is one unit per part
//     (split.h: the parts' results are those of a one-thread read);
//   - anything else is a unit of its own.
// A worker reads its unit's inputs (reader.h), and every `batch_pages`
// pages or `batch_bytes` of HTML, whichever first (a page that would take a
// batch past `batch_bytes` starts the next one), makes one output: in
// Arrow mode it extracts the batch itself, on its own thread, with the
// metadata columns first (`kMetadataColumns`).
//
// Order. Workers take units in order; the consumer takes the head unit's
// outputs first. A unit that is not the head holds at most two finished
// outputs before its worker waits, and at most 2 * threads + 1 units are
// taken and not yet given out. Since workers take units in order, the head
// unit is always being read or done (or free to be taken): waiting cannot
// deadlock.
//
// Memory. Per worker: one page (up to `max_page_size`, plus the reader's
// fixed buffers, see reader.h; held once when its size is known before it
// is read, with its compressed body for a gzip-coded one, up to twice for
// a moment when its size is not known) and one batch of pages
// (`batch_bytes` plus a page); per unit taken (at most 2 * threads + 1): two
// finished outputs (Arrow batches, or batches of pages). With the defaults,
// 2 threads and pages well under the limit: about 2 x (64 MiB worst page +
// 4 MiB) while reading, and 5 x 2 finished batches; measured on pages of
// 190 KB on average, 13 MB for one thread and 9 MB more for each other. In
// pages mode the binding copies each page into a `bytes` object, holding
// that page twice while it does (see pages_list in python/archive.cc).
//
// Failures are values: an input that cannot be opened or read, a record
// that cannot be read, a page that cannot be extracted (a batch that does
// not fit is extracted a page at a time, and only a page that does not fit
// alone fails). Only a fault of the engine itself (an allocation failure
// while reading, a broken invariant) reaches the caller, as `Fault`.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "arrow.h"
#include "lib.h"
#include "reader/reader.h"

namespace ls::archive {

// The columns an Arrow batch of a run starts with, before the plan's.
inline constexpr const char* kMetadataColumns[] = {"_source",    "_offset",       "_url",    "_status",
                                                    "_date",      "_record_id",    "_content_type", "_charset"};

struct RunOptions {
  unsigned threads = 1;
  reader::ReaderOptions reader;  // max_page_size and only_2xx
  size_t batch_pages = 64;
  uint64_t batch_bytes = uint64_t{4} << 20;
  uint64_t part_bytes = uint64_t{8} << 20;
  // The label for pages whose HTTP charset names no encoding (absent: sniff).
  std::optional<std::string> encoding;
  // Charset names the engine's labels do not know (Python codec names such
  // as cp932), normalised (`normalise_charset`), to a WHATWG label.
  std::unordered_map<std::string, std::string> charsets;
  // Arrow mode when set: the plan (which must outlive the run) and its
  // layout, as extract_batch takes them.
  const Plan* plan = nullptr;
  BatchLayout layout;
  // For tests only (the private test module): a batch holding a page for
  // which this says true fails as if it did not fit in memory.
  std::function<bool(Bytes body)> simulate_out_of_memory;
};

struct Input {
  enum class Kind : uint8_t { kNamedPath, kFoundPath, kFd, kStream, kFailure };
  Kind kind = Kind::kFailure;
  std::string source;  // the display name every page and failure carries
  std::string path;    // kNamedPath, kFoundPath
  int fd = -1;         // kFd: read, never closed, never split; its pages are
                       // handed on whenever it goes quiet (a pipe)
  std::unique_ptr<reader::ByteSource> stream;  // kStream: destroyed once read
  std::string reason;  // kFailure: given out in the input's place
};

struct RunFailure {
  std::string source;
  std::optional<uint64_t> offset;
  std::string reason;
  // Inside the run only: see reader::Failure::after_at (always absent in
  // what `next` gives out).
  std::optional<size_t> after_at;
};

struct RunPage {
  std::string source;
  reader::Page page;
};

struct RunOutput {
  std::vector<RunFailure> failures;         // read before the result, in order
  std::shared_ptr<const ArrowBatch> batch;  // Arrow mode, when pages > 0
  std::vector<RunPage> pages;               // pages mode
  uint64_t page_count = 0;
  uint64_t html_bytes = 0;  // the pages' bodies
  Fault fault;              // an engine fault: the run cannot go on
};

struct RunCounts {
  reader::ReadCounts read;
  uint64_t files = 0;  // inputs opened (a file read in parts counts once)
};

// Python's encodings.normalize_encoding after ASCII lower-casing: runs of
// characters other than ASCII letters, digits and '.' become one '_',
// leading and trailing ones dropped; non-ASCII bytes dropped.
std::string normalise_charset(Bytes name);

// Adds `from` to `into`, the kinds capped as ReadCounts::skip caps them.
void merge_counts(reader::ReadCounts& into, const reader::ReadCounts& from);

class Run {
 public:
  // Starts the workers (throws std::bad_alloc, or std::system_error when
  // not one thread can be started).
  explicit Run(RunOptions options);
  // Cancels and joins (see `cancel`).
  ~Run();
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  // The next input, in order (throws std::bad_alloc only); false, the
  // input dropped, after finish() or cancel().
  bool add(Input input);
  // No more inputs.
  void finish();

  enum class Next : uint8_t {
    kOutput,  // `out` is the next output
    kIdle,     // nothing is pending and finish() was not called
    kTimeout,  // the deadline passed with nothing to give
    kEnd,      // finished (or cancelled, or stopped), and everything given out
  };
  // Waits for the next output of the head unit, until `deadline` if one is
  // given. When nothing is pending and finish() was not called, returns
  // kIdle at once, or with `wait_for_inputs` waits for an input (or finish).
  Next next(RunOutput& out, std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt,
            bool wait_for_inputs = false);
  // Inputs added and not yet fully given out.
  size_t pending() const;
  // The counts of what was given out.
  RunCounts counts() const;
  // Stops every worker at its next read or batch and joins them; the inputs
  // not read are dropped (their descriptors closed). Idempotent.
  void cancel() noexcept;
  // Ends the run softly (Ctrl-C): no more inputs are taken, each unit being
  // read ends its batch at the page in hand and gives it out, the units not
  // taken yet are dropped; next() gives out what is made, then kEnd.
  void stop();

  struct Unit;

 private:
  struct Gathered;
  void work() noexcept;
  std::shared_ptr<Unit> take();
  void consider_split(Unit& u);
  void read_unit(Unit& u);
  bool read_source(Unit& u, Gathered& g, reader::ByteSource& source, const std::string& name,
                   const reader::ReaderOptions& ro);
  bool emit(Unit& u, Gathered& g);
  std::optional<std::string> page_label(const reader::Page& page) const;
  Fault extract(const std::vector<RunPage*>& pages, std::shared_ptr<const ArrowBatch>& out) const noexcept;
  bool put(Unit& u, RunOutput out);
  void close_group_locked();
  void retire_locked(const std::shared_ptr<Unit>& u, bool used);

  const RunOptions options_;
  const size_t window_;  // units taken and not given out, at most

  mutable std::mutex mutex_;
  std::condition_variable workers_cv_;   // a unit to take, room for an output, the head moved
  std::condition_variable consumer_cv_;  // an output, a unit done
  std::mutex take_mutex_;                // workers take units one at a time, in order
  std::mutex next_mutex_;                // callers of next() take turns
  // Every unit not yet given out, in input order; the units not yet taken
  // are its tail (`todo_`), bar a group still open at its very end.
  std::deque<std::shared_ptr<Unit>> order_;
  std::deque<std::shared_ptr<Unit>> todo_;
  std::shared_ptr<Unit> open_group_;
  size_t taken_ = 0;  // units in order_ taken by a worker
  size_t pending_ = 0;
  bool finished_ = false;
  bool stopping_ = false;
  std::atomic<bool> soft_stop_{false};  // stop(): read nothing past the page in hand
  RunCounts counts_;

  std::mutex join_mutex_;
  std::vector<std::thread> threads_;
};

}  // namespace ls::archive
