// Every field kept as text must be exactly what the plain computation and the C library's
// formatting give for the same value.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "listing/amplitude_listing.h"
#include "listing/amplitude_tables.h"
#include "listing/phase_tables.h"

namespace vexo {
namespace {

template <std::size_t N>
std::string text_of(const FieldText<N>& field) {
  return std::string(field.text, field.size);
}

std::string printed(const char* format, double value) {
  char text[400];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Fields too long for a row are formatted on the spot; the row marks them so.
void expect_field(const PhaseField& field, float degrees, const std::string& where) {
  const std::string expected = printed(" %3.0f", static_cast<double>(degrees));
  if (field.size == 0) {
    EXPECT_GT(expected.size(), sizeof field.text) << where;
  } else {
    EXPECT_EQ(text_of(field), expected) << where;
  }
}

std::vector<PhaseParameters> parameter_sets() {
  std::vector<PhaseParameters> sets;
  for (int32_t sign : {1, -1}) {
    PhaseParameters p;
    p.phase_offset = sign == 1 ? 0 : 255, p.phase_sign = sign;
    sets.push_back(p);  // without the correction
    p.corrected = true;
    for (const auto& [sample_count, spacing, rate] :
         {std::tuple{128, 0.78125, 50.0}, std::tuple{32, 0.09765625, 25.0},
          std::tuple{32, 1 / 0.07 / 32, 200.0}, std::tuple{1, 100.0, 25.0},
          std::tuple{512, 1 / 1.53 / 512, 100.0}}) {
      p.sample_count = sample_count, p.line_spacing = spacing, p.rate = rate;
      sets.push_back(p);
    }
  }
  return sets;
}

TEST(PhaseTables, EveryRowFieldIsThePlainValuePrinted) {
  PhaseTables tables;
  for (const PhaseParameters& p : parameter_sets()) {
    const int set = select_phase_set(tables, p);
    const int32_t antennas = p.corrected ? 2048 / p.sample_count : 1;
    for (int32_t j = 0; j < (antennas < 9 ? antennas : 9); ++j) {
      const PhaseLinePlan& plan = phase_line_plan(tables, set, p.sample_count, j);
      for (int32_t k = 0; k < p.sample_count; ++k) {
        const int64_t m =
            p.corrected ? j * static_cast<int64_t>(line_offset(k, p.sample_count)) : 0;
        const PhaseRow& row = phase_row(tables, set, m);
        EXPECT_EQ(plan.fields[k], row.fields.data());
        bool four_wide = true;
        for (int32_t sample = 0; sample < 256; ++sample) {
          const float degrees = phase_degrees(sample, j, k, p);
          EXPECT_EQ(phase_degrees_at(sample, m, p), degrees);
          expect_field(row.fields[sample], degrees,
                       std::to_string(j) + " " + std::to_string(k) + " " + std::to_string(sample));
          four_wide = four_wide && row.fields[sample].size == 4;
        }
        EXPECT_EQ(row.four_wide, four_wide);
        if (!p.corrected) break;
      }
    }
  }
}

TEST(PhaseTables, RowsStayRightWhenThePoolRunsFullAndSetsAreReplaced) {
  PhaseTables tables;
  std::vector<PhaseParameters> sets = parameter_sets();
  // More sets than are kept, and more rows than the pool holds: rows are dropped and rebuilt.
  for (int round = 0; round < 2; ++round) {
    for (const PhaseParameters& p : sets) {
      if (!p.corrected) continue;
      const int set = select_phase_set(tables, p);
      for (int64_t m = -kMaxProduct; m <= kMaxProduct; m += 7) {
        const PhaseRow& row = phase_row(tables, set, m);
        for (int32_t sample : {0, 93, 255}) {
          expect_field(row.fields[sample], phase_degrees_at(sample, m, p), std::to_string(m));
        }
      }
    }
  }
  EXPECT_LE(tables.pool.size(), kMaxPhaseRows);
  const PhaseRow& raw = raw_phase_row(tables);
  for (int32_t sample = 0; sample < 256; ++sample) {
    char text[8];
    std::snprintf(text, sizeof text, " %3u", static_cast<unsigned>(sample));
    EXPECT_EQ(text_of(raw.fields[sample]), text);
  }
  EXPECT_TRUE(raw.four_wide);
}

TEST(AmplitudeTables, EveryFieldIsThePlainValuePrinted) {
  AmplitudeTables tables;
  build_amplitude_tables(tables);
  for (int32_t b = 0; b < 256; ++b) {
    const double db = (b >> 2) * 1.5;
    EXPECT_EQ(text_of(tables.db[b]), printed(" %5.1f", db)) << b;
    EXPECT_EQ(text_of(tables.ratio[b]), printed(" %5.1f", ratio_of_db(db))) << b;
    char raw[16];
    std::snprintf(raw, sizeof raw, " %5u", static_cast<unsigned>(b));
    EXPECT_EQ(text_of(tables.raw[b]), raw) << b;
  }
  // Sums of four codes, accumulated as quarters of dB in a double as the format describes.
  for (int32_t codes = 0; codes <= kMaxCodeSum; ++codes) {
    double sum = 0.0;
    for (int antenna = 0, left = codes; antenna < 4; ++antenna) {
      const int code = left < 63 ? left : 63;
      sum += code * 1.5 * 0.25;
      left -= code;
    }
    EXPECT_EQ(text_of(tables.sum_db[codes]), printed(" %5.1f", sum)) << codes;
    EXPECT_EQ(text_of(tables.sum_ratio[codes]), printed(" %5.1f", ratio_of_db(sum))) << codes;
  }
}

}  // namespace
}  // namespace vexo
