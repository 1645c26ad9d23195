// The values of a run of records, read from anywhere in a file with its index (vexo/index.h)
// into arrays that the caller gives: the raw sample bytes, phases in degrees (with or without
// the antenna correction), amplitudes in dB, and each subblock's descriptor. A part read from
// the middle of a file holds exactly what a read from the first record gives for its records.
//
//   vexo::Selection selection;
//   selection.frequencies = {3200};  // subblocks at 3200 kHz
//   const vexo::Index index = vexo::Index::of_file("day342.dft", selection);
//   int error = 0;
//   auto source = vexo::RandomSource::open("day342.dft", error);
//   if (!source) throw std::system_error(error, std::generic_category(), "day342.dft");
//   // Records 3 to 5 (the file has them, of one shape), with a place for every subblock taken.
//   const vexo::IndexEntry* part = &index.entries().at(2);
//   const std::size_t count = 3;
//   int32_t width = 0;
//   for (std::size_t r = 0; r < count; ++r) {
//     width = std::max<int32_t>(width, part[r].taken_subblocks);
//   }
//   std::vector<float> degrees((count * width * part->A) << part->N);
//   std::vector<float> frequency(count * width);
//   vexo::PartArrays arrays;
//   arrays.phase_degrees = degrees.data();  // [record][place][antenna][line]
//   arrays.frequency = frequency.data();    // [record][place]
//   vexo::PartReader parts(*source, selection);
//   if (!parts.read(part, count, width, arrays)) std::cerr << parts.error() << '\n';
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "vexo/arrays.h"
#include "vexo/index.h"
#include "vexo/selection.h"

namespace vexo {

// Bytes that can be read at any offset: a file, or memory.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Reads up to `size` bytes at `offset` into `data` and returns how many: fewer only at the
  // end of the file. On a failure returns 0 and sets `error` (an errno value).
  virtual std::size_t read_at(uint64_t offset, unsigned char* data, std::size_t size,
                              int& error) = 0;
  // The whole file when it is in memory (then read_at is never needed), else null.
  virtual const unsigned char* memory(std::size_t& size) const {
    size = 0;
    return nullptr;
  }

  // The file at `path`; null when it cannot be opened (`error` says why).
  static std::unique_ptr<RandomSource> open(const std::string& path, int& error);
  // `size` bytes at `data`, which must stay put while the source is in use.
  static std::unique_ptr<RandomSource> over_memory(const void* data, std::size_t size);
};

// Where the values of a part go, each array optional (null: not wanted). Per record of the
// part, `width` subblock places: the subblocks the selection takes, in their order, then
// places left over, which hold the fill of their kind (kPartKinds).
struct PartArrays {
  // [record][place][antenna][line]: the antennas asked for that the shape has
  // (Selection::antenna_indexes), 2^N lines.
  uint8_t* phase = nullptr;
  uint8_t* amplitude = nullptr;
  float* phase_degrees = nullptr;
  float* amplitude_db = nullptr;
  // [record][place]
  int16_t* subblock_number = nullptr;  // the subblock's number in its record, from 0
  float* frequency = nullptr;
  float* height = nullptr;
  int8_t* gain = nullptr;
  int8_t* polarization = nullptr;

 private:
  template <typename Arrays>
  static constexpr auto tie(Arrays& a) {
    return std::tie(a.phase, a.amplitude, a.phase_degrees, a.amplitude_db, a.subblock_number,
                    a.frequency, a.height, a.gain, a.polarization);
  }

 public:
  // Every array in the order of kPartKinds: std::get<i>(all()) is the member that
  // kPartKinds[i] names (a reference to it).
  constexpr auto all() { return tie(*this); }
  constexpr auto all() const { return tie(*this); }
};

// The kinds of values of a part, one for each array of PartArrays and in the order of its
// members: the member's name, its element type as numpy names it ("u1", "i1", "i2", "f4":
// unsigned, signed or real, of so many bytes, in the machine's byte order), whether it holds
// values per sample ([record][place][antenna][line]) or per place ([record][place]), and the
// value of the places left over.
struct PartKind {
  const char* name;
  const char* dtype;
  bool per_sample;
  double fill;
};
inline constexpr std::array<PartKind, 9> kPartKinds{{
    {"phase", "u1", true, 0},
    {"amplitude", "u1", true, 0},
    {"phase_degrees", "f4", true, std::numeric_limits<double>::quiet_NaN()},
    {"amplitude_db", "f4", true, std::numeric_limits<double>::quiet_NaN()},
    {"subblock_number", "i2", false, -1},
    {"frequency", "f4", false, std::numeric_limits<double>::quiet_NaN()},
    {"height", "f4", false, std::numeric_limits<double>::quiet_NaN()},
    {"gain", "i1", false, -1},
    {"polarization", "i1", false, -1},
}};
static_assert(std::tuple_size_v<decltype(PartArrays().all())> == kPartKinds.size(),
              "a kind for every array of a part");

class PartReader {
 public:
  // `correct`: the antenna correction of the phases where the record allows it. The selection
  // is taken as Selection::checked() makes it: std::invalid_argument when it has a fault.
  PartReader(RandomSource& source, Selection selection, bool correct = true);

  // Fills `arrays` for the `count` records of `entries` (entries of one index, of one shape,
  // in the file's order; any of them may be left out). False when the file no longer holds
  // what its index says (changed since: a record is cut short, or its marker or its header's
  // clock, FREQ, shape, H or phase direction differ from its entry; the first such record is
  // named) or cannot be read, or when a record takes more subblocks than `width`: error() then
  // says what, and the arrays are partly filled.
  bool read(const IndexEntry* entries, std::size_t count, int32_t width, const PartArrays& arrays);
  const std::string& error() const { return error_; }
  // The selection as checked: its record ranges ascending and apart.
  const Selection& selection() const { return selection_; }

 private:
  bool view_of(const IndexEntry& entry, const unsigned char*& bytes, std::size_t& size);
  bool fail(const IndexEntry& entry, const std::string& what);

  RandomSource& source_;
  Selection selection_;
  bool correct_;
  std::vector<unsigned char> buffer_;
  uint64_t buffer_offset_ = 0;
  std::size_t buffer_size_ = 0;
  bool buffer_at_end_ = false;  // the window ends where the file does
  PhaseValues phases_;
  std::vector<Descriptor> descriptors_;
  std::vector<int32_t> subblocks_, antennas_;
  std::string error_;
};

}  // namespace vexo
