// The archive run (see run.h): units, workers, the consumer, cancellation.
//
// Locks. `mutex_` guards the unit lists, every unit's outputs and flags, the
// counts and the split files' consumer state; nothing is read, opened,
// inflated or extracted while it is held, and no code holding it takes the
// interpreter lock (a stream input's reads take it): an input is destroyed
// by the worker that read it, or by `cancel` after the lists are emptied.
// `take_mutex_` makes the taking of units one worker at a time, so that the
// parts of a file split by the worker that took it are put in the lists
// before any later unit is taken: units are always taken in order.
// `next_mutex_` makes callers of `next` take turns (the interpreter lock is
// released while one waits): the consumer's state is one caller's.
#include "archive/run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "archive/sources.h"
#include "archive/split.h"
#include "encoding.h"
#include "whatwg/decode.h"

namespace ls::archive {

struct Run::Unit {
  std::vector<Input> inputs;
  size_t input_count = 0;  // inputs given out when the unit is
  uint64_t group_bytes = 0;
  // A lone path: what stat said when it was added.
  bool regular = false;
  uint64_t size = 0;
  // A lone path opened by the worker that considered splitting it.
  std::optional<OpenedFile> opened;
  // A part of a split file.
  std::shared_ptr<SplitFile> split;
  size_t part = 0;
  std::string source;

  // Under mutex_.
  std::deque<RunOutput> outputs;
  bool taken = false;
  bool done = false;
  bool placed = false;  // a part: the consumer decided whether it is used
  std::atomic<bool> cancelled{false};

  // The worker's own: a page of the unit was read.
  bool any_page = false;

  // Written by the worker before `done`, read by the consumer after.
  reader::ReadCounts counts;
  uint64_t files = 0;
  std::optional<uint64_t> stopped_at;
  std::optional<uint64_t> last;
  bool last_known = false;

  ~Unit() {
    if (opened && opened->fd >= 0) ::close(opened->fd);
  }
};

// What a worker gathers between two outputs.
struct Run::Gathered {
  std::vector<RunPage> pages;
  uint64_t bytes = 0;
  std::vector<RunFailure> failures;
  std::vector<std::optional<size_t>> after_at;  // per failure (see reader::Failure::after_at)
};

namespace {

bool is_path(const Input& in) { return in.kind == Input::Kind::kNamedPath || in.kind == Input::Kind::kFoundPath; }

constexpr Bytes kDocumentSuffix = " (document 0 of the batch)";

std::string page_failure_reason(const Fault& f) {
  if (f.kind == FaultKind::kDocumentTooLarge) {
    Bytes m = f.message;
    if (m.ends_with(kDocumentSuffix)) m.remove_suffix(kDocumentSuffix.size());
    return "extraction failed: ValueError: " + std::string(m);
  }
  return "extraction failed: MemoryError: the page's values do not fit in memory";
}

bool retried_a_page_at_a_time(const Fault& f) {
  return f.kind == FaultKind::kOutOfMemory || f.kind == FaultKind::kBatchTooLarge ||
         f.kind == FaultKind::kDocumentTooLarge;
}

}  // namespace

std::string normalise_charset(Bytes name) {
  std::string out;
  bool separator = false;
  for (char ch : name) {
    const auto c = static_cast<uint8_t>(ch);
    if (c >= 0x80) continue;
    const uint8_t lower = ascii_lower(c);
    if (is_ascii_alpha(lower) || is_ascii_digit(lower) || lower == '.') {
      if (separator && !out.empty()) out.push_back('_');
      out.push_back(static_cast<char>(lower));
      separator = false;
    } else {
      separator = true;
    }
  }
  return out;
}

void merge_counts(reader::ReadCounts& into, const reader::ReadCounts& from) {
  into.skipped += from.skipped;
  into.requests += from.requests;
  into.other_records += from.other_records;
  into.non_html += from.non_html;
  into.not_2xx += from.not_2xx;
  for (const auto& counted : from.kinds) {
    // Named, not a structured binding: clang's C++17 lambdas cannot capture one.
    const std::string& kind = counted.first;
    const uint64_t n = counted.second;
    auto same = [&](const auto& entry) { return entry.first == kind; };
    auto found = std::find_if(into.kinds.begin(), into.kinds.end(), same);
    if (found != into.kinds.end()) {
      found->second += n;
    } else if (into.kinds.size() < reader::kMaxSkippedKinds) {
      into.kinds.emplace_back(kind, n);
    } else {
      auto other = std::find_if(into.kinds.begin(), into.kinds.end(),
                                [](const auto& entry) { return entry.first == reader::kOtherKinds; });
      if (other != into.kinds.end()) other->second += n;
      else into.kinds.emplace_back(reader::kOtherKinds, n);
    }
  }
}

Run::Run(RunOptions options)
    : options_(std::move(options)), window_(2 * std::max(1u, options_.threads) + 1) {
  const unsigned n = std::max(1u, options_.threads);
  threads_.reserve(n);
  for (unsigned i = 0; i < n; ++i) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (...) {
      if (threads_.empty()) throw;
      break;  // fewer workers: the ones running take every unit
    }
  }
}

