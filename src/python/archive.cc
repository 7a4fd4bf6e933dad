// The private type `_larkspine._ArchiveRun`: the archive run (archive/run.h)
// for the Python layer, which names the inputs and writes the outputs.
//
//   run = _ArchiveRun(plan, *, names=None, threads=1 (0: one per CPU), max_page_size=64 << 20,
//                     only_2xx=False, encoding=None, charsets=None,
//                     batch_pages=64, batch_bytes=4 << 20, part_bytes=8 << 20)
//   run.add(source, path=None, *, fd=None, stream=None, found=False, failure=None)
//   run.finish(); run.next(); run.pending; run.counts(); run.close()
//
// The interpreter lock is released while `next` waits, while `add` looks at a
// path, and while `close` (or dealloc) joins the workers: a worker reading a
// Python stream takes the lock around each read, so joining with the lock
// held could wait forever. No core lock is ever held while this binding
// takes the interpreter lock (see run.cc), so the two cannot deadlock.
//
// An instance holds a reference to its Plan, whose core plan the workers
// read; the type is not subclassable and not part of cyclic collection (a
// stream that refers back to its run is kept alive until the run is).
#include "python/archive.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "archive/run.h"
#include "python/arrow_batch.h"
#include "python/convert.h"
#include "python/plan.h"
#include "whatwg/decode.h"

namespace ls::py {

namespace {

// A binary file object read through readinto (else read), the interpreter
// lock taken around each call only. Its errors become the input's failure.
class PyStreamSource final : public reader::ByteSource {
 public:
  // Constructed with the interpreter lock held.
  explicit PyStreamSource(PyObject* stream) : stream_(stream) { Py_INCREF(stream); }
  ~PyStreamSource() override {
    PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(stream_);
    PyGILState_Release(gil);
  }
  int64_t read(char* out, size_t n) override {
    PyGILState_STATE gil = PyGILState_Ensure();
    const int64_t got = read_held(out, std::min<size_t>(n, size_t{1} << 30));
    PyGILState_Release(gil);
    return got;
  }
  std::string error() const override { return error_; }

 private:
  int64_t read_held(char* out, size_t n) {
    Ref readinto(PyObject_GetAttrString(stream_, "readinto"));
    if (!readinto) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failed();
      PyErr_Clear();
      return read_copy(out, n);
    }
    Ref view(PyMemoryView_FromMemory(out, static_cast<Py_ssize_t>(n), PyBUF_WRITE));
    if (!view) return failed();
    Ref got(PyObject_CallFunctionObjArgs(readinto.get(), view.get(), nullptr));
    // The view must not outlive this call: the memory is the reader's.
    Ref released(PyObject_CallMethod(view.get(), "release", nullptr));
    if (!released) PyErr_Clear();
    if (!got) return failed();
    if (got.get() == Py_None) return 0;  // a non-blocking stream with nothing now: taken as its end
    const long long k = PyLong_AsLongLong(got.get());
    if (k == -1 && PyErr_Occurred()) return failed();
    if (k < 0 || static_cast<unsigned long long>(k) > n) {
      error_ = "readinto() returned " + std::to_string(k) + " for a buffer of " + std::to_string(n) + " bytes";
      return -1;
    }
    return k;
  }

  int64_t read_copy(char* out, size_t n) {
    Ref got(PyObject_CallMethod(stream_, "read", "n", static_cast<Py_ssize_t>(n)));
    if (!got) return failed();
    if (got.get() == Py_None) return 0;
    Py_buffer view;
    if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) return failed();
    const size_t len = static_cast<size_t>(view.len);
    if (len > n) {
      PyBuffer_Release(&view);
      error_ = "read() returned " + std::to_string(len) + " bytes when asked for " + std::to_string(n);
      return -1;
    }
    if (len) std::memcpy(out, view.buf, len);
    PyBuffer_Release(&view);
    return static_cast<int64_t>(len);
  }

