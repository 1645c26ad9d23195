#include "vexo/arrays.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace vexo {
namespace {

template <typename Put>
void each_line(const Record& record, SampleKind kind, const Cut& cut, Put put) {
  std::size_t at = 0;
  for (std::size_t s = 0; s < cut.subblock_count; ++s) {
    for (std::size_t a = 0; a < cut.antenna_count; ++a) {
      const SampleLine line = record.line(kind, cut.subblocks[s], cut.antennas[a]);
      for (std::size_t i = 0; i < line.piece_count(); ++i) {
        put(line.piece(i), line.piece_size(), at, cut.antennas[a], i * line.piece_size());
        at += line.piece_size();
      }
    }
  }
}

const std::array<double, 256>& ratio_table() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> t{};
    for (int32_t b = 0; b < 256; ++b) t[static_cast<std::size_t>(b)] = vexo::amplitude_ratio(b);
    return t;
  }();
  return table;
}

const std::array<double, 253>& mean_ratio_table() {
  static const std::array<double, 253> table = [] {
    std::array<double, 253> t{};
    for (int32_t sum = 0; sum <= 252; ++sum) t[static_cast<std::size_t>(sum)] = mean_ratio(sum);
    return t;
  }();
  return table;
}

// The four antennas' lines have the same pieces; the mean goes piece by piece.
template <typename T, typename Value>
void each_mean(const Record& record, const int32_t* subblocks, std::size_t count, T* out,
               Value value) {
  const std::size_t n = static_cast<std::size_t>(record.sample_count());
  for (std::size_t s = 0; s < count; ++s) {
    const SampleLine first = record.amplitude(subblocks[s], 0);
    const SampleLine lines[4] = {first, record.amplitude(subblocks[s], 1),
                                 record.amplitude(subblocks[s], 2),
                                 record.amplitude(subblocks[s], 3)};
    const std::size_t size = first.piece_size();
    for (std::size_t i = 0; i < first.piece_count(); ++i) {
      const unsigned char* a = lines[0].piece(i);
      const unsigned char* b = lines[1].piece(i);
      const unsigned char* c = lines[2].piece(i);
      const unsigned char* d = lines[3].piece(i);
      T* to = out + s * n + i * size;
      for (std::size_t k = 0; k < size; ++k) {
        to[k] = value((a[k] >> 2) + (b[k] >> 2) + (c[k] >> 2) + (d[k] >> 2));
      }
    }
  }
}

const std::array<float, 256>& db_table() {
  // (b >> 2) * 1.5 is exact in a 32-bit real.
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int32_t b = 0; b < 256; ++b) {
      t[static_cast<std::size_t>(b)] = static_cast<float>(vexo::amplitude_db(b));
    }
    return t;
  }();
  return table;
}

const std::array<float, 253>& mean_db_table() {
  // Multiples of 0.375 up to 94.5: exact in a 32-bit real.
  static const std::array<float, 253> table = [] {
    std::array<float, 253> t{};
    for (int32_t sum = 0; sum <= 252; ++sum) {
      t[static_cast<std::size_t>(sum)] = static_cast<float>(mean_db(sum));
    }
    return t;
  }();
  return table;
}

}  // namespace

WholeRecord::WholeRecord(const Record& record) {
  for (int32_t s = 0; s < record.subblock_count(); ++s) subblocks.push_back(s);
  if (record.subblock_count() > 0) {
    for (int32_t a = 0; a < record.antenna_count(); ++a) antennas.push_back(a);
  }
}

void gather(const Record& record, SampleKind kind, const Cut& cut, uint8_t* out) {
  each_line(record, kind, cut,
            [out](const unsigned char* piece, std::size_t size, std::size_t at, int32_t,
                  std::size_t) { std::memcpy(out + at, piece, size); });
}

void amplitude_db(const Record& record, const Cut& cut, float* out) {
  each_line(record, SampleKind::amplitude, cut,
            [out, &table = db_table()](const unsigned char* piece, std::size_t size, std::size_t at,
                                       int32_t, std::size_t) {
              for (std::size_t i = 0; i < size; ++i) out[at + i] = table[piece[i]];
            });
}

void amplitude_ratio(const Record& record, const Cut& cut, double* out) {
  const auto& table = ratio_table();
  each_line(record, SampleKind::amplitude, cut,
            [out, &table](const unsigned char* piece, std::size_t size, std::size_t at, int32_t,
                          std::size_t) {
              for (std::size_t i = 0; i < size; ++i) out[at + i] = table[piece[i]];
            });
}

void amplitude_mean_db(const Record& record, const int32_t* subblocks, std::size_t count,
                       float* out) {
  const auto& table = mean_db_table();
  each_mean(record, subblocks, count, out,
            [&table](int32_t sum) { return table[static_cast<std::size_t>(sum)]; });
}

void amplitude_mean_ratio(const Record& record, const int32_t* subblocks, std::size_t count,
                          double* out) {
  const auto& table = mean_ratio_table();
  each_mean(record, subblocks, count, out,
            [&table](int32_t sum) { return table[static_cast<std::size_t>(sum)]; });
}