Run::~Run() { cancel(); }

bool Run::add(Input input) {
  bool regular = false;
  uint64_t size = 0;
  if (is_path(input)) {
    struct stat st;
    if (::stat(input.path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      regular = true;
      size = static_cast<uint64_t>(st.st_size);
    }
  }
  const bool splittable = options_.threads > 1 && size >= 2 * options_.part_bytes;
  const bool small = regular && !splittable && size < options_.batch_bytes && options_.batch_pages > 1;
  auto u = std::make_shared<Unit>();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || finished_) return false;
  ++pending_;
  consumer_cv_.notify_all();  // a next() with a deadline may wait for inputs
  if (small) {
    if (open_group_ && (open_group_->group_bytes + size >= options_.batch_bytes ||
                        open_group_->inputs.size() + 1 >= options_.batch_pages))
      close_group_locked();
    if (!open_group_) {
      open_group_ = u;
      order_.push_back(u);
    }
    open_group_->inputs.push_back(std::move(input));
    open_group_->group_bytes += size;
    ++open_group_->input_count;
    return true;
  }
  close_group_locked();
  u->source = input.source;
  u->inputs.push_back(std::move(input));
  u->input_count = 1;
  u->regular = regular;
  u->size = size;
  order_.push_back(u);
  todo_.push_back(u);
  workers_cv_.notify_all();
  return true;
}

void Run::close_group_locked() {
  if (!open_group_) return;
  todo_.push_back(std::move(open_group_));
  open_group_.reset();
  workers_cv_.notify_all();
}

void Run::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  close_group_locked();
  consumer_cv_.notify_all();
}

size_t Run::pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pending_;
}

RunCounts Run::counts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counts_;
}

void Run::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  soft_stop_ = true;
  finished_ = true;
  close_group_locked();
  workers_cv_.notify_all();
  consumer_cv_.notify_all();
}

void Run::cancel() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (const std::shared_ptr<Unit>& u : order_) u->cancelled = true;
    workers_cv_.notify_all();
    consumer_cv_.notify_all();
  }
  std::lock_guard<std::mutex> join(join_mutex_);
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  // The inputs not read go now, outside the lock (a stream input takes the
  // interpreter lock to let go of its object).
  std::deque<std::shared_ptr<Unit>> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(order_);
    todo_.clear();
    open_group_.reset();
  }
}

// ---------------------------------------------------------------------------
// Workers.

void Run::work() noexcept {
  while (true) {
    std::shared_ptr<Unit> u;
    Fault taking = guarded([&] { u = take(); });
    if (taking || !u) return;
    Fault f = guarded([&] { read_unit(*u); });
    if (f) {
      RunOutput out;
      out.fault = std::move(f);
      guarded([&] { put(*u, std::move(out)); });
    }
    // The inputs go here, outside every lock (see the file comment).
    Fault freed = guarded([&] { std::vector<Input>().swap(u->inputs); });
    (void)freed;
    std::lock_guard<std::mutex> lock(mutex_);
    u->done = true;
    consumer_cv_.notify_all();
  }
}

