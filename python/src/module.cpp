// The extension module vexo._core: the library's reader and values for the Python package.
// The package's public names are in python/vexo; this module is its engine.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>

#include "python/src/bulk_read.h"
#include "python/src/owned_record.h"
#include "python/src/python_source.h"
#include "python/src/sample_arrays.h"
#include "vexo/values.h"
#include "vexo/version.h"

namespace nb = nanobind;

namespace vexo::python {
namespace {

template <typename T>
using Array = nb::ndarray<nb::numpy, T>;

// A new array of `shape`, filled by `fill(data)`.
template <typename T, typename Fill>
Array<T> make_array(std::initializer_list<std::size_t> shape, Fill fill) {
  std::size_t count = 1;
  for (std::size_t extent : shape) count *= extent;
  T* data = new T[count == 0 ? 1 : count];
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  fill(data);
  return Array<T>(data, shape, owner);
}

// The column's memory, handed over as a one-dimensional array.
template <typename T>
Array<T> take_column(Column<T>& column) {
  const std::size_t size = column.size();
  Block* block = new Block(column.release());
  nb::capsule owner(block, [](void* p) noexcept {
    Block* b = static_cast<Block*>(p);
    free_block(*b);
    delete b;
  });
  return Array<T>(block->data, {size}, owner);
}

const char* reason_name(StopReason reason) {
  switch (reason) {
    case StopReason::none:
      return "none";
    case StopReason::end_of_file:
      return "end_of_file";
    case StopReason::bad_marker:
      return "bad_marker";
    case StopReason::truncated:
      return "truncated";
    case StopReason::read_error:
      return "read_error";
    case StopReason::check_failed:
      return "check_failed";
  }
  return "none";
}

nb::dict stop_dict(const Stop& stop) {
  nb::dict d;
  d["reason"] = reason_name(stop.reason);
  d["record"] = stop.record_number;
  d["offset"] = stop.offset;
  d["message"] = describe(stop);
  return d;
}

nb::dict header_dict(const HeaderFields& h) {
  nb::dict d;
#define VEXO_FIELD(name) d[#name] = h.name
  VEXO_FIELD(year), VEXO_FIELD(day), VEXO_FIELD(hour), VEXO_FIELD(minute), VEXO_FIELD(second);
  VEXO_FIELD(sp_s), VEXO_FIELD(sp_p), VEXO_FIELD(FF), VEXO_FIELD(J), VEXO_FIELD(E);
  VEXO_FIELD(H), VEXO_FIELD(M), VEXO_FIELD(FREQ);
  d["DIFF_D"] = static_cast<int>(h.DIFF_D);
  VEXO_FIELD(I), VEXO_FIELD(DIFF_FF), VEXO_FIELD(S), VEXO_FIELD(l), VEXO_FIELD(u);
  VEXO_FIELD(L), VEXO_FIELD(C), VEXO_FIELD(U), VEXO_FIELD(B), VEXO_FIELD(T), VEXO_FIELD(O);
  VEXO_FIELD(V), VEXO_FIELD(X), VEXO_FIELD(A), VEXO_FIELD(D1), VEXO_FIELD(D2), VEXO_FIELD(N);
  VEXO_FIELD(R), VEXO_FIELD(w), VEXO_FIELD(k), VEXO_FIELD(f), VEXO_FIELD(g), VEXO_FIELD(OO);
  VEXO_FIELD(P), VEXO_FIELD(G);
#undef VEXO_FIELD
  return d;
}

// The record's samples, [subblock][antenna][sample].
template <typename T, typename Fill>
Array<T> record_array(const OwnedRecord& r, Fill fill) {
  const Record record = r.view();
  const WholeRecord whole(record);
  return make_array<T>({whole.subblocks.size(), whole.antennas.size(),
                        static_cast<std::size_t>(record.sample_count())},
                       [&](T* out) { fill(record, whole.cut(), out); });
}

// The four-antenna mean, [subblock][sample].
template <typename T, typename Fill>
Array<T> mean_array(const OwnedRecord& r, Fill fill) {
  const Record record = r.view();
  if (record.subblock_count() > 0 && record.antenna_count() < 4) {
    throw nb::value_error(("record " + std::to_string(record.number()) + " has " +
                           std::to_string(record.antenna_count()) +
                           " antennas: the mean is of antennas 1 to 4")
                              .c_str());
  }
  const WholeRecord whole(record);
  return make_array<T>(
      {whole.subblocks.size(), static_cast<std::size_t>(record.sample_count())},
      [&](T* out) { fill(record, whole.subblocks.data(), whole.subblocks.size(), out); });
}

// A reader for Python: one thread at a time moves it on (others wait without the interpreter
// lock), so that every record is handed out once.
class PyReader {
 public:
  explicit PyReader(nb::handle source) : source_(open_source(source)) {}

