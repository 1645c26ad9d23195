// Opening a reader on what a Python caller hands over: a path, or a binary file object (an open
// file, a pipe, a socket's file, an in-memory buffer). A file object is read through its
// readinto() (or read()) method, with the interpreter lock taken for each block only.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>

#include "vexo/reader.h"

namespace vexo::python {

// What the reader reads from, and the Python exception a file object raised, if any.
struct OpenedSource {
  Reader reader;
  std::string name;  // the path, or the file object's name, for messages
  // Set when the file object raised: the reader then stopped with a read error, and the caller
  // raises this exception in its place.
  std::shared_ptr<nanobind::object> raised;
  bool is_path = false;
};

// A path (str, bytes or os.PathLike) or a file object. A path that cannot be opened raises
// OSError with the file name.
OpenedSource open_source(nanobind::handle source);

// Raises the file object's exception, if it raised one.
void raise_pending(const OpenedSource& source);

}  // namespace vexo::python
