// Python arguments to plain core values, with the module's exact messages.
// Everything here runs with the interpreter lock held.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib.h"
#include "python/errors.h"

namespace ls::py {

// A signature for fast-call binding: every parameter may be passed by
// position or keyword; the first `required` are required. Messages follow
// the interpreter's own for a function of the same signature.
struct Signature {
  const char* display;      // "extract", "Plan.extract", ...
  const char* const* names;  // parameter names, without self
  int count;
  int required;
  int self_count;  // 1 for methods: the interpreter counts self in "takes N"
  int positional = -1;  // how many may be passed by position (-1: all); the rest are keyword-only
};

// Fills out[0..count) with borrowed references (nullptr when omitted).
// Keyword-only parameters come after the positional ones and are optional.
// Returns false with TypeError set.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// The `html` argument: a view of a bytes buffer, or of a str's UTF-8 form.
struct Html {
  Bytes bytes;
  bool is_str = false;
};
bool convert_html(PyObject* obj, Html& out);

// The documents of a batch: views that stay valid and unchanged while the
// interpreter lock is released. bytes (and subclasses) and str are viewed in
// place; another object with the buffer protocol is viewed in place when its
// buffer is read-only, and copied when it is writable (another thread could
// change it during the scan). Holds a reference to every object and releases
// the buffer views when destroyed (with the lock held).
class HeldDocuments {
 public:
  HeldDocuments() = default;
  HeldDocuments(const HeldDocuments&) = delete;
  HeldDocuments& operator=(const HeldDocuments&) = delete;
  ~HeldDocuments();

  std::vector<Html> docs;

 private:
  friend bool convert_documents(PyObject* obj, HeldDocuments& out);
  std::vector<Ref> objects_;
  std::vector<std::unique_ptr<Py_buffer>> views_;
  std::vector<std::unique_ptr<std::string>> copies_;
};
// An iterable of documents (a single str or bytes-like is refused).
bool convert_documents(PyObject* obj, HeldDocuments& out);

// A sequence of str (a str itself is refused).
bool convert_str_list(PyObject* obj, std::vector<std::string>& out);
// A sequence of (container, sequence of (name, query)) pairs.
bool convert_groups(PyObject* obj, std::vector<GroupQuery>& out);
// None (absent) or str.
bool convert_optional_str(PyObject* obj, std::optional<std::string>& out);
// A str.
bool convert_str(PyObject* obj, std::string& out);
// None, or a sequence of bool (NumPy booleans accepted).
bool convert_first_only(PyObject* obj, std::vector<bool>& out);

// The label handed to the core for this html: as given for bytes; "utf-8" for
// str, after refusing a label that names another encoding (ValueError).
bool html_label(const Html& html, const std::optional<std::string>& label,
                std::optional<std::string>& out);

// Raises the budget ValueError when the schema is over budget.
bool check_budget(BudgetUsage usage);

// Result building. New references, or nullptr with the exception set.
PyObject* build_column(const Column& column);
PyObject* build_flat(const FlatResult& flat);
PyObject* build_grouped(const GroupedResult& grouped);
// (flat result, grouped result)
PyObject* build_result_tuple(const ExtractResult& result);

}  // namespace ls::py