  std::unique_ptr<OwnedRecord> next() {
    std::unique_ptr<OwnedRecord> record;
    {
      nb::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      if (source_.reader.next()) record = std::make_unique<OwnedRecord>(source_.reader.record());
    }
    if (!record) raise_pending(source_);
    return record;
  }
  std::optional<nb::dict> stop() {
    Stop stop;
    {
      nb::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      stop = source_.reader.stop();
    }
    if (stop.reason == StopReason::none) return std::nullopt;
    return stop_dict(stop);
  }
  nb::object name() const { return source_.name; }

  const OpenedSource& source() const { return source_; }
  OpenedSource& source() { return source_; }

 private:
  OpenedSource source_;
  std::mutex mutex_;
};

// The garbage collector's view of a reader: the file object handed over, which may refer back
// to the reader.
template <typename T>
int traverse_source(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  const OpenedSource& source = nb::inst_ptr<T>(self)->source();
  if (source.file_object) Py_VISIT(source.file_object->file.ptr());
  return 0;
}
template <typename T>
int clear_source(PyObject* self) {
  OpenedSource& source = nb::inst_ptr<T>(self)->source();
  if (source.file_object) source.file_object->file.reset();
  return 0;
}
template <typename T>
PyType_Slot source_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(traverse_source<T>)},
                              {Py_tp_clear, reinterpret_cast<void*>(clear_source<T>)},
                              {0, nullptr}};

BulkOptions bulk_options(std::vector<double> frequencies, std::vector<double> heights,
                         std::vector<int32_t> polarizations, std::vector<int32_t> antennas,
                         std::vector<std::pair<int64_t, int64_t>> records, bool convert,
                         bool correct) {
  BulkOptions o;
  o.frequencies = std::move(frequencies);
  o.heights = std::move(heights);
  o.polarizations = std::move(polarizations);
  o.antennas = std::move(antennas);
  o.records = std::move(records);
  o.convert = convert;
  o.correct = correct;
  return o;
}

// What a bulk read took, its columns handed over as arrays.
nb::dict result_dict(BulkResult& r, nb::object name, bool convert, bool every_shape) {
  nb::dict out;
  out["name"] = name;
  out["stop"] = stop_dict(r.stop);
  out["read_to_end"] = r.read_to_end;
  nb::list shapes;
  for (const auto& s : r.shapes) shapes.append(nb::make_tuple(s.N, s.A, s.records));
  out["shapes"] = shapes;
  out["mixed_shapes"] = r.mixed_shapes;
  out["missing_antenna"] = r.missing_antenna;
  out["shape"] = r.shape_known ? nb::object(nb::make_tuple(r.N, r.A)) : nb::none();
  out["sample_count"] = r.sample_count;
  out["subblock_count"] = r.subblock_count;
  out["number"] = take_column(r.number);
  out["offset"] = take_column(r.offset);
  out["clock"] = take_column(r.clock);
  out["record_frequency"] = take_column(r.record_frequency);
  out["line_spacing"] = take_column(r.line_spacing);
  out["rate"] = take_column(r.rate);
  out["taken_subblocks"] = take_column(r.taken_subblocks);
  out["subblock"] = take_column(r.subblock);
  out["frequency"] = take_column(r.frequency);
  out["height"] = take_column(r.height);
  out["gain"] = take_column(r.gain);
  out["polarization"] = take_column(r.polarization);
  out["phase"] = take_column(r.phase);
  out["amplitude"] = take_column(r.amplitude);
  if (convert) {
    out["phase_degrees"] = take_column(r.phase_degrees);
    out["amplitude_db"] = take_column(r.amplitude_db);
  }
  if (every_shape) {
    out["record_sample_count"] = take_column(r.record_sample_count);
    out["taken_antennas"] = take_column(r.taken_antennas);
    out["antenna"] = take_column(r.antenna);
  }
  return out;
}

