// Python arguments to plain core values, with the module's exact messages.
// Everything here runs with the interpreter lock held.
#pragma once

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
};

// Fills out[0..count) with borrowed references (nullptr when omitted).
// Returns false with TypeError set.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);

// The `html` argument: a view of a bytes buffer, or of a str's UTF-8 form.
struct Html {
  Bytes bytes;
  bool is_str = false;
};
bool convert_html(PyObject* obj, Html& out);

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
