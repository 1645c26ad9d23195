#include "python/src/sample_arrays.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

namespace vexo::python {
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

template <typename T, typename Value>
void each_mean(const Record& record, const int32_t* subblocks, std::size_t count, T* out,
               Value value) {
  const std::size_t n = static_cast<std::size_t>(record.sample_count());
  for (std::size_t s = 0; s < count; ++s) {
    const SampleLine lines[4] = {
        record.amplitude(subblocks[s], 0), record.amplitude(subblocks[s], 1),
        record.amplitude(subblocks[s], 2), record.amplitude(subblocks[s], 3)};
    for (std::size_t k = 0; k < n; ++k) {
      const int32_t sum = (lines[0][k] >> 2) + (lines[1][k] >> 2) + (lines[2][k] >> 2) +
                          (lines[3][k] >> 2);
      out[s * n + k] = value(sum);
    }
  }
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
            [out](const unsigned char* piece, std::size_t size, std::size_t at, int32_t,
                  std::size_t) {
              // (b >> 2) * 1.5 is exact in a 32-bit real.
              for (std::size_t i = 0; i < size; ++i) {
                out[at + i] = static_cast<float>(vexo::amplitude_db(piece[i]));
              }
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
  // Multiples of 0.375 up to 94.5: exact in a 32-bit real.
  each_mean(record, subblocks, count, out,
            [](int32_t sum) { return static_cast<float>(mean_db(sum)); });
}

void amplitude_mean_ratio(const Record& record, const int32_t* subblocks, std::size_t count,
                          double* out) {
  const auto& table = mean_ratio_table();
  each_mean(record, subblocks, count, out,
            [&table](int32_t sum) { return table[static_cast<std::size_t>(sum)]; });
}

bool PhaseConverter::same_terms(const PhaseParameters& p, const Cut& cut) const {
  return have_terms_ && p.sample_count == terms_for_.sample_count &&
         p.line_spacing == terms_for_.line_spacing && p.rate == terms_for_.rate &&
         p.phase_sign == terms_for_.phase_sign && term_antennas_.size() == cut.antenna_count &&
         std::equal(term_antennas_.begin(), term_antennas_.end(), cut.antennas);
}

float PhaseConverter::plain(int32_t sample, const PhaseParameters& p) {
  if (plain_.empty()) plain_.assign(512, std::numeric_limits<float>::quiet_NaN());
  // The offset goes with the direction: 255 backwards, 0 forwards.
  float& value = plain_[(p.phase_sign < 0 ? 256 : 0) + static_cast<std::size_t>(sample)];
  if (std::isnan(value)) value = phase_degrees_by_term(sample, 0.0L, p);
  return value;
}

void PhaseConverter::convert(const Record& record, const Cut& cut, bool correct, float* out) {
  PhaseParameters p = phase_parameters(record, correct);
  if (!p.corrected) {
    each_line(record, SampleKind::phase, cut,
              [&](const unsigned char* piece, std::size_t size, std::size_t at, int32_t,
                  std::size_t) {
                for (std::size_t i = 0; i < size; ++i) out[at + i] = plain(piece[i], p);
              });
    return;
  }
  const std::size_t n = static_cast<std::size_t>(p.sample_count);
  if (!same_terms(p, cut)) {
    terms_.resize(cut.antenna_count * n);
    for (std::size_t a = 0; a < cut.antenna_count; ++a) {
      for (std::size_t k = 0; k < n; ++k) {
        const int64_t m = int64_t{cut.antennas[a]} *
                          line_offset(static_cast<int32_t>(k), p.sample_count);
        terms_[a * n + k] = phase_term(m, p);
      }
    }
    term_antennas_.assign(cut.antennas, cut.antennas + cut.antenna_count);
    terms_for_ = p;
    have_terms_ = true;
  }
  each_line(record, SampleKind::phase, cut,
            [&](const unsigned char* piece, std::size_t size, std::size_t at, int32_t,
                std::size_t k) {
              const std::size_t a = (at / n) % cut.antenna_count;
              phase_degrees_run(piece, terms_.data() + a * n + k, size, p, out + at);
            });
}

}  // namespace vexo::python