  // The pending exception as a reason (OSError.strerror, else str(e), else
  // the type's name), as the Python reader words a stream's failure.
  int64_t failed() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), trace(tb);
    error_.clear();
    if (v) {
      Ref strerror(PyObject_GetAttrString(v.get(), "strerror"));
      if (!strerror) PyErr_Clear();
      Ref text;
      if (strerror && PyUnicode_Check(strerror.get()) && PyObject_IsTrue(strerror.get()) == 1 &&
          PyErr_GivenExceptionMatches(v.get(), PyExc_OSError))
        text = std::move(strerror);
      else
        text = Ref(PyObject_Str(v.get()));
      if (text) {
        Py_ssize_t size = 0;
        const char* s = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (s) error_.assign(s, static_cast<size_t>(size));
      }
      PyErr_Clear();
    }
    if (error_.empty() && t) {
      Ref name(PyObject_GetAttrString(t.get(), "__name__"));
      const char* s = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
      error_ = s ? s : "read error";
      PyErr_Clear();
    }
    return -1;
  }

  PyObject* stream_;
  std::string error_ = "read error";
};

struct RunObject {
  PyObject_HEAD
  archive::Run* run;  // owned; never null once constructed
  PyObject* plan;     // a reference to the Plan, or null (pages mode)
};

archive::Run& run_of(PyObject* self) { return *reinterpret_cast<RunObject*>(self)->run; }

template <class F>
bool convert_param(const char* name, F&& convert) {
  if (convert()) return true;
  add_param_note(name);
  return false;
}

// A non-negative int no larger than `max`.
bool convert_count(PyObject* obj, uint64_t min, uint64_t max, uint64_t& out) {
  if (!obj) return true;
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    raise_conversion(obj, "int");
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
  } else if (v >= min && v <= max) {
    out = v;
    return true;
  }
  std::string msg = "larkspine: must be an int from " + std::to_string(min) + " to " + std::to_string(max);
  PyErr_SetString(PyExc_ValueError, msg.c_str());
  return false;
}

bool convert_flag(PyObject* obj, bool& out) {
  if (!obj) return true;
  const int t = PyObject_IsTrue(obj);
  if (t < 0) return false;
  out = t;
  return true;
}

// dict[str, str] or None.
bool convert_charsets(PyObject* obj, std::unordered_map<std::string, std::string>& out) {
  if (!obj || obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    raise_conversion(obj, "dict[str, str] | None");
    return false;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    std::string k, v;
    if (!convert_str(key, k) || !convert_str(value, v)) return false;
    out[archive::normalise_charset(k)] = std::move(v);
  }
  return true;
}

// Re-shapes (tuple, dict) into the fast-call form that bind_args reads.
struct FastArgs {
  std::vector<PyObject*> args;
  Ref kwnames;
  Py_ssize_t nargs = 0;
  bool from(PyObject* tuple, PyObject* kwargs) {
    nargs = PyTuple_Size(tuple);
    if (nargs < 0) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) args.push_back(PyTuple_GetItem(tuple, i));
    if (kwargs && PyDict_Size(kwargs) > 0) {
      kwnames = Ref(PyTuple_New(PyDict_Size(kwargs)));
      if (!kwnames) return false;
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SetItem(kwnames.get(), k++, key);
        args.push_back(value);
      }
    }
    return true;
  }
};

