// _larkspine_testing's view of the archive reader: bytes in, the items and
// counts the reader gives out, so that tests can compare it with the Python
// reader, warcio and FastWARC. Nothing here is part of the product.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/run.h"
#include "archive/split.h"
#include "lib.h"
#include "python/errors.h"
#include "python/testing_reader.h"
#include "reader/reader.h"

namespace ls::py {

namespace {

// Hands out reads of at most `step` bytes (0: as asked), as a pipe would.
class SteppedSource final : public reader::ByteSource {
 public:
  SteppedSource(Bytes data, size_t step) : inner_(data), step_(step) {}
  int64_t read(char* out, size_t n) override { return inner_.read(out, step_ ? std::min(n, step_) : n); }

 private:
  reader::MemorySource inner_;
  size_t step_;
};

// A source whose size hints are set by the test: the data's own (truthful),
// or given values (a lying source: a file that changed, a hostile trailer).
class HintedSource final : public reader::ByteSource {
 public:
  HintedSource(reader::ByteSource& inner, std::optional<uint64_t> remaining, std::optional<uint32_t> last_word)
      : inner_(inner), remaining_(remaining), last_word_(last_word) {}
  int64_t read(char* out, size_t n) override {
    const int64_t got = inner_.read(out, n);
    if (got > 0 && remaining_) *remaining_ -= std::min<uint64_t>(*remaining_, static_cast<uint64_t>(got));
    return got;
  }
  std::optional<uint64_t> remaining_hint() const override { return remaining_; }
  std::optional<uint32_t> last_word_hint() const override { return last_word_; }

