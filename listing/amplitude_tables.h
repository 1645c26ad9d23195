// The amplitude fields as text, built once for the run: every sample byte in dB, as a ratio and
// raw, and every four-antenna sum in dB and as a ratio. The accumulator of the four-antenna mean
// collects a quarter of each antenna's dB, a multiple of 0.375 dB: it is 0.375 times the sum of
// the four amplitude codes, exactly, so the sum of codes (0 to 252) indexes its field.
#pragma once

#include <array>
#include <cstdint>

#include "listing/text/field_text.h"

namespace vexo {

using AmplitudeField = FieldText<16>;

constexpr int32_t kMaxCodeSum = 4 * 63;

struct AmplitudeTables {
  bool built = false;
  std::array<AmplitudeField, 256> db, ratio, raw;                 // by sample byte
  std::array<AmplitudeField, kMaxCodeSum + 1> sum_db, sum_ratio;  // by sum of four codes
};

void build_amplitude_tables(AmplitudeTables& tables);

}  // namespace vexo