std::shared_ptr<Run::Unit> Run::take() {
  std::lock_guard<std::mutex> taking(take_mutex_);
  std::shared_ptr<Unit> u;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    workers_cv_.wait(lock, [&] { return stopping_ || soft_stop_ || (!todo_.empty() && taken_ < window_); });
    if (stopping_ || soft_stop_) return nullptr;
    u = todo_.front();
    todo_.pop_front();
    u->taken = true;
    ++taken_;
  }
  if (options_.threads > 1 && u->inputs.size() == 1 && is_path(u->inputs[0]) && u->regular &&
      u->size >= 2 * options_.part_bytes) {
    // A file that cannot be considered (no memory) is read whole; what was
    // opened of it is read (or named as a failure) as usual.
    Fault f = guarded([&] { consider_split(*u); });
    (void)f;
  }
  return u;
}

// Opens a large regular file and, if it is a WARC.gz, splits it into parts,
// put in the lists right after it (this worker holds take_mutex_: no later
// unit is taken meanwhile). Otherwise the file stays open for the reading.
void Run::consider_split(Unit& u) {
  const Input& in = u.inputs[0];
  u.opened = in.kind == Input::Kind::kNamedPath ? open_named(in.path) : open_found(in.path);
  OpenedFile& f = *u.opened;
  if (f.fd < 0 || !f.regular || f.size < 2 * options_.part_bytes) return;
  bool warc = false;
  if (guarded([&] { warc = record_member_at(f.fd, 0, false); }) || !warc) return;
  const size_t parts = static_cast<size_t>(std::max<uint64_t>(options_.threads, f.size / options_.part_bytes));
  std::shared_ptr<SplitFile> split;
  std::vector<std::shared_ptr<Unit>> later;
  Fault made = guarded([&] {
    for (size_t k = 1; k < parts; ++k) {
      auto p = std::make_shared<Unit>();
      p->part = k;
      p->source = u.source;
      later.push_back(std::move(p));
    }
    // The descriptor changes hands only once the split file is made (a
    // constructor that throws leaves it with `f`).
    split = std::make_shared<SplitFile>(f.fd, f.size, parts);
    f.fd = -1;
  });
  if (made) return;
  for (const std::shared_ptr<Unit>& p : later) p->split = split;
  // The consumer may be looking at `u` (the head): what it reads of it
  // changes under the lock.
  std::lock_guard<std::mutex> lock(mutex_);
  u.split = split;
  u.part = 0;
  if (!later.empty()) {
    later.back()->input_count = u.input_count;
    u.input_count = 0;
  }
  auto at = std::find_if(order_.begin(), order_.end(), [&](const auto& p) { return p.get() == &u; });
  LS_CHECK(at != order_.end());
  order_.insert(at + 1, later.begin(), later.end());
  todo_.insert(todo_.begin(), later.begin(), later.end());
  workers_cv_.notify_all();
}

bool Run::put(Unit& u, RunOutput out) {
  std::unique_lock<std::mutex> lock(mutex_);
  workers_cv_.wait(lock, [&] {
    return stopping_ || u.cancelled || u.outputs.size() < 2 || order_.front().get() == &u;
  });
  if (stopping_ || u.cancelled) return false;
  u.outputs.push_back(std::move(out));
  consumer_cv_.notify_all();
  return true;
}


// The label a page is extracted with: its HTTP charset when that names an
// encoding (a WHATWG label, else a name in the run's table), else the run's.
std::optional<std::string> Run::page_label(const reader::Page& page) const {
  if (page.charset) {
    if (std::optional<whatwg::Encoding> e = whatwg::for_label(*page.charset)) return whatwg::canonical_name(*e);
    auto found = options_.charsets.find(normalise_charset(*page.charset));
    if (found != options_.charsets.end())
      if (std::optional<whatwg::Encoding> e = whatwg::for_label(found->second)) return whatwg::canonical_name(*e);
  }
  return options_.encoding;
}