// Reads a source a number of records at a time: the records of one shape, or of every shape.
class PyBulkReader {
 public:
  PyBulkReader(nb::handle source, BulkOptions options)
      : source_(open_source(source)),
        convert_(options.convert),
        every_shape_(options.every_shape),
        bulk_(std::move(options)) {}

  // The next part: up to max_records records; "done" says whether more can follow.
  nb::dict next(int64_t max_records) {
    BulkResult r;
    bool done = false;
    {
      nb::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      bulk_.read(source_.reader, r, max_records);
      done = bulk_.finished();
    }
    raise_pending(source_);
    nb::dict out = result_dict(r, source_.name, convert_, every_shape_);
    out["done"] = done;
    return out;
  }
  const OpenedSource& source() const { return source_; }
  OpenedSource& source() { return source_; }

 private:
  OpenedSource source_;
  bool convert_, every_shape_;
  BulkReader bulk_;
  std::mutex mutex_;
};

nb::dict read_bulk_into_arrays(nb::handle source, std::optional<std::pair<int32_t, int32_t>> shape,
                               std::vector<double> frequencies, std::vector<double> heights,
                               std::vector<int32_t> polarizations, std::vector<int32_t> antennas,
                               std::vector<std::pair<int64_t, int64_t>> records, bool convert,
                               bool correct) {
  OpenedSource opened = open_source(source);
  BulkOptions o = bulk_options(std::move(frequencies), std::move(heights), std::move(polarizations),
                               std::move(antennas), std::move(records), convert, correct);
  if (shape) o.has_shape = true, o.N = shape->first, o.A = shape->second;
  BulkResult r;
  {
    nb::gil_scoped_release unlocked;
    read_bulk(opened.reader, o, r);
  }
  raise_pending(opened);

  return result_dict(r, opened.name, convert, false);
}

}  // namespace
}  // namespace vexo::python

