// The values of a run of records, read from anywhere in a file with its index (vexo/index.h)
// into arrays that the caller gives: the raw sample bytes, phases in degrees (with or without
// the antenna correction), amplitudes in dB, and each subblock's descriptor. A part read from
// the middle of a file holds exactly what a read from the first record gives for its records.
//
//   vexo::Index index = vexo::Index::of_file("day342.dft");
//   auto source = vexo::RandomSource::open("day342.dft");
//   vexo::PartReader parts(*source, selection);
//   // entries of one shape; width: subblock places per record (at least the most taken)
//   parts.read(&index.entries()[100], 50, width, arrays);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
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
// places left over (subblock_number -1, frequency and height NaN, gain and polarization -1,
// samples 0, phase_degrees and amplitude_db NaN).
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
};

class PartReader {
 public:
  // `correct`: the antenna correction of the phases where the record allows it.
  PartReader(RandomSource& source, Selection selection, bool correct = true);

  // Fills `arrays` for the `count` records of `entries` (entries of one index, of one shape,
  // in the file's order; any of them may be left out). False when the file no longer holds
  // what its index says (changed since) or cannot be read, or when a record takes more
  // subblocks than `width`: error() then says what, and the arrays are partly filled.
  bool read(const IndexEntry* entries, std::size_t count, int32_t width, const PartArrays& arrays);
  const std::string& error() const { return error_; }
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