// One Arrow batch of `pages` (the metadata columns, then the plan's).
Fault Run::extract(const std::vector<RunPage*>& pages, std::shared_ptr<const ArrowBatch>& out) const noexcept {
  std::vector<ArrowNode> leading;
  std::vector<BatchDocument> docs;
  std::vector<std::optional<std::string>> labels;
  Fault built = guarded([&] {
    labels.reserve(pages.size());
    for (const RunPage* p : pages) labels.push_back(page_label(p->page));
    for (const char* name : kMetadataColumns) {
      const Bytes n = name;
      if (n == "_offset") leading.push_back(arrow_int_column(name, ArrowNode::Kind::kInt64));
      else if (n == "_status") leading.push_back(arrow_int_column(name, ArrowNode::Kind::kInt16));
      else leading.push_back(arrow_string_column(name));
    }
    // Header values are the archive's bytes: an Arrow string must be UTF-8,
    // so a value that is not is read as the binding reads it for a str
    // (each maximal ill-formed part one U+FFFD).
    // The view returned is appended at once, before the next call reuses it.
    std::string repaired;
    auto text = [&repaired](const std::optional<std::string>& s) -> std::optional<Bytes> {
      if (!s) return std::nullopt;
      if (whatwg::utf8_is_valid(*s)) return Bytes(*s);
      repaired.clear();
      whatwg::decode_append(whatwg::Encoding::kUtf8, *s, repaired);
      return Bytes(repaired);
    };
    bool fits = true;
    for (size_t i = 0; i < pages.size(); ++i) {
      const reader::Page& p = pages[i]->page;
      const std::optional<Bytes> label = labels[i] ? std::optional<Bytes>(*labels[i]) : std::nullopt;
      fits = fits && arrow_append_string(leading[0], Bytes(pages[i]->source));
      arrow_append_int(leading[1], p.offset ? std::optional<int64_t>(static_cast<int64_t>(*p.offset)) : std::nullopt);
      fits = fits && arrow_append_string(leading[2], text(p.url));
      arrow_append_int(leading[3], p.status ? std::optional<int64_t>(p.status) : std::nullopt);
      fits = fits && arrow_append_string(leading[4], text(p.date));
      fits = fits && arrow_append_string(leading[5], text(p.record_id));
      fits = fits && arrow_append_string(leading[6], text(p.content_type));
      fits = fits && arrow_append_string(leading[7], whatwg::canonical_name(resolve(p.body, label)));
      docs.push_back(BatchDocument{Bytes(p.body), label});
    }
    if (!fits)
      throw std::bad_alloc();  // a metadata column past 32-bit offsets: taken a page at a time
  });
  if (built) return built;
  if (options_.simulate_out_of_memory)
    for (const BatchDocument& d : docs)
      if (options_.simulate_out_of_memory(d.bytes)) return Fault{FaultKind::kOutOfMemory, {}};
  return extract_batch(*options_.plan, options_.layout, docs, 1, std::move(leading), out);
}

// Turns what was gathered into outputs (more than one when a batch is taken
// a page at a time); false once the unit is cancelled.
bool Run::emit(Unit& u, Gathered& g) {
  if (g.pages.empty() && g.failures.empty()) return true;
  RunOutput out;
  out.failures = std::move(g.failures);
  for (size_t i = 0; i < out.failures.size(); ++i) out.failures[i].after_at = g.after_at[i];
  std::vector<RunPage> pages = std::move(g.pages);
  g = Gathered();
  uint64_t bytes = 0;
  for (const RunPage& p : pages) bytes += p.page.body.size();
  if (!options_.plan) {
    out.page_count = pages.size();
    out.html_bytes = bytes;
    out.pages = std::move(pages);
    return put(u, std::move(out));
  }
  if (pages.empty()) return put(u, std::move(out));
  std::vector<RunPage*> all;
  for (RunPage& p : pages) all.push_back(&p);
  Fault f = extract(all, out.batch);
  if (!f) {
    out.page_count = pages.size();
    out.html_bytes = bytes;
    return put(u, std::move(out));
  }
  if (!retried_a_page_at_a_time(f)) {
    out.fault = std::move(f);
    return put(u, std::move(out));
  }
  // A batch that cannot be held: its pages one at a time, so that only a
  // page that cannot be held alone fails. The failures read before the
  // batch go with its first output.
  for (size_t i = 0; i < pages.size(); ++i) {
    RunPage& p = pages[i];
    Fault alone;
    if (pages.size() > 1) alone = extract({&p}, out.batch);
    else alone = std::move(f);
    if (alone) {
      if (!retried_a_page_at_a_time(alone)) {
        out.fault = std::move(alone);
        return put(u, std::move(out));
      }
      out.failures.push_back(RunFailure{p.source, p.page.offset, page_failure_reason(alone), std::nullopt});
      out.batch.reset();
      continue;
    }
    out.page_count = 1;
    out.html_bytes = p.page.body.size();
    std::string().swap(p.page.body);
    if (!put(u, std::move(out))) return false;
    out = RunOutput();
  }
  return out.failures.empty() || put(u, std::move(out));
}