NB_MODULE(_core, m) {
  using namespace vexo;
  using namespace vexo::python;
  m.attr("version") = vexo::version();

  nb::class_<OwnedRecord>(m, "Record")
      .def_ro("number", &OwnedRecord::number)
      .def_ro("offset", &OwnedRecord::offset)
      .def_prop_ro("header", [](const OwnedRecord& r) { return header_dict(r.header); })
      .def_prop_ro("sample_count", [](const OwnedRecord& r) { return r.derived.sample_count; })
      .def_prop_ro("antennas", [](const OwnedRecord& r) { return r.header.A; })
      .def_prop_ro("subblocks", [](const OwnedRecord& r) { return r.derived.subblock_count; })
      .def_prop_ro("line_spacing", [](const OwnedRecord& r) { return r.derived.line_spacing; })
      .def_prop_ro("rate",
                   [](const OwnedRecord& r) -> std::optional<double> {
                     if (!r.derived.rate_known) return std::nullopt;
                     return r.derived.rate;
                   })
      .def_prop_ro("backwards", [](const OwnedRecord& r) { return r.derived.phase_sign < 0; })
      .def_prop_ro("raw",
                   [](const OwnedRecord& r) {
                     return nb::bytes(reinterpret_cast<const char*>(r.bytes.data()), kRecordSize);
                   })
      .def_prop_ro("descriptors",
                   [](const OwnedRecord& r) {
                     const std::size_t n = r.descriptors.size();
                     nb::dict d;
                     d["frequency"] = make_array<float>({n}, [&](float* out) {
                       for (std::size_t s = 0; s < n; ++s) out[s] = r.descriptors[s].frequency;
                     });
                     d["height"] = make_array<float>({n}, [&](float* out) {
                       for (std::size_t s = 0; s < n; ++s) out[s] = r.descriptors[s].height;
                     });
                     d["gain"] = make_array<int8_t>({n}, [&](int8_t* out) {
                       for (std::size_t s = 0; s < n; ++s) {
                         out[s] = static_cast<int8_t>(r.descriptors[s].gain);
                       }
                     });
                     d["polarization"] = make_array<int8_t>({n}, [&](int8_t* out) {
                       for (std::size_t s = 0; s < n; ++s) {
                         out[s] = static_cast<int8_t>(r.descriptors[s].polarization);
                       }
                     });
                     return d;
                   })
      .def("phase",
           [](const OwnedRecord& r) {
             return record_array<uint8_t>(r, [](const Record& rec, const Cut& c, uint8_t* o) {
               gather(rec, SampleKind::phase, c, o);
             });
           })
      .def("amplitude",
           [](const OwnedRecord& r) {
             return record_array<uint8_t>(r, [](const Record& rec, const Cut& c, uint8_t* o) {
               gather(rec, SampleKind::amplitude, c, o);
             });
           })
      .def(
          "phase_degrees",
          [](const OwnedRecord& r, bool correct) {
            return record_array<float>(r, [correct](const Record& rec, const Cut& c, float* o) {
              PhaseConverter().convert(rec, c, correct, o);
            });
          },
          nb::arg("correct") = true)
      .def("amplitude_db",
           [](const OwnedRecord& r) {
             return record_array<float>(
                 r, [](const Record& rec, const Cut& c, float* o) { amplitude_db(rec, c, o); });
           })
      .def("amplitude_ratio",
           [](const OwnedRecord& r) {
             return record_array<double>(
                 r, [](const Record& rec, const Cut& c, double* o) { amplitude_ratio(rec, c, o); });
           })
      .def("amplitude_mean_db",
           [](const OwnedRecord& r) { return mean_array<float>(r, amplitude_mean_db); })
      .def("amplitude_mean_ratio",
           [](const OwnedRecord& r) { return mean_array<double>(r, amplitude_mean_ratio); });

  nb::class_<PyReader>(m, "Reader", nb::type_slots(source_slots<PyReader>))
      .def(nb::init<nb::handle>(), nb::arg("source").none())
      .def("next", &PyReader::next)
      .def_prop_ro("stop", &PyReader::stop)
      .def_prop_ro("name", &PyReader::name);

  m.def("read_bulk", &read_bulk_into_arrays, nb::arg("source").none(), nb::arg("shape").none(),
        nb::arg("frequencies"), nb::arg("heights"), nb::arg("polarizations"), nb::arg("antennas"),
        nb::arg("records"), nb::arg("convert"), nb::arg("correct"));

  nb::class_<PyBulkReader>(m, "BulkReader", nb::type_slots(source_slots<PyBulkReader>))
      .def(
          "__init__",
          [](PyBulkReader* self, nb::handle source, std::vector<double> frequencies,
             std::vector<double> heights, std::vector<int32_t> polarizations,
             std::vector<int32_t> antennas, std::vector<std::pair<int64_t, int64_t>> records,
             bool convert, bool correct, std::optional<std::pair<int32_t, int32_t>> shape) {
            BulkOptions o =
                bulk_options(std::move(frequencies), std::move(heights), std::move(polarizations),
                             std::move(antennas), std::move(records), convert, correct);
            if (shape) {
              o.has_shape = true, o.N = shape->first, o.A = shape->second;
            } else {
              o.every_shape = true;
            }
            new (self) PyBulkReader(source, std::move(o));
          },
          nb::arg("source").none(), nb::arg("frequencies"), nb::arg("heights"),
          nb::arg("polarizations"), nb::arg("antennas"), nb::arg("records"), nb::arg("convert"),
          nb::arg("correct"), nb::arg("shape").none() = nb::none())
      .def("next", &PyBulkReader::next, nb::arg("max_records"));
}
