// The archive reader's entry in the private test module (testing_reader.cc).
#pragma once

#include "python/errors.h"

namespace ls::py {

// read_archive(data, max_page_size=64 MiB, only_2xx=False, read_size=0, bodies=True)
//   -> (kind, items, counts, compressed bytes consumed)
PyObject* t_read_archive(PyObject*, PyObject* args);
// archive_part_starts(path, parts): each part's start in a file read in `parts` parts
// (archive/split.h), None where its stretch holds no candidate.
PyObject* t_archive_part_starts(PyObject*, PyObject* args);
// archive_run_simulated(path, query, marker, batch_pages): an Arrow run over one file with one
// first-only query, where a batch holding a page containing `marker` fails as if out of
// memory: [(values of the output's rows, ["offset: reason" of its failures])].
PyObject* t_archive_run_simulated(PyObject*, PyObject* args);

}  // namespace ls::py