// Reads one source to its end into `g`, emitting as batches fill; false
// once the unit is cancelled.
bool Run::read_source(Unit& u, Gathered& g, reader::ByteSource& source, const std::string& name,
                      const reader::ReaderOptions& ro) {
  reader::ArchiveReader r(source, ro);
  reader::ReadItem item;
  bool going = true;
  // Softly stopped (stop()): the page in hand (the first one completed after the stop, unless
  // one was gathered before it) is the last one, and goes out with what was gathered.
  while (going && !u.cancelled.load(std::memory_order_relaxed) && r.next(item)) {
    const bool stopping = soft_stop_.load(std::memory_order_relaxed);
    if (stopping && !g.pages.empty()) break;
    if (item.is_page) {
      // A batch holds at most batch_bytes of HTML, or one page.
      if (!g.pages.empty() && g.bytes + item.page.body.size() > options_.batch_bytes && !emit(u, g)) {
        going = false;
        break;
      }
      g.bytes += item.page.body.size();
      g.pages.push_back(RunPage{name, std::move(item.page)});
      u.any_page = true;
      if (stopping) break;
      if (g.pages.size() >= options_.batch_pages || g.bytes >= options_.batch_bytes) going = emit(u, g);
    } else {
      g.failures.push_back(RunFailure{name, item.failure.offset, std::move(item.failure.reason), std::nullopt});
      g.after_at.push_back(item.failure.after_at);
    }
  }
  if (soft_stop_.load(std::memory_order_relaxed) && !u.cancelled.load(std::memory_order_relaxed)) {
    emit(u, g);
    going = false;
  }
  merge_counts(u.counts, r.counts());
  if (u.split) {
    u.stopped_at = r.stopped_at();
    u.last = r.last_record();
    u.last_known = r.last_record_known();
  }
  return going && !u.cancelled.load(std::memory_order_relaxed);
}

void Run::read_unit(Unit& u) {
  Gathered g;
  if (u.split) {
    const std::optional<uint64_t> start = u.split->start(u.part);
    if (!start) return;
    if (u.part == 0) u.files = 1;
    FdSource source(u.split->fd(), true, *start, &u.cancelled);
    reader::ReaderOptions ro = options_.reader;
    ro.start_offset = *start;
    ro.after_unknown = u.part > 0;
    size_t later = u.part + 1;
    SplitFile& split = *u.split;
    ro.stop_at = [&split, &later](uint64_t offset) { return split.stops(later, offset); };
    if (!read_source(u, g, source, u.source, ro)) return;
    emit(u, g);
    return;
  }
  // Softly stopped once a page was read, a pipe that brings nothing more is not waited for
  // (what it brought went on when it went quiet, or goes with the batch in hand).
  auto idle_stop = [this, &u, &g] {
    return soft_stop_.load(std::memory_order_relaxed) && (u.any_page || !g.pages.empty());
  };
  for (Input& in : u.inputs) {
    if (u.cancelled.load(std::memory_order_relaxed) || soft_stop_.load(std::memory_order_relaxed)) break;
    bool going = true;
    switch (in.kind) {
      case Input::Kind::kFailure:
        g.failures.push_back(RunFailure{in.source, std::nullopt, in.reason, std::nullopt});
        g.after_at.emplace_back();
        break;
      case Input::Kind::kFd: {
        FdSource source(in.fd, false, 0, &u.cancelled, idle_stop);
        // Pages arriving on a pipe go on as they come: a quiet pipe hands on
        // what was read (a failed hand-on is a cancel, seen by the next read).
        source.on_wait([&] { emit(u, g); });
        going = read_source(u, g, source, in.source, options_.reader);
        break;
      }
      case Input::Kind::kStream: {
        if (in.stream) {
          ++u.files;
          going = read_source(u, g, *in.stream, in.source, options_.reader);
        }
        in.stream.reset();  // its object let go of as soon as it is read
        break;
      }
      case Input::Kind::kNamedPath:
      case Input::Kind::kFoundPath: {
        OpenedFile f;
        if (u.opened) {
          f = *u.opened;
          u.opened->fd = -1;
        } else {
          f = in.kind == Input::Kind::kNamedPath ? open_named(in.path) : open_found(in.path);
        }
        if (f.fd < 0) {
          g.failures.push_back(RunFailure{in.source, std::nullopt, f.failure.value_or("cannot open"), std::nullopt});
          g.after_at.emplace_back();
          break;
        }
        ++u.files;
        struct Closer {
          int fd;
          ~Closer() { ::close(fd); }
        } closer{f.fd};
        FdSource source(f.fd, f.regular, 0, &u.cancelled, idle_stop);
        going = read_source(u, g, source, in.source, options_.reader);
        break;
      }
    }
    if (!going) return;
  }
  emit(u, g);
}

