// Reads the records of one shape (or of every shape) into flat arrays in one pass, without the
// interpreter, all at once or a number of records at a time: what vexo.read builds its dataset
// from, and what the archive conversion streams.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "python/src/column.h"
#include "python/src/sample_arrays.h"
#include "vexo/reader.h"

namespace vexo::python {

struct BulkOptions {
  bool has_shape = false;  // read the records of shape (N, A); else those of the first record
  int32_t N = 0, A = 0;
  // The subblock filter: a subblock is taken when its descriptor matches one value of each
  // list that is not empty (frequency and height compared with the 32-bit reals exactly).
  std::vector<double> frequencies, heights;
  std::vector<int32_t> polarizations;
  std::vector<int32_t> antennas;  // numbered from 1, in the order wanted; empty: all
  // Ranges of record numbers (from 1), first and last, ascending and apart; empty: all.
  std::vector<std::pair<int64_t, int64_t>> records;
  bool convert = true;  // phase_degrees and amplitude_db as well
  bool correct = true;  // the antenna correction of the phases
  // Records of every shape, each with the antennas asked for that it has (has_shape is then
  // not used, and the result's shape fields stay unset).
  bool every_shape = false;
};

struct ShapeCount {
  int32_t N, A;
  int64_t records;
};

struct BulkResult {
  // One value per record taken (a record is taken when it is asked for, has the shape and at
  // least one subblock passes the filter).
  Column<int64_t> number;
  Column<uint64_t> offset;
  Column<int32_t> clock;  // year, day, hour, minute, second
  Column<float> record_frequency;
  Column<double> line_spacing;
  Column<double> rate;  // NaN while no record has set one
  Column<int32_t> taken_subblocks;
  Column<int32_t> record_sample_count, taken_antennas;  // every_shape only
  // One value per subblock taken.
  Column<int16_t> subblock;
  Column<float> frequency, height;
  Column<int8_t> gain, polarization;
  Column<int8_t> antenna;  // every_shape only: per record, the antennas taken (from 1)
  // [subblock taken][antenna][sample].
  Column<uint8_t> phase, amplitude;
  Column<float> phase_degrees, amplitude_db;

  std::vector<ShapeCount> shapes;  // of the records asked for, in the order first seen
  bool shape_known = false;
  bool mixed_shapes = false;  // without has_shape: records of a second shape were found
  int32_t N = 0, A = 0, sample_count = 0, subblock_count = 0;
  int32_t missing_antenna = 0;  // an antenna asked for that the shape does not have
  bool read_to_end = true;      // false when reading stopped after the last record asked for
  Stop stop;
};

// Reads from a reader a part at a time, each part into a result of its own.
class BulkReader {
 public:
  explicit BulkReader(BulkOptions options) : o_(std::move(options)) {}

  // Reads on until the reader stops, the last record asked for has been read, or
  // `max_records` records (0: any number) have been taken into `result`.
  void read(Reader& reader, BulkResult& result, int64_t max_records = 0);
  // True once no record can follow.
  bool finished() const { return finished_; }

 private:
  BulkOptions o_;
  PhaseConverter phases_;
  std::size_t wanted_ = 0;  // the range of o_.records in hand
  std::vector<int32_t> subblocks_, antennas_;
  bool finished_ = false;
};

// Reads from `reader` until it stops or the last record asked for has been read.
void read_bulk(Reader& reader, const BulkOptions& options, BulkResult& result);

}  // namespace vexo::python
