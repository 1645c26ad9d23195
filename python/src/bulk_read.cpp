#include "python/src/bulk_read.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vexo::python {
namespace {

template <typename T>
bool admits(const std::vector<T>& values, T value) {
  return values.empty() || std::find(values.begin(), values.end(), value) != values.end();
}

bool subblock_taken(const BulkOptions& o, const Descriptor& d) {
  return admits(o.frequencies, static_cast<double>(d.frequency)) &&
         admits(o.heights, static_cast<double>(d.height)) &&
         admits(o.polarizations, d.polarization);
}

void count_shape(std::vector<ShapeCount>& shapes, int32_t N, int32_t A) {
  for (auto& shape : shapes) {
    if (shape.N == N && shape.A == A) {
      ++shape.records;
      return;
    }
  }
  shapes.push_back({N, A, 1});
}

// Fixes the shape that is read from the first record of it; false when an antenna asked for
// is not in it.
bool take_shape(const Record& record, const BulkOptions& o, BulkResult& r,
                std::vector<int32_t>& antennas) {
  r.shape_known = true;
  r.N = record.header().N;
  r.A = record.header().A;
  r.sample_count = record.sample_count();
  r.subblock_count = record.subblock_count();
  antennas.clear();
  if (o.antennas.empty()) {
    for (int32_t a = 0; a < r.A; ++a) antennas.push_back(a);
  }
  for (int32_t a : o.antennas) {
    if (a < 1 || a > r.A) {
      r.missing_antenna = a;
      return false;
    }
    antennas.push_back(a - 1);
  }
  return true;
}

void take_record(const Record& record, const BulkOptions& o, const std::vector<int32_t>& subblocks,
                 const std::vector<int32_t>& antennas, PhaseConverter& phases, BulkResult& r) {
  const HeaderFields& h = record.header();
  const DerivedValues& d = record.derived();
  r.number.push(record.number());
  r.offset.push(record.offset());
  int32_t* clock = r.clock.extend(5);
  clock[0] = h.year, clock[1] = h.day, clock[2] = h.hour, clock[3] = h.minute, clock[4] = h.second;
  r.record_frequency.push(h.FREQ);
  r.line_spacing.push(d.line_spacing);
  r.rate.push(d.rate_known ? d.rate : std::numeric_limits<double>::quiet_NaN());
  r.taken_subblocks.push(static_cast<int32_t>(subblocks.size()));
  for (int32_t s : subblocks) {
    const Descriptor& desc = record.descriptor(s);
    r.subblock.push(static_cast<int16_t>(s));
    r.frequency.push(desc.frequency);
    r.height.push(desc.height);
    r.gain.push(static_cast<int8_t>(desc.gain));
    r.polarization.push(static_cast<int8_t>(desc.polarization));
  }
  const Cut cut{subblocks.data(), subblocks.size(), antennas.data(), antennas.size()};
  const std::size_t values =
      subblocks.size() * antennas.size() * static_cast<std::size_t>(record.sample_count());
  gather(record, SampleKind::phase, cut, r.phase.extend(values));
  gather(record, SampleKind::amplitude, cut, r.amplitude.extend(values));
  if (!o.convert) return;
  phases.convert(record, cut, o.correct, r.phase_degrees.extend(values));
  amplitude_db(record, cut, r.amplitude_db.extend(values));
}

void drop_values(BulkResult& r) {
  r.number.clear(), r.offset.clear(), r.clock.clear(), r.record_frequency.clear();
  r.line_spacing.clear(), r.rate.clear(), r.taken_subblocks.clear(), r.subblock.clear();
  r.frequency.clear(), r.height.clear(), r.gain.clear(), r.polarization.clear();
  r.phase.clear(), r.amplitude.clear(), r.phase_degrees.clear(), r.amplitude_db.clear();
}

// The antennas asked for (all when none is) that a record of A antennas has, from 0.
void antennas_of(const BulkOptions& o, int32_t A, std::vector<int32_t>& antennas) {
  antennas.clear();
  if (o.antennas.empty()) {
    for (int32_t a = 0; a < A; ++a) antennas.push_back(a);
  }
  for (int32_t a : o.antennas) {
    if (a >= 1 && a <= A) antennas.push_back(a - 1);
  }
}

}  // namespace

void BulkReader::read(Reader& reader, BulkResult& r, int64_t max_records) {
  const BulkOptions& o = o_;
  int64_t taken = 0;
  while (!finished_ && (max_records <= 0 || taken < max_records)) {
    if (!o.records.empty() && wanted_ == o.records.size()) {
      r.read_to_end = false;
      finished_ = true;
      break;
    }
    if (!reader.next()) {
      finished_ = true;
      break;
    }
    const Record& record = reader.record();
    if (!o.records.empty()) {
      if (record.number() < o.records[wanted_].first) continue;
      if (record.number() >= o.records[wanted_].second) ++wanted_;  // the range's last record
    }
    const int32_t N = record.header().N, A = record.header().A;
    count_shape(r.shapes, N, A);
    if (o.every_shape) {
      antennas_of(o, A, antennas_);
    } else {
      if (r.mixed_shapes) continue;  // counting the shapes only
      if (o.has_shape && (N != o.N || A != o.A)) continue;
      if (!r.shape_known) {
        if (!take_shape(record, o, r, antennas_)) {
          finished_ = true;
          break;
        }
      } else if (N != r.N || A != r.A) {
        r.mixed_shapes = true;
        drop_values(r);
        continue;
      }
    }
    subblocks_.clear();
    for (int32_t s = 0; s < record.subblock_count(); ++s) {
      if (subblock_taken(o, record.descriptor(s))) subblocks_.push_back(s);
    }
    if (subblocks_.empty() || antennas_.empty()) continue;
    if (o.every_shape) {
      r.record_sample_count.push(record.sample_count());
      r.taken_antennas.push(static_cast<int32_t>(antennas_.size()));
      for (int32_t a : antennas_) r.antenna.push(static_cast<int8_t>(a + 1));
    }
    take_record(record, o, subblocks_, antennas_, phases_, r);
    ++taken;
  }
  r.stop = reader.stop();
}

void read_bulk(Reader& reader, const BulkOptions& o, BulkResult& r) {
  BulkReader(o).read(reader, r);
}

}  // namespace vexo::python