PyObject* run_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"plan",     "names",   "threads",     "max_page_size", "only_2xx", "encoding",
                                       "charsets", "batch_pages", "batch_bytes", "part_bytes"};
  static const Signature kSig{"_ArchiveRun", kNames, 10, 1, 0, 1};
  FastArgs fast;
  if (!fast.from(args, kwargs)) return nullptr;
  PyObject* a[10];
  if (!bind_args(kSig, fast.args.data(), fast.nargs, fast.kwnames.get(), a)) return nullptr;
  archive::RunOptions options;
  uint64_t threads = 1, max_page = reader::kDefaultMaxPageSize, pages = options.batch_pages,
           bytes = options.batch_bytes, part = options.part_bytes;
  bool only_2xx = false;
  if (a[0] != Py_None &&
      !convert_param("plan", [&] { return plan_layout(a[0], a[1], options.plan, options.layout); }))
    return nullptr;
  if (!convert_param("threads", [&] { return convert_count(a[2], 0, 4096, threads); }) ||
      !convert_param("max_page_size", [&] { return convert_count(a[3], 1, uint64_t{1} << 62, max_page); }) ||
      !convert_param("only_2xx", [&] { return convert_flag(a[4], only_2xx); }) ||
      !convert_param("encoding", [&] { return !a[5] || convert_optional_str(a[5], options.encoding); }) ||
      !convert_param("charsets", [&] { return convert_charsets(a[6], options.charsets); }) ||
      !convert_param("batch_pages", [&] { return convert_count(a[7], 1, uint64_t{1} << 31, pages); }) ||
      !convert_param("batch_bytes", [&] { return convert_count(a[8], 1, uint64_t{1} << 62, bytes); }) ||
      !convert_param("part_bytes", [&] { return convert_count(a[9], 1, uint64_t{1} << 62, part); }))
    return nullptr;
  // 0: one per CPU, as Plan.extract_arrow reads it.
  options.threads = threads ? static_cast<unsigned>(threads) : std::max(1u, std::thread::hardware_concurrency());
  options.reader.max_page_size = max_page;
  options.reader.only_2xx = only_2xx;
  options.batch_pages = static_cast<size_t>(pages);
  options.batch_bytes = bytes;
  options.part_bytes = part;
  const bool arrow = options.plan != nullptr;
  if (arrow && !arrow_batch_type_object()) {
    PyErr_SetString(PyExc_RuntimeError, "larkspine: the ArrowBatch type is not initialised");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc ? alloc(type, 0) : nullptr;
  if (!self) return PyErr_Occurred() ? nullptr : PyErr_NoMemory();
  auto* obj = reinterpret_cast<RunObject*>(self);
  obj->run = nullptr;
  obj->plan = nullptr;
  archive::Run* run = nullptr;
  Fault f = guarded([&] { run = new archive::Run(std::move(options)); });
  if (f) {
    Py_DECREF(self);
    return raise_fault(f);
  }
  obj->run = run;
  if (arrow) {
    Py_INCREF(a[0]);
    obj->plan = a[0];
  }
  return self;
}

void run_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<RunObject*>(self);
  if (obj->run) {
    archive::Run* run = obj->run;
    // Joined without the interpreter lock (a worker may be waiting for it);
    // the rest is destroyed with it held, no worker left.
    Py_BEGIN_ALLOW_THREADS
    run->cancel();
    Py_END_ALLOW_THREADS
    delete run;
  }
  Py_XDECREF(obj->plan);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A path's bytes: a str as os.fsencode makes them, or bytes.
bool convert_path(PyObject* obj, std::string& out) {
  Ref encoded;
  if (PyUnicode_Check(obj)) {
    encoded = Ref(PyUnicode_EncodeFSDefault(obj));
    if (!encoded) return false;
    obj = encoded.get();
  }
  if (!PyBytes_Check(obj)) {
    raise_conversion(obj, "str | bytes");
    return false;
  }
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
  if (std::memchr(data, 0, static_cast<size_t>(size))) {
    PyErr_SetString(PyExc_ValueError, "larkspine: a path with a NUL byte names no file");
    return false;
  }
  out.assign(data, static_cast<size_t>(size));
  return true;
}

