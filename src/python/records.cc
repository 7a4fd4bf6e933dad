// _records_text(batch, format, *, escape_formulas=True, row_ends=False): the rows of any
// object with `__arrow_c_array__` (a pyarrow RecordBatch, an ArrowBatch) as JSON
// Lines or CSV bytes. A private entry (see private.cc): the writers of the
// Python layer are its callers.
//
// The batch is exported once, with the lock held; the two capsules it gives
// own the exported structs and are held until the text is written, so the
// buffers stay alive (and unchanged: exported arrays are immutable) while the
// core reads them with the lock released.
#include "python/records.h"

#include <cstring>
#include <string>
#include <vector>

#include "lib.h"
#include "python/convert.h"
#include "records_text.h"

namespace ls::py {

const char kRecordsTextDoc[] =
    "_records_text(batch, format, *, escape_formulas=True, row_ends=False)\n--\n\n"
    "Private: the rows of a record batch as text: format \"jsonl\" gives one JSON object per line, as\n"
    "json.dumps(record, ensure_ascii=False) writes it; \"csv\" one CSV row per record (no\n"
    "header), as csv.writer with \"\\r\\n\" line ends writes it, a list or struct being its\n"
    "JSON text and, with escape_formulas, a string cell starting with = + - @ TAB or CR\n"
    "getting a leading '. The same bytes as those writers give for the same values, made\n"
    "with the interpreter lock released and no Python object per value.\n\n"
    "batch: any object with __arrow_c_array__ holding a struct array of columns of string,\n"
    "large_string, integer, null, list, large_list or struct type.\n"
    "row_ends: also return where each row's text ends, as bytes of native-order int64\n"
    "(memoryview(ends).cast('q')): (text, ends). A CSV cell may hold a line break, so a\n"
    "caller that hands rows on in pieces needs them.\n"
    "Raises ValueError for another type or an inconsistent array.";

// An Arrow schema carries its column names as C strings: a name holding a NUL
// would reach the text cut short, naming another column. Where the batch tells
// its names (`schema.names`, as pyarrow's do), such a name is refused.
static bool names_whole(PyObject* batch) {
  Ref schema(PyObject_GetAttrString(batch, "schema"));
  Ref names(schema ? PyObject_GetAttrString(schema.get(), "names") : nullptr);
  if (!names) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();  // not told: the capsule's names are all there is
    return true;
  }
  Ref iter(PyObject_GetIter(names.get()));
  if (!iter) return false;
  while (Ref name{PyIter_Next(iter.get())}) {
    if (!PyUnicode_Check(name.get())) continue;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!text) return false;
    if (std::memchr(text, 0, static_cast<size_t>(size))) {
      PyErr_Format(PyExc_ValueError, "larkspine: column name %R holds a NUL character", name.get());
      return false;
    }
  }
  return !PyErr_Occurred();
}

PyObject* py_records_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const kNames[] = {"batch", "format", "escape_formulas", "row_ends"};
  static const Signature kSig{"_records_text", kNames, 4, 2, 0, 2};
  PyObject* a[4];
  if (!bind_args(kSig, args, nargs, kwnames, a)) return nullptr;
  std::string format;
  if (!convert_str(a[1], format)) {
    add_param_note("format");
    return nullptr;
  }
  TextOptions options;
  if (format == "jsonl") {
    options.format = TextFormat::kJsonLines;
  } else if (format == "csv") {
    options.format = TextFormat::kCsv;
  } else {
    PyErr_Format(PyExc_ValueError, "larkspine: format must be 'jsonl' or 'csv', got %R", a[1]);
    return nullptr;
  }
  if (a[2]) {
    const int truth = PyObject_IsTrue(a[2]);
    if (truth < 0) return nullptr;
    options.escape_formulas = truth != 0;
  }
  bool with_ends = false;
  if (a[3]) {
    const int truth = PyObject_IsTrue(a[3]);
    if (truth < 0) return nullptr;
    with_ends = truth != 0;
  }
  if (!names_whole(a[0])) return nullptr;
  Ref exported(PyObject_CallMethod(a[0], "__arrow_c_array__", nullptr));
  if (!exported) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      const std::string message =
          "larkspine: batch must have __arrow_c_array__ (a record batch), got " + type_name(a[0]);
      PyErr_SetString(PyExc_TypeError, message.c_str());
    }
    return nullptr;
  }
  if (!PyTuple_Check(exported.get()) || PyTuple_Size(exported.get()) != 2) {
    PyErr_SetString(PyExc_TypeError, "larkspine: __arrow_c_array__ must return (schema capsule, array capsule)");
    return nullptr;
  }
  PyObject* schema_capsule = PyTuple_GetItem(exported.get(), 0);
  PyObject* array_capsule = PyTuple_GetItem(exported.get(), 1);
  auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
  if (!schema) return nullptr;
  auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
  if (!array) return nullptr;
  TextBuffer out;
  std::vector<int64_t> ends;
  std::string why;
  Fault fault;
  Py_BEGIN_ALLOW_THREADS
  fault = guarded([&] { why = write_records_text(*schema, *array, options, out, with_ends ? &ends : nullptr); });
  Py_END_ALLOW_THREADS
  if (fault) return raise_fault(fault);
  if (!why.empty()) {
    PyErr_Format(PyExc_ValueError, "larkspine: cannot write this batch as %s: %s", format.c_str(), why.c_str());
    return nullptr;
  }
  Ref text(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  if (!text || !with_ends) return text.release();
  Ref row_ends(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ends.data()),
                                         static_cast<Py_ssize_t>(ends.size() * sizeof(int64_t))));
  if (!row_ends) return nullptr;
  return PyTuple_Pack(2, text.get(), row_ends.get());
}

}  // namespace ls::py
