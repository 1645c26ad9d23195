// Opening a reader on what a Python caller hands over: a path, or a binary file object (an open
// file, a pipe, a socket's file, an in-memory buffer). A file object is read through its
// readinto() (or read()) method into a buffer of its own, with the interpreter lock taken for
// each block only.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <string>

#include "vexo/reader.h"

namespace vexo::python {

// The Python side of a file object source: the object, and the exception it raised, if any.
// Shared by the source inside the reader and by whoever owns the reader, which may drop the
// object (to break a reference cycle); reading then fails.
struct FileObject {
  nanobind::object file;
  nanobind::object raised;  // set when the file object raised: the reader stopped at it
};

struct OpenedSource {
  Reader reader;
  nanobind::object name;  // the path as str, or the file object's name, for messages
  std::shared_ptr<FileObject> file_object;  // null for a path
};

// A byte source over a file object (read through readinto() or read(), with the interpreter
// lock taken for each block); `object` is set to its Python side.
std::unique_ptr<ByteSource> file_object_source(nanobind::handle source,
                                               std::shared_ptr<FileObject>& object);

// A path (str, bytes or os.PathLike) or a file object. A path that cannot be opened raises
// OSError with the file name; anything else raises TypeError.
OpenedSource open_source(nanobind::handle source);

// Raises OSError(error, its text, name).
[[noreturn]] void raise_os_error(int error, const nanobind::object& name);

// Raises the file object's exception, if it raised one.
void raise_pending(const OpenedSource& source);

}  // namespace vexo::python
