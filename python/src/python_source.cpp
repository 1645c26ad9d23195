#include "python/src/python_source.h"

#include <Python.h>
#include <nanobind/stl/string.h>

#include <cerrno>
#include <cstring>

namespace nb = nanobind;

namespace vexo::python {
namespace {

class FileObjectSource : public ByteSource {
 public:
  FileObjectSource(nb::object file, std::shared_ptr<nb::object> raised)
      : file_(std::move(file)), raised_(std::move(raised)) {
    nb::gil_scoped_acquire gil;
    has_readinto_ = nb::hasattr(file_, "readinto");
  }
  ~FileObjectSource() override {
    nb::gil_scoped_acquire gil;
    file_.reset();
  }

  std::size_t read(unsigned char* data, std::size_t size, int& error) override {
    nb::gil_scoped_acquire gil;
    try {
      std::size_t got = 0;
      if (has_readinto_) {
        nb::object view = nb::steal(PyMemoryView_FromMemory(
            reinterpret_cast<char*>(data), static_cast<Py_ssize_t>(size), PyBUF_WRITE));
        if (!view.is_valid()) throw nb::python_error();
        nb::object result = file_.attr("readinto")(view);
        view.attr("release")();
        // None: a non-blocking stream has nothing now; read as the end.
        if (!result.is_none()) {
          const long long n = nb::cast<long long>(result);
          if (n < 0 || static_cast<unsigned long long>(n) > size) {
            throw nb::value_error("readinto() returned a count outside the buffer");
          }
          got = static_cast<std::size_t>(n);
        }
      } else {
        nb::object result = file_.attr("read")(size);
        if (!result.is_none()) {
          nb::bytes bytes = nb::cast<nb::bytes>(result);
          if (bytes.size() > size) throw nb::value_error("read() returned more than was asked");
          std::memcpy(data, bytes.c_str(), bytes.size());
          got = bytes.size();
        }
      }
      return got;
    } catch (nb::python_error& e) {
      *raised_ = nb::borrow(e.value());
    } catch (nb::builtin_exception& e) {
      *raised_ = nb::module_::import_("builtins").attr("ValueError")(e.what());
    } catch (nb::cast_error&) {
      *raised_ =
          nb::module_::import_("builtins")
              .attr("TypeError")("the file object's read returned neither bytes nor a count");
    }
    error = EIO;
    return 0;
  }

 private:
  nb::object file_;
  std::shared_ptr<nb::object> raised_;
  bool has_readinto_ = false;
};

}  // namespace

OpenedSource open_source(nb::handle source) {
  nb::module_ os = nb::module_::import_("os");
  const bool is_path = nb::isinstance<nb::str>(source) || nb::isinstance<nb::bytes>(source) ||
                       nb::hasattr(source, "__fspath__");
  if (is_path) {
    nb::object path = os.attr("fsdecode")(os.attr("fspath")(source));
    std::string name = nb::cast<std::string>(path);
    if (name.find('\0') != std::string::npos) {
      throw nb::value_error("a file name may not hold a NUL character");
    }
    nb::object builtins = nb::module_::import_("builtins");
    if (nb::cast<bool>(os.attr("path").attr("isdir")(path))) {
      PyErr_SetObject(PyExc_IsADirectoryError,
                      nb::make_tuple(EISDIR, "Is a directory", path).ptr());
      throw nb::python_error();
    }
    Reader reader = Reader::open(name);
    if (reader.stop().reason == StopReason::read_error) {
      const int error = reader.stop().error_number != 0 ? reader.stop().error_number : EIO;
      PyErr_SetObject(PyExc_OSError, nb::make_tuple(error, std::strerror(error), path).ptr());
      throw nb::python_error();
    }
    return OpenedSource{std::move(reader), std::move(name), nullptr, true};
  }
  if (!nb::hasattr(source, "readinto") && !nb::hasattr(source, "read")) {
    throw nb::type_error("expected a path or a binary file object");
  }
  std::string name = "<file object>";
  if (nb::hasattr(source, "name")) {
    nb::object n = source.attr("name");
    name = nb::cast<std::string>(nb::str(n));
  }
  auto raised = std::make_shared<nb::object>();
  Reader reader(std::make_unique<FileObjectSource>(nb::borrow(source), raised));
  return OpenedSource{std::move(reader), std::move(name), std::move(raised), false};
}

void raise_pending(const OpenedSource& source) {
  if (source.raised && source.raised->is_valid()) {
    nb::object exception = *source.raised;
    source.raised->reset();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
  }
}

}  // namespace vexo::python
