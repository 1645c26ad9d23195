#include "python/src/python_source.h"

#include <Python.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nb = nanobind;

namespace vexo::python {
namespace {

[[noreturn]] void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw nb::python_error();
}

class FileObjectSource : public ByteSource {
 public:
  FileObjectSource(std::shared_ptr<FileObject> object, bool has_readinto)
      : object_(std::move(object)), use_readinto_(has_readinto) {}
  ~FileObjectSource() override {
    nb::gil_scoped_acquire gil;
    buffer_.reset();
    object_.reset();
  }

  std::size_t read(unsigned char* data, std::size_t size, int& error) override {
    nb::gil_scoped_acquire gil;
    try {
      if (!object_->file.is_valid()) raise(PyExc_ValueError, "the file object was released");
      const std::size_t got = use_readinto_ ? read_into(data, size) : read_bytes(data, size);
      return got;
    } catch (nb::python_error& e) {
      object_->raised = nb::borrow(e.value());
    } catch (...) {
      object_->raised =
          nb::module_::import_("builtins").attr("RuntimeError")("reading the file object failed");
    }
    error = EIO;
    return 0;
  }

 private:
  // The file object reads into a buffer of its own (never into the reader's memory, which a
  // view kept by the file object would outlive), copied out after.
  std::size_t read_into(unsigned char* data, std::size_t size) {
    if (!buffer_.is_valid() || buffer_size_ != size) {
      buffer_ = nb::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
      if (!buffer_.is_valid()) throw nb::python_error();
      buffer_size_ = size;
    }
    nb::object result;
    try {
      result = object_->file.attr("readinto")(buffer_);
    } catch (nb::python_error& e) {
      if (!first_ || !e.matches(PyExc_NotImplementedError)) throw;
      use_readinto_ = false;  // readinto() not made: read() then
      return read_bytes(data, size);
    }
    first_ = false;
    const std::size_t got = count_of(result, size);
    std::memcpy(data, PyByteArray_AsString(buffer_.ptr()), got);
    return got;
  }

  std::size_t read_bytes(unsigned char* data, std::size_t size) {
    first_ = false;
    nb::object result = object_->file.attr("read")(size);
    if (result.is_none()) no_data_now();
    Py_buffer view;
    if (PyObject_GetBuffer(result.ptr(), &view, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      raise(PyExc_TypeError, "the file object's read() returned no bytes");
    }
    const std::size_t got = static_cast<std::size_t>(view.len);
    if (got <= size) std::memcpy(data, view.buf, got);
    PyBuffer_Release(&view);
    if (got > size) raise(PyExc_ValueError, "the file object's read() returned more than asked");
    return got;
  }

  static std::size_t count_of(const nb::object& result, std::size_t size) {
    if (result.is_none()) no_data_now();
    if (!PyLong_Check(result.ptr()) || PyBool_Check(result.ptr())) {
      raise(PyExc_TypeError, "the file object's readinto() returned no count of bytes");
    }
    const long long n = PyLong_AsLongLong(result.ptr());
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    if (n < 0 || static_cast<unsigned long long>(n) > size) {
      raise(PyExc_ValueError, "the file object's readinto() returned a count outside the buffer");
    }
    return static_cast<std::size_t>(n);
  }

  [[noreturn]] static void no_data_now() {
    // A non-blocking stream with nothing to give now: not the end of the file.
    PyErr_SetObject(PyExc_BlockingIOError,
                    nb::make_tuple(EAGAIN,
                                   "the file object is non-blocking and has no data now; "
                                   "hand over a blocking one")
                        .ptr());
    throw nb::python_error();
  }

  std::shared_ptr<FileObject> object_;
  bool use_readinto_;
  nb::object buffer_;
  std::size_t buffer_size_ = 0;
  bool first_ = true;
};

}  // namespace

OpenedSource open_source(nb::handle source) {
  nb::module_ os = nb::module_::import_("os");
  const bool is_path = nb::isinstance<nb::str>(source) || nb::isinstance<nb::bytes>(source) ||
                       nb::hasattr(source, "__fspath__");
  if (is_path) {
    nb::object fspath = os.attr("fspath")(source);
    nb::object name = os.attr("fsdecode")(fspath);
    nb::bytes encoded = nb::cast<nb::bytes>(os.attr("fsencode")(fspath));
    const std::string path(encoded.c_str(), encoded.size());
    if (path.find('\0') != std::string::npos) {
      raise(PyExc_ValueError, "a file name may not hold a NUL character");
    }
    if (nb::cast<bool>(os.attr("path").attr("isdir")(fspath))) raise_os_error(EISDIR, name);
    Reader reader = Reader::open(path);
    if (reader.stop().reason == StopReason::read_error) {
      raise_os_error(reader.stop().error_number != 0 ? reader.stop().error_number : EIO, name);
    }
    return OpenedSource{std::move(reader), std::move(name), nullptr};
  }
  if (source.is_none() || (!nb::hasattr(source, "readinto") && !nb::hasattr(source, "read"))) {
    throw nb::type_error("expected a path or a binary file object");
  }
  nb::object name = nb::str("<file object>");
  if (nb::hasattr(source, "name")) name = nb::str(source.attr("name"));
  std::shared_ptr<FileObject> object;
  Reader reader(file_object_source(source, object));
  return OpenedSource{std::move(reader), std::move(name), std::move(object)};
}

std::unique_ptr<ByteSource> file_object_source(nb::handle source,
                                               std::shared_ptr<FileObject>& object) {
  if (source.is_none() || (!nb::hasattr(source, "readinto") && !nb::hasattr(source, "read"))) {
    throw nb::type_error("expected a path or a binary file object");
  }
  object = std::make_shared<FileObject>();
  object->file = nb::borrow(source);
  return std::make_unique<FileObjectSource>(object, nb::hasattr(source, "readinto"));
}

void raise_os_error(int error, const nb::object& name) {
  // OSError picks the subclass by the number (IsADirectoryError, FileNotFoundError, ...).
  PyErr_SetObject(PyExc_OSError, nb::make_tuple(error, std::strerror(error), name).ptr());
  throw nb::python_error();
}

void raise_pending(const OpenedSource& source) {
  if (source.file_object && source.file_object->raised.is_valid()) {
    nb::object exception = source.file_object->raised;
    source.file_object->raised.reset();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
  }
}

}  // namespace vexo::python
