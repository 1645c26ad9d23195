// The extension module vexo._core: the library's reader and values for the Python package.
// The package's public names are in python/vexo; this module is its engine.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/src/direction_fit_binding.h"
#include "python/src/echo_peaks_binding.h"
#include "python/src/numpy_arrays.h"
#include "python/src/python_source.h"
#include "vexo/arrays.h"
#include "vexo/index.h"
#include "vexo/owned_record.h"
#include "vexo/part.h"
#include "vexo/values.h"
#include "vexo/version.h"

namespace nb = nanobind;

namespace vexo::python {
namespace {

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
  std::optional<Stop> stop() {
    Stop stop;
    {
      nb::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      stop = source_.reader.stop();
    }
    if (stop.reason == StopReason::none) return std::nullopt;
    return stop;
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

// A path as the file system takes it: str, bytes or os.PathLike. OSError with the name when it
// names a folder; ValueError for a NUL.
std::string file_path(nb::handle path, nb::object& name) {
  nb::module_ os = nb::module_::import_("os");
  nb::object fspath = os.attr("fspath")(path);
  name = os.attr("fsdecode")(fspath);
  nb::bytes encoded = nb::cast<nb::bytes>(os.attr("fsencode")(fspath));
  std::string out(encoded.c_str(), encoded.size());
  if (out.find('\0') != std::string::npos) {
    throw nb::value_error("a file name may not hold a NUL character");
  }
  if (nb::cast<bool>(os.attr("path").attr("isdir")(fspath))) raise_os_error(EISDIR, name);
  return out;
}

// Bytes in memory (a bytes object, or the bytes a stream's index kept), held while in use.
using Bytes = nb::ndarray<const uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A source that keeps every byte it hands out: the index of a stream keeps what it read, so
// that its parts are read from memory without reading the stream again.
class KeepingSource : public ByteSource {
 public:
  KeepingSource(std::unique_ptr<ByteSource> inner, std::vector<unsigned char>& kept)
      : inner_(std::move(inner)), kept_(kept) {}
  std::size_t read(unsigned char* data, std::size_t size, int& error) override {
    const std::size_t got = inner_->read(data, size, error);
    kept_.insert(kept_.end(), data, data + got);
    return got;
  }

 private:
  std::unique_ptr<ByteSource> inner_;
  std::vector<unsigned char>& kept_;
};

// The selection as the library takes it (Selection::checked), before anything else is looked
// at: a fault raises ValueError with its text (nanobind's for std::invalid_argument).
void check(Selection& s) {
  s = s.checked();
}

// The index of a file by path, or of bytes in memory.
Index index_of(std::optional<nb::handle> path, std::optional<Bytes> data, Selection selection) {
  check(selection);
  if (path.has_value() == data.has_value()) {
    throw nb::type_error("index: give a path or data, one of them");
  }
  if (data) {
    const Bytes held = *data;
    nb::gil_scoped_release unlocked;
    return Index::of_memory(held.data(), held.size(), selection);
  }
  nb::object name;
  const std::string p = file_path(*path, name);
  Reader reader = Reader::open(p);
  if (reader.stop().reason == StopReason::read_error) {
    raise_os_error(reader.stop().error_number != 0 ? reader.stop().error_number : EIO, name);
  }
  nb::gil_scoped_release unlocked;
  return Index::of_reader(reader, selection);
}

// The index of a file object (a pipe, a socket's file, an open file) read once from where it
// stands, and the bytes it read: as far as the index goes (and the reach of its last record).
nb::tuple index_of_stream(nb::handle stream, Selection selection) {
  check(selection);
  std::shared_ptr<FileObject> object;
  auto kept = std::make_unique<std::vector<unsigned char>>();
  std::optional<Index> index;
  {
    Reader reader(std::make_unique<KeepingSource>(file_object_source(stream, object), *kept));
    nb::gil_scoped_release unlocked;
    index = Index::of_reader(reader, selection);
  }
  if (object && object->raised.is_valid()) {
    nb::object exception = object->raised;
    object->raised.reset();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw nb::python_error();
  }
  std::vector<unsigned char>* bytes = kept.release();
  nb::capsule owner(bytes,
                    [](void* p) noexcept { delete static_cast<std::vector<unsigned char>*>(p); });
  Array<uint8_t> data(bytes->data(), {bytes->size()}, owner);
  return nb::make_tuple(std::move(*index), data);
}

// The entries moved out of the index, as bytes for numpy (a structured array over them:
// entry_fields): no copy is made, and the index keeps none.
Array<uint8_t> take_entries(Index& index) {
  auto* entries = new std::vector<IndexEntry>(std::move(index.entries()));
  index.entries().clear();
  nb::capsule owner(entries,
                    [](void* p) noexcept { delete static_cast<std::vector<IndexEntry>*>(p); });
  return Array<uint8_t>(reinterpret_cast<uint8_t*>(entries->data()),
                        {entries->size() * sizeof(IndexEntry)}, owner);
}

nb::list entry_fields() {
  nb::list out;
  auto field = [&](const char* name, const char* format, std::size_t offset) {
    out.append(nb::make_tuple(name, format, offset));
  };
#define VEXO_ENTRY(name, format) field(#name, format, offsetof(IndexEntry, name))
  VEXO_ENTRY(offset, "<u8"), VEXO_ENTRY(number, "<i8"), VEXO_ENTRY(line_spacing, "<f8");
  VEXO_ENTRY(rate, "<f8"), VEXO_ENTRY(FREQ, "<f4"), VEXO_ENTRY(year, "<i2");
  VEXO_ENTRY(day, "<i2"), VEXO_ENTRY(hour, "<i2"), VEXO_ENTRY(minute, "<i2");
  VEXO_ENTRY(second, "<i2"), VEXO_ENTRY(N, "i1"), VEXO_ENTRY(A, "i1"), VEXO_ENTRY(H, "i1");
  VEXO_ENTRY(backwards, "i1"), VEXO_ENTRY(subblock_count, "<i2");
  VEXO_ENTRY(taken_subblocks, "<i2");
#undef VEXO_ENTRY
  return out;
}

template <typename T>
using Out = std::optional<nb::ndarray<T, nb::c_contig, nb::device::cpu>>;
// Output arrays are taken as they are, never converted into a copy that would be filled
// instead.

// The arrays of a part that Python hands over, one of the element type of each kind of
// kPartKinds, in its order.
template <std::size_t I>
using KindOut = Out<std::remove_pointer_t<
    std::remove_reference_t<std::tuple_element_t<I, decltype(PartArrays().all())>>>>;
template <typename Sequence>
struct KindOuts;
template <std::size_t... I>
struct KindOuts<std::index_sequence<I...>> {
  using type = std::tuple<KindOut<I>...>;
};
using PartOuts = KindOuts<std::make_index_sequence<kPartKinds.size()>>::type;

nb::list part_kinds() {
  nb::list out;
  for (const PartKind& kind : kPartKinds) {
    // A whole number for the kinds of whole numbers.
    const nb::object fill = kind.dtype[0] == 'f'
                                ? nb::object(nb::float_(kind.fill))
                                : nb::object(nb::int_(static_cast<long>(kind.fill)));
    out.append(nb::make_tuple(kind.name, kind.dtype, kind.per_sample, fill));
  }
  return out;
}

// Reads parts of one file, from a path or from bytes, keeping the phase values worked out from
// part to part. One thread at a time reads (others wait without the interpreter lock).
class PyPartReader {
 public:
  PyPartReader(std::optional<nb::handle> path, std::optional<Bytes> data, Selection selection,
               bool correct) {
    check(selection);
    if (path.has_value() == data.has_value()) {
      throw nb::type_error("PartReader: give a path or data, one of them");
    }
    if (data) {
      held_ = *data;
      source_ = RandomSource::over_memory(held_->data(), held_->size());
    } else {
      const std::string p = file_path(*path, name_);
      int error = 0;
      source_ = RandomSource::open(p, error);
      if (!source_) raise_os_error(error, name_);
    }
    reader_ = std::make_unique<PartReader>(*source_, std::move(selection), correct);
  }

  void read(const Bytes& entries, int32_t width, PartOuts& given) {
    if (entries.size() % sizeof(IndexEntry) != 0) {
      throw nb::value_error("entries: not a whole number of index entries");
    }
    const std::size_t count = entries.size() / sizeof(IndexEntry);
    std::vector<IndexEntry> list(count);
    if (count != 0) std::memcpy(list.data(), entries.data(), entries.size());
    if (width < 0) throw nb::value_error("width: below 0");
    if (width > kMaxSubblocks) throw nb::value_error("width: more than 2048 subblock places");
    std::size_t per_place = 0;
    if (count != 0) {
      if (!entry_is_sound(list[0])) throw nb::value_error("entries: not the entries of an index");
      per_place =
          reader_->selection().antenna_indexes(list[0].A).size() * (std::size_t{1} << list[0].N);
    }
    const std::size_t places = count * static_cast<std::size_t>(width);
    PartArrays arrays;
    take_all(given, places, per_place, arrays, std::make_index_sequence<kPartKinds.size()>());
    bool ok = false;
    std::string error;
    {
      nb::gil_scoped_release unlocked;
      std::lock_guard<std::mutex> lock(mutex_);
      ok = reader_->read(list.data(), count, width, arrays);
      if (!ok) error = reader_->error();
    }
    if (!ok) throw nb::value_error(error.c_str());
  }

 private:
  template <std::size_t... I>
  static void take_all(PartOuts& given, std::size_t places, std::size_t per_place,
                       PartArrays& arrays, std::index_sequence<I...>) {
    ((std::get<I>(arrays.all()) =
          take(std::get<I>(given), kPartKinds[I].per_sample ? places * per_place : places,
               kPartKinds[I].name)),
     ...);
  }
  template <typename T>
  static T* take(Out<T>& array, std::size_t size, const char* name) {
    if (!array) return nullptr;
    if (array->size() != size) {
      throw nb::value_error((std::string(name) + ": " + std::to_string(array->size()) +
                             " values, the part has " + std::to_string(size))
                                .c_str());
    }
    return array->data();
  }

  std::optional<Bytes> held_;
  nb::object name_;
  std::unique_ptr<RandomSource> source_;
  std::unique_ptr<PartReader> reader_;
  std::mutex mutex_;
};

// PartReader.read(entries, width, *, phase=None, amplitude=None, ...): an array of each kind
// of kPartKinds, by its name.
template <std::size_t... I>
void def_read(nb::class_<PyPartReader>& reader, std::index_sequence<I...>) {
  reader.def(
      "read",
      [](PyPartReader& self, const Bytes& entries, int32_t width, KindOut<I>... arrays) {
        PartOuts given{std::move(arrays)...};
        self.read(entries, width, given);
      },
      nb::arg("entries"), nb::arg("width"), nb::kw_only(),
      (nb::arg(kPartKinds[I].name).noconvert().none() = nb::none())...);
}

}  // namespace
}  // namespace vexo::python

NB_MODULE(_core, m) {
  using namespace vexo;
  using namespace vexo::python;
  m.attr("version") = vexo::version();
  def_direction_fit(m);
  def_echo_peaks(m);

  nb::class_<OwnedRecord>(m, "Record")
      .def_prop_ro("number", &OwnedRecord::number)
      .def_prop_ro("offset", &OwnedRecord::offset)
      .def_prop_ro("header", [](const OwnedRecord& r) { return header_dict(r.header()); })
      .def_prop_ro("sample_count", [](const OwnedRecord& r) { return r.derived().sample_count; })
      .def_prop_ro("antennas", [](const OwnedRecord& r) { return r.header().A; })
      .def_prop_ro("subblocks", [](const OwnedRecord& r) { return r.derived().subblock_count; })
      .def_prop_ro("line_spacing", [](const OwnedRecord& r) { return r.derived().line_spacing; })
      .def_prop_ro("rate",
                   [](const OwnedRecord& r) -> std::optional<double> {
                     if (!r.derived().rate_known) return std::nullopt;
                     return r.derived().rate;
                   })
      .def_prop_ro("backwards", [](const OwnedRecord& r) { return r.derived().phase_sign < 0; })
      .def_prop_ro("raw",
                   [](const OwnedRecord& r) {
                     // Records are copied from the reader's records, which all have bytes.
                     return nb::bytes(reinterpret_cast<const char*>(r.bytes()), kRecordSize);
                   })
      .def_prop_ro("descriptors",
                   [](const OwnedRecord& r) {
                     const std::vector<Descriptor>& descriptors = r.descriptors();
                     const std::size_t n = descriptors.size();
                     nb::dict d;
                     d["frequency"] = make_array<float>({n}, [&](float* out) {
                       for (std::size_t s = 0; s < n; ++s) out[s] = descriptors[s].frequency;
                     });
                     d["height"] = make_array<float>({n}, [&](float* out) {
                       for (std::size_t s = 0; s < n; ++s) out[s] = descriptors[s].height;
                     });
                     d["gain"] = make_array<int8_t>({n}, [&](int8_t* out) {
                       for (std::size_t s = 0; s < n; ++s) {
                         out[s] = static_cast<int8_t>(descriptors[s].gain);
                       }
                     });
                     d["polarization"] = make_array<int8_t>({n}, [&](int8_t* out) {
                       for (std::size_t s = 0; s < n; ++s) {
                         out[s] = static_cast<int8_t>(descriptors[s].polarization);
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
              PhaseValues().convert(rec, c, correct, o);
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

  nb::class_<Stop>(m, "Stop")
      .def_prop_ro("reason", [](const Stop& s) { return reason_name(s.reason); })
      .def_ro("record", &Stop::record_number)
      .def_ro("offset", &Stop::offset)
      .def_prop_ro("message", [](const Stop& s) { return describe(s); });

  nb::class_<Selection>(m, "Selection")
      .def(nb::init<>())
      .def_rw("frequencies", &Selection::frequencies)
      .def_rw("heights", &Selection::heights)
      .def_rw("polarizations", &Selection::polarizations)
      .def_rw("antennas", &Selection::antennas)
      .def_rw("records", &Selection::records);

  nb::class_<Index>(m, "Index")
      .def("take_entries", &take_entries)
      .def_prop_ro("stop", [](const Index& i) { return i.stop(); })
      .def_prop_ro("read_to_end", &Index::read_to_end)
      .def_prop_ro("shapes", [](const Index& i) {
        nb::list out;
        for (const Shape& s : i.shapes()) out.append(nb::make_tuple(s.N, s.A, s.records));
        return out;
      });
  m.attr("entry_size") = sizeof(IndexEntry);
  m.attr("entry_fields") = entry_fields();
  m.def("index", &index_of, nb::kw_only(), nb::arg("path").none() = nb::none(),
        nb::arg("data").none() = nb::none(), nb::arg("selection"));
  m.def("index_stream", &index_of_stream, nb::arg("stream"), nb::kw_only(), nb::arg("selection"));

  nb::class_<PyPartReader> part_reader(m, "PartReader");
  part_reader.def(nb::init<std::optional<nb::handle>, std::optional<Bytes>, Selection, bool>(),
                  nb::kw_only(), nb::arg("path").none() = nb::none(),
                  nb::arg("data").none() = nb::none(), nb::arg("selection"), nb::arg("correct"));
  def_read(part_reader, std::make_index_sequence<kPartKinds.size()>());
  // The kinds of a part's arrays: (name, numpy dtype, per sample, fill of places left over).
  m.attr("part_kinds") = part_kinds();
}