PyObject* run_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"source", "path", "fd", "stream", "found", "failure"};
  static const Signature kSig{"_ArchiveRun.add", kNames, 6, 1, 1, 2};
  PyObject* a[6];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  auto given = [](PyObject* o) { return o && o != Py_None; };
  archive::Input input;
  bool found = false;
  if (!convert_param("source", [&] { return convert_str(a[0], input.source); }) ||
      !convert_param("found", [&] { return convert_flag(a[4], found); }))
    return nullptr;
  const int kinds = given(a[1]) + given(a[2]) + given(a[3]) + given(a[5]);
  if (kinds != 1) {
    PyErr_SetString(PyExc_ValueError, "larkspine: _ArchiveRun.add takes exactly one of path, fd, stream, failure");
    return nullptr;
  }
  if (given(a[1])) {
    if (!convert_param("path", [&] { return convert_path(a[1], input.path); })) return nullptr;
    input.kind = found ? archive::Input::Kind::kFoundPath : archive::Input::Kind::kNamedPath;
  } else if (given(a[2])) {
    uint64_t fd = 0;
    if (!convert_param("fd", [&] { return convert_count(a[2], 0, INT32_MAX, fd); })) return nullptr;
    input.kind = archive::Input::Kind::kFd;
    input.fd = static_cast<int>(fd);
  } else if (given(a[3])) {
    input.kind = archive::Input::Kind::kStream;
    input.stream.reset(new (std::nothrow) PyStreamSource(a[3]));
    if (!input.stream) return PyErr_NoMemory();
  } else {
    if (!convert_param("failure", [&] { return convert_str(a[5], input.reason); })) return nullptr;
    input.kind = archive::Input::Kind::kFailure;
  }
  archive::Run& run = run_of(self);
  Fault f;
  bool taken = false;
  // Without the lock: the core looks at the path (stat). An input not taken
  // is destroyed here too, which a stream input may do without the lock (it
  // takes it).
  Py_BEGIN_ALLOW_THREADS
  f = guarded([&] { taken = run.add(std::move(input)); });
  { archive::Input gone = std::move(input); }
  Py_END_ALLOW_THREADS
  if (f) return raise_fault(f);
  if (!taken) {
    PyErr_SetString(PyExc_ValueError, "larkspine: _ArchiveRun.add after finish() or close()");
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* run_finish(PyObject* self, PyObject*) {
  run_of(self).finish();
  Py_RETURN_NONE;
}

PyObject* run_stop(PyObject* self, PyObject*) {
  Fault f = guarded([&] { run_of(self).stop(); });
  if (f) return raise_fault(f);
  Py_RETURN_NONE;
}

PyObject* run_close(PyObject* self, PyObject*) {
  archive::Run& run = run_of(self);
  Py_BEGIN_ALLOW_THREADS
  run.cancel();
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

// Text the core made (UTF-8 unless it came from an archive's bytes).
PyObject* text_of(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* optional_text(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return text_of(*s);
}

PyObject* optional_offset(const std::optional<uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

PyObject* failures_list(const std::vector<archive::RunFailure>& failures) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(failures.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < failures.size(); ++i) {
    const archive::RunFailure& f = failures[i];
    PyObject* t = Py_BuildValue("(NNN)", text_of(f.source), optional_offset(f.offset), text_of(f.reason));
    if (!t) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

// The pages as tuples, their bodies as bytes. A `bytes` object cannot take
// over a buffer it did not allocate, so each body is copied; it is freed as
// soon as its copy exists, so that the conversion holds one page twice at
// most (not the whole batch).
PyObject* pages_list(std::vector<archive::RunPage>& pages) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(pages.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pages.size(); ++i) {
    reader::Page& p = pages[i].page;
    PyObject* status = p.status ? PyLong_FromLong(p.status) : Py_NewRef(Py_None);
    PyObject* t = Py_BuildValue("(NNNNNNNNy#)", text_of(pages[i].source), optional_offset(p.offset),
                                optional_text(p.url), status, optional_text(p.date), optional_text(p.record_id),
                                optional_text(p.content_type), optional_text(p.charset), p.body.data(),
                                static_cast<Py_ssize_t>(p.body.size()));
    if (!t) return nullptr;
    std::string().swap(p.body);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), t);
  }
  return list.release();
}

// How long one wait of `next` lasts before it looks at the signals: a Ctrl-C
// reaches the interpreter's handler within this, however long the run takes.
constexpr auto kSignalPoll = std::chrono::milliseconds(100);

PyObject* run_next(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"timeout"};
  static const Signature kSig{"_ArchiveRun.next", kNames, 1, 0, 1};
  PyObject* a[1];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::optional<double> timeout;
  if (a[0] && a[0] != Py_None) {
    const double t = PyFloat_AsDouble(a[0]);
    if (t == -1.0 && PyErr_Occurred()) return nullptr;
    if (!(t >= 0) || t > 1e9) {
      PyErr_SetString(PyExc_ValueError, "larkspine: _ArchiveRun.next: timeout must be a number of seconds >= 0");
      return nullptr;
    }
    timeout = t;
  }
  using Clock = std::chrono::steady_clock;
  const std::optional<Clock::time_point> end =
      timeout ? std::optional<Clock::time_point>(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                                    std::chrono::duration<double>(*timeout)))
              : std::nullopt;
  archive::Run& run = run_of(self);
  archive::RunOutput out;
  archive::Run::Next n = archive::Run::Next::kEnd;
  Fault f;
  while (true) {
    Clock::time_point slice = Clock::now() + kSignalPoll;
    if (end && *end < slice) slice = *end;
    Py_BEGIN_ALLOW_THREADS
    f = guarded([&] { n = run.next(out, slice, /*wait_for_inputs=*/timeout.has_value()); });
    Py_END_ALLOW_THREADS
    if (f || n != archive::Run::Next::kTimeout) break;
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (end && Clock::now() >= *end) break;
  }
  if (f) return raise_fault(f);
  if (out.fault) return raise_fault(out.fault);
  if (n == archive::Run::Next::kEnd) Py_RETURN_NONE;
  if (n != archive::Run::Next::kOutput) return Py_BuildValue("(O[]KK)", Py_None, 0ULL, 0ULL);
  Ref failures(failures_list(out.failures));
  if (!failures) return nullptr;
  Ref result;
  if (out.page_count == 0) {
    result = Ref(Py_NewRef(Py_None));
  } else if (out.batch) {
    result = Ref(new_arrow_batch(arrow_batch_type_object(), std::move(out.batch)));
  } else {
    result = Ref(pages_list(out.pages));
  }
  if (!result) return nullptr;
  return Py_BuildValue("(OOKK)", result.get(), failures.get(), static_cast<unsigned long long>(out.page_count),
                       static_cast<unsigned long long>(out.html_bytes));
}