// ---------------------------------------------------------------------------
// The consumer.

void Run::retire_locked(const std::shared_ptr<Unit>& u, bool used) {
  LS_CHECK(!order_.empty() && order_.front() == u);
  order_.pop_front();
  if (u->taken) {
    --taken_;
  } else {
    LS_CHECK(!todo_.empty() && todo_.front() == u);
    todo_.pop_front();
  }
  u->cancelled = true;  // a part not used stops reading; a finished unit has nothing left to read
  if (used) {
    merge_counts(counts_.read, u->counts);
    counts_.files += u->files;
    if (u->split) {
      u->split->expect = u->stopped_at;
      if (u->last_known) u->split->last = u->last;
    }
  }
  pending_ -= std::min(pending_, u->input_count);
  workers_cv_.notify_all();
}

Run::Next Run::next(RunOutput& out, std::optional<std::chrono::steady_clock::time_point> deadline,
                    bool wait_for_inputs) {
  std::lock_guard<std::mutex> turn(next_mutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (stopping_) return Next::kEnd;
    if (order_.empty()) {
      if (finished_) return Next::kEnd;
      if (!wait_for_inputs) return Next::kIdle;
      if (!deadline) {
        consumer_cv_.wait(lock);
      } else if (consumer_cv_.wait_until(lock, *deadline) == std::cv_status::timeout) {
        return Next::kTimeout;
      }
      continue;
    }
    const std::shared_ptr<Unit> u = order_.front();
    if (u == open_group_) close_group_locked();
    if (soft_stop_ && !u->taken) {
      retire_locked(u, false);  // stopped before a worker took it: not read
      continue;
    }
    if (u->split && !u->placed) {
      // Whether this part is used: its start must be where the parts before
      // it stopped, which lies in its stretch or it is not. Found without
      // the lock (it may read and inflate).
      SplitFile& split = *u->split;
      const std::optional<uint64_t> expect = split.expect;
      std::optional<uint64_t> start;
      if (expect && *expect >= split.origin(u->part) && *expect < split.origin(u->part + 1)) {
        lock.unlock();
        Fault f = guarded([&] { start = split.start(u->part); });
        lock.lock();
        if (f) {
          out = RunOutput();
          out.fault = std::move(f);
          return Next::kOutput;
        }
        if (stopping_) continue;
      }
      u->placed = true;
      if (!start || start != expect) {
        retire_locked(u, false);
        continue;
      }
    }
    if (!u->outputs.empty()) {
      out = std::move(u->outputs.front());
      u->outputs.pop_front();
      workers_cv_.notify_all();
      // A corrupt run a part met before any record of its own names the
      // record the parts before it read last.
      for (RunFailure& failure : out.failures) {
        if (!failure.after_at) continue;
        if (u->split && u->split->last)
          failure.reason.insert(*failure.after_at, " after the record at offset " + std::to_string(*u->split->last));
        failure.after_at.reset();
      }
      return Next::kOutput;
    }
    if (u->done) {
      retire_locked(u, true);
      continue;
    }
    if (!deadline) {
      consumer_cv_.wait(lock);
    } else if (consumer_cv_.wait_until(lock, *deadline) == std::cv_status::timeout) {
      return Next::kTimeout;
    }
  }
}

}  // namespace ls::archive