PhaseValues::Program& PhaseValues::program(const PhaseParameters& p, const Cut& cut,
                                           bool& seen_before) {
  ++clock_;
  for (Program& kept : programs_) {
    if (p.sample_count == kept.p.sample_count && p.line_spacing == kept.p.line_spacing &&
        p.rate == kept.p.rate && p.phase_sign == kept.p.phase_sign &&
        p.phase_offset == kept.p.phase_offset && kept.antennas.size() == cut.antenna_count &&
        std::equal(kept.antennas.begin(), kept.antennas.end(), cut.antennas)) {
      kept.last_used = clock_;
      seen_before = true;
      return kept;
    }
  }
  seen_before = false;
  Program* slot = nullptr;
  if (programs_.size() < 4) {
    slot = &programs_.emplace_back();
  } else {
    slot = &*std::min_element(
        programs_.begin(), programs_.end(),
        [](const Program& a, const Program& b) { return a.last_used < b.last_used; });
    *slot = Program();
  }
  slot->p = p;
  slot->antennas.assign(cut.antennas, cut.antennas + cut.antenna_count);
  const std::size_t n = static_cast<std::size_t>(p.sample_count);
  slot->terms.resize(cut.antenna_count * n);
  for (std::size_t a = 0; a < cut.antenna_count; ++a) {
    for (std::size_t k = 0; k < n; ++k) {
      const int64_t m =
          int64_t{cut.antennas[a]} * line_offset(static_cast<int32_t>(k), p.sample_count);
      slot->terms[a * n + k] = phase_term(m, p);
    }
  }
  slot->last_used = clock_;
  return *slot;
}

void PhaseValues::convert_kept(Program& program, const unsigned char* samples, std::size_t row,
                               std::size_t count, float* out) {
  // Values kept are copied; the others are worked out together, then kept.
  std::size_t missing[128];
  unsigned char missing_samples[128];
  long double missing_terms[128];
  float worked[128];
  for (std::size_t start = 0; start < count; start += 128) {
    const std::size_t size = std::min<std::size_t>(128, count - start);
    std::size_t misses = 0;
    for (std::size_t t = start; t < start + size; ++t) {
      const std::size_t r = row + t, b = samples[t];
      if (program.made[r * 4 + b / 64] >> (b % 64) & 1) {
        out[t] = program.values[r * 256 + b];
      } else {
        missing[misses] = t;
        missing_samples[misses] = samples[t];
        missing_terms[misses] = program.terms[r];
        ++misses;
      }
    }
    if (misses == 0) continue;
    phase_degrees_run(missing_samples, missing_terms, misses, program.p, worked);
    for (std::size_t i = 0; i < misses; ++i) {
      const std::size_t t = missing[i], r = row + t, b = samples[t];
      out[t] = worked[i];
      program.values[r * 256 + b] = worked[i];
      program.made[r * 4 + b / 64] |= uint64_t{1} << (b % 64);
    }
  }
}

const float* PhaseValues::plain_values(const PhaseParameters& p) {
  // The offset goes with the direction: 255 backwards, 0 forwards.
  std::vector<float>& values = p.phase_sign < 0 ? backwards_ : forwards_;
  if (values.empty()) {
    // 256 values: fewer than any record's own samples.
    values.resize(256);
    for (int32_t b = 0; b < 256; ++b) {
      values[static_cast<std::size_t>(b)] = phase_degrees_by_term(b, 0.0L, p);
    }
  }
  return values.data();
}

void PhaseValues::convert(const Record& record, const Cut& cut, bool correct, float* out) {
  PhaseParameters p = phase_parameters(record, correct);
  if (!p.corrected) {
    const float* values = plain_values(p);
    each_line(
        record, SampleKind::phase, cut,
        [&](const unsigned char* piece, std::size_t size, std::size_t at, int32_t, std::size_t) {
          for (std::size_t i = 0; i < size; ++i) out[at + i] = values[piece[i]];
        });
    return;
  }
  const std::size_t n = static_cast<std::size_t>(p.sample_count);
  bool seen_before = false;
  Program& kept = program(p, cut, seen_before);
  if (!seen_before) {
    each_line(
        record, SampleKind::phase, cut,
        [&](const unsigned char* piece, std::size_t size, std::size_t at, int32_t, std::size_t k) {
          const std::size_t a = (at / n) % cut.antenna_count;
          phase_degrees_run(piece, kept.terms.data() + a * n + k, size, p, out + at);
        });
    return;
  }
  if (!kept.values) {
    const std::size_t rows = kept.terms.size();
    kept.values.reset(new float[rows * 256]);
    kept.made.assign(rows * 4, 0);
  }
  each_line(
      record, SampleKind::phase, cut,
      [&](const unsigned char* piece, std::size_t size, std::size_t at, int32_t, std::size_t k) {
        const std::size_t a = (at / n) % cut.antenna_count;
        convert_kept(kept, piece, a * n + k, size, out + at);
      });
}

}  // namespace vexo