 private:
  reader::ByteSource& inner_;
  std::optional<uint64_t> remaining_;
  std::optional<uint32_t> last_word_;
};

// `hints`: None (the source tells nothing), True (the data's own), or
// (remaining, last_word), each an int or None.
bool convert_hints(PyObject* obj, Bytes data, bool& hinted, std::optional<uint64_t>& remaining,
                   std::optional<uint32_t>& last_word) {
  hinted = obj && obj != Py_None;
  if (!hinted) return true;
  if (obj == Py_True) {
    const reader::MemorySource whole(data);
    remaining = whole.remaining_hint();
    last_word = whole.last_word_hint();
    return true;
  }
  PyObject *r, *w;
  if (!PyArg_ParseTuple(obj, "OO", &r, &w)) return false;
  if (r != Py_None) {
    remaining = PyLong_AsUnsignedLongLong(r);
    if (PyErr_Occurred()) return false;
  }
  if (w != Py_None) {
    const unsigned long v = PyLong_AsUnsignedLong(w);
    if (PyErr_Occurred()) return false;
    last_word = static_cast<uint32_t>(v);
  }
  return true;
}

PyObject* optional_str(const std::optional<std::string>& s) {
  if (!s) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(s->data(), static_cast<Py_ssize_t>(s->size()), "replace");
}

PyObject* optional_int(const std::optional<uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

PyObject* item_tuple(const reader::ReadItem& item) {
  if (!item.is_page) {
    return Py_BuildValue("(sNN)", "failure", optional_int(item.failure.offset),
                         PyUnicode_DecodeUTF8(item.failure.reason.data(),
                                              static_cast<Py_ssize_t>(item.failure.reason.size()), "replace"));
  }
  const reader::Page& p = item.page;
  PyObject* status = p.status ? PyLong_FromLong(p.status) : (Py_INCREF(Py_None), Py_None);
  return Py_BuildValue("(sNNNNNNNy#)", "page", optional_int(p.offset), optional_str(p.url), status,
                       optional_str(p.date), optional_str(p.record_id), optional_str(p.content_type),
                       optional_str(p.charset), p.body.data(), static_cast<Py_ssize_t>(p.body.size()));
}

}  // namespace

PyObject* t_read_archive(PyObject*, PyObject* args) {
  PyObject* data_obj;
  unsigned long long max_page_size = reader::kDefaultMaxPageSize;
  int only_2xx = 0;
  Py_ssize_t step = 0;
  int bodies = 1;
  PyObject* hints_obj = nullptr;
  if (!PyArg_ParseTuple(args, "O|KpniO", &data_obj, &max_page_size, &only_2xx, &step, &bodies, &hints_obj))
    return nullptr;
  if (!PyBytes_Check(data_obj)) {
    raise_conversion(data_obj, "bytes");
    return nullptr;
  }
  const Bytes data(PyBytes_AsString(data_obj), static_cast<size_t>(PyBytes_Size(data_obj)));
  bool hinted = false;
  std::optional<uint64_t> remaining;
  std::optional<uint32_t> last_word;
  if (!convert_hints(hints_obj, data, hinted, remaining, last_word)) return nullptr;
  // bodies == 2: each page's body replaced by its buffer's capacity, as text.
  reader::ReaderOptions options;
  options.max_page_size = max_page_size;
  options.only_2xx = only_2xx;
  std::vector<reader::ReadItem> items;
  reader::ReadCounts counts;
  reader::InputKind kind = reader::InputKind::kUnknown;
  uint64_t consumed = 0;
  Fault f;
  Py_BEGIN_ALLOW_THREADS
  f = guarded([&] {
    SteppedSource stepped(data, step > 0 ? static_cast<size_t>(step) : 0);
    HintedSource with_hints(stepped, remaining, last_word);
    reader::ArchiveReader r(hinted ? static_cast<reader::ByteSource&>(with_hints) : stepped, options);
    reader::ReadItem item;
    while (r.next(item)) {
      // Without bodies (for timing the reader alone) a page is dropped as it comes, as a
      // consumer that scans each page and lets it go would drop it.
      if (bodies == 0) std::string().swap(item.page.body);
      if (bodies == 2 && item.is_page) item.page.body = std::to_string(item.page.body.capacity());
      items.push_back(std::move(item));
    }
    counts = r.counts();
    kind = r.kind();
    consumed = r.bytes_read();
  });
  Py_END_ALLOW_THREADS
  if (f) return raise_fault(f);
  static constexpr const char* kKinds[] = {"unknown", "page", "warc", "arc"};
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  for (const reader::ReadItem& item : items) {
    PyObject* t = item_tuple(item);
    if (!t || PyList_Append(list, t) < 0) {
      Py_XDECREF(t);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(t);
  }
  PyObject* kinds = PyDict_New();
  if (!kinds) {
    Py_DECREF(list);
    return nullptr;
  }
  for (const auto& [name, n] : counts.kinds) {
    PyObject* v = PyLong_FromUnsignedLongLong(n);
    if (!v || PyDict_SetItemString(kinds, name.c_str(), v) < 0) {
      Py_XDECREF(v);
      Py_DECREF(kinds);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(v);
  }
  return Py_BuildValue("(sN{sKsKsKsKsKsN}K)", kKinds[static_cast<int>(kind)], list, "skipped", counts.skipped,
                       "requests", counts.requests, "other_records", counts.other_records, "non_html",
                       counts.non_html, "not_2xx", counts.not_2xx, "kinds", kinds,
                       static_cast<unsigned long long>(consumed));
}

PyObject* t_archive_part_starts(PyObject*, PyObject* args) {
  const char* path;
  Py_ssize_t parts;
  if (!PyArg_ParseTuple(args, "sn", &path, &parts)) return nullptr;
  if (parts < 1) {
    PyErr_SetString(PyExc_ValueError, "parts must be at least 1");
    return nullptr;
  }
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  std::vector<std::optional<uint64_t>> starts;
  Fault f;
  Py_BEGIN_ALLOW_THREADS
  f = guarded([&] {
    archive::SplitFile split(fd, static_cast<uint64_t>(st.st_size), static_cast<size_t>(parts));
    for (size_t k = 0; k < split.parts(); ++k) starts.push_back(split.start(k));
  });
  Py_END_ALLOW_THREADS
  if (f) return raise_fault(f);
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(starts.size()));
  if (!list) return nullptr;
  for (size_t k = 0; k < starts.size(); ++k) PyList_SetItem(list, static_cast<Py_ssize_t>(k), optional_int(starts[k]));
  return list;
}

PyObject* t_archive_run_simulated(PyObject*, PyObject* args) {
  const char* path;
  const char* query;
  const char* marker;
  Py_ssize_t batch_pages;
  if (!PyArg_ParseTuple(args, "sssn", &path, &query, &marker, &batch_pages) || batch_pages < 1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "batch_pages must be at least 1");
    return nullptr;
  }
  ls::Plan plan;
  if (Fault f = compile_first_only({query}, {}, {true}, plan)) return raise_fault(f);
  const std::string mark = marker;
  std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> outputs;  // (values, failures)
  Fault f;
  Py_BEGIN_ALLOW_THREADS
  f = guarded([&] {
    archive::RunOptions options;
    options.plan = &plan;
    options.layout.names = {"v"};
    options.layout.first_only = {true};
    options.batch_pages = static_cast<size_t>(batch_pages);
    options.simulate_out_of_memory = [&mark](Bytes body) { return body.find(mark) != Bytes::npos; };
    archive::Run run(std::move(options));
    archive::Input in;
    in.kind = archive::Input::Kind::kNamedPath;
    in.source = in.path = path;
    run.add(std::move(in));
    run.finish();
    archive::RunOutput out;
    while (run.next(out) == archive::Run::Next::kOutput) {
      if (out.fault) throw std::bad_alloc();
      std::vector<std::string> values, failures;
      if (out.batch) {
        const ArrowNode& v = out.batch->columns.back();
        for (int64_t r = 0; r < v.length; ++r) {
          const int32_t a = v.offsets.i32(static_cast<size_t>(r)), b = v.offsets.i32(static_cast<size_t>(r) + 1);
          values.emplace_back(reinterpret_cast<const char*>(v.data.data()) + a, static_cast<size_t>(b - a));
        }
      }
      for (const archive::RunFailure& fl : out.failures)
        failures.push_back((fl.offset ? std::to_string(*fl.offset) : "-") + ": " + fl.reason);
      outputs.emplace_back(std::move(values), std::move(failures));
      out = archive::RunOutput();
    }
  });
  Py_END_ALLOW_THREADS
  if (f) return raise_fault(f);
  PyObject* list = PyList_New(0);
  if (!list) return nullptr;
  for (const auto& [values, failures] : outputs) {
    PyObject* vs = PyList_New(0);
    PyObject* fs = PyList_New(0);
    PyObject* t = nullptr;
    bool ok = vs && fs;
    for (const std::string& v : values) {
      PyObject* s = ok ? PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())) : nullptr;
      ok = s && PyList_Append(vs, s) == 0;
      Py_XDECREF(s);
    }
    for (const std::string& v : failures) {
      PyObject* s = ok ? PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())) : nullptr;
      ok = s && PyList_Append(fs, s) == 0;
      Py_XDECREF(s);
    }
    if (ok) t = PyTuple_Pack(2, vs, fs);
    Py_XDECREF(vs);
    Py_XDECREF(fs);
    if (!t || PyList_Append(list, t) < 0) {
      Py_XDECREF(t);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(t);
  }
  return list;
}

}  // namespace ls::py