PyObject* run_counts(PyObject* self, PyObject*) {
  archive::RunCounts c;
  Fault f = guarded([&] { c = run_of(self).counts(); });
  if (f) return raise_fault(f);
  Ref kinds(PyList_New(static_cast<Py_ssize_t>(c.read.kinds.size())));
  if (!kinds) return nullptr;
  for (size_t i = 0; i < c.read.kinds.size(); ++i) {
    PyObject* t = Py_BuildValue("(NK)", text_of(c.read.kinds[i].first),
                                static_cast<unsigned long long>(c.read.kinds[i].second));
    if (!t) return nullptr;
    PyList_SetItem(kinds.get(), static_cast<Py_ssize_t>(i), t);
  }
  return Py_BuildValue("{sKsKsKsKsKsKsO}", "skipped", static_cast<unsigned long long>(c.read.skipped), "requests",
                       static_cast<unsigned long long>(c.read.requests), "other_records",
                       static_cast<unsigned long long>(c.read.other_records), "non_html",
                       static_cast<unsigned long long>(c.read.non_html), "not_2xx",
                       static_cast<unsigned long long>(c.read.not_2xx), "files",
                       static_cast<unsigned long long>(c.files), "kinds", kinds.get());
}

PyObject* run_get_pending(PyObject* self, void*) { return PyLong_FromSize_t(run_of(self).pending()); }

using FastCallKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyCFunction as_method(FastCallKw fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

PyMethodDef kMethods[] = {
    {"add", as_method(run_add), METH_FASTCALL | METH_KEYWORDS,
     "add($self, source, path=None, *, fd=None, stream=None, found=False, failure=None)\n--\n\n"
     "The next input, named `source` in what it gives: exactly one of a path (opened as named,\n"
     "or, with found=True, only if a regular file), a file descriptor (read, never closed), a\n"
     "binary stream, or a failure given out in its place."},
    {"finish", run_finish, METH_NOARGS, "finish($self)\n--\n\nNo more inputs."},
    {"next", as_method(run_next), METH_FASTCALL | METH_KEYWORDS,
     "next($self, timeout=None)\n--\n\n"
     "(result, failures, pages, html_bytes) of the next output in input order, or None once\n"
     "finished and all given out. result: an ArrowBatch (with a plan), a list of page tuples,\n"
     "or None. Without a timeout, (None, [], 0, 0) at once when nothing is pending and\n"
     "finish() was not called; with one (seconds), waits for inputs too, and gives\n"
     "(None, [], 0, 0) when the time passes with nothing to give. Signals are handled while\n"
     "it waits (a Ctrl-C raises KeyboardInterrupt here)."},
    {"stop", run_stop, METH_NOARGS,
     "stop($self)\n--\n\n"
     "Ends the run softly: no more inputs are read, each batch being read ends at the page in\n"
     "hand and is given out, then next() gives None."},
    {"counts", run_counts, METH_NOARGS, "counts($self)\n--\n\nThe read counts of what was given out."},
    {"close", run_close, METH_NOARGS,
     "close($self)\n--\n\nStops the workers and joins them; inputs not read are dropped."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"pending", run_get_pending, nullptr, "Inputs added and not yet fully given out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kDoc[] =
    "Private: archives in, Arrow batches (or pages) out, read, inflated and extracted on\n"
    "native threads without the interpreter lock, in input order.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(run_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "_larkspine._ArchiveRun",
    static_cast<int>(sizeof(RunObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* archive_run_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &kSpec, nullptr); }

}  // namespace ls::py
